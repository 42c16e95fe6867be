-- MonitorData schema for PostgreSQL (DataBaseType 3).
-- Names are unquoted, so PostgreSQL keeps them in lower case; statements and
-- record lookups by name are case-insensitive and need no quoting.
-- Date-time columns hold local wall-clock time with whole seconds; the data
-- module sets each session's TimeZone to the program's own zone.
-- UserRegister, QueryHistory and AlarmHistory are written by positional
-- inserts: keep their column order.
-- Every statement ends with a semicolon at the end of a line.

-- Settings: one row per SetItem; no unique key, the program acts on the
-- first (lookup) or on every (update) matching row.
create table NormalParam (
    SetItem varchar(50) not null,
    SetValue varchar(255)
);

-- Dictionaries, read whole at start-up; every column is read as text.
create table ParamProperty (
    ParamType varchar(10),
    ParamUnit varchar(10),
    CanSet varchar(10),
    Len varchar(10),
    ParamCode varchar(10) not null,
    Name varchar(100)
);

create table MapCommFlag (
    KeyNum varchar(10) not null,
    Name varchar(100)
);

create table ResponseFlag (
    KeyNum varchar(10) not null,
    Name varchar(100)
);

create table CommError (
    KeyNum varchar(10) not null,
    Name varchar(100)
);

create table EquipmentType (
    KeyNum varchar(10) not null,
    Name varchar(100)
);

create table UnitName (
    Code varchar(10) not null,
    Name varchar(100)
);

create table ProportionalName (
    Code varchar(10) not null,
    Name varchar(100)
);

create table CodeName (
    Code varchar(10) not null,
    KeyNum varchar(10) not null,
    Name varchar(100)
);

-- Accounts. UseState: 0 normal, 1 suspended, 6 super user.
create table UserRegister (
    UserName varchar(50) not null,
    UserPassword varchar(50),
    Email varchar(100),
    UserPhone varchar(50),
    RegisterTime timestamp(0) without time zone default localtimestamp(0),
    LoginTime timestamp(0) without time zone,
    UseState integer default 0
);

create index IX_UserRegister_UserName on UserRegister (UserName);

create table UserEquipment (
    UserName varchar(50) not null,
    EquipmentCode varchar(64) not null,
    EquipmentName varchar(100),
    EquipmentType varchar(10)
);

create index IX_UserEquipment_EquipmentCode on UserEquipment (EquipmentCode);

create index IX_UserEquipment_UserName on UserEquipment (UserName);

create table RecycleUserEquipment (
    UserName varchar(50) not null,
    EquipmentCode varchar(64),
    EquipmentName varchar(100),
    EquipmentType varchar(10)
);

create index IX_RecycleUserEquipment_UserName on RecycleUserEquipment (UserName);

-- Equipment data and history.
create table ParamList (
    EquipmentCode varchar(64) not null,
    ListStr text
);

create index IX_ParamList_EquipmentCode on ParamList (EquipmentCode);

create table QueryHistory (
    EquipmentName varchar(100),
    EquipmentCode varchar(64),
    OperateFlag varchar(10),
    QueryMode varchar(20),
    DataBody text,
    QueryTime timestamp(0) without time zone,
    ReturnTime timestamp(0) without time zone
);

create index IX_QueryHistory_QueryTime on QueryHistory (QueryTime);

create table AlarmHistory (
    EquipmentCode varchar(64),
    DataBody text,
    AlarmTime timestamp(0) without time zone
);

create index IX_AlarmHistory_AlarmTime on AlarmHistory (AlarmTime);

-- Opened at start-up; nothing reads or writes it.
create table CommunicateLog (
    LogTime timestamp(0) without time zone,
    EquipmentCode varchar(64),
    DataBody text
);
