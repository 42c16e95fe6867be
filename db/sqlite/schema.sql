-- MonitorData schema for SQLite (DataBaseType 1).
-- Date-time columns hold local time as ISO text 'yyyy-MM-dd HH:mm:ss', which
-- date(), julianday() and strftime() read directly.
-- UserRegister, QueryHistory and AlarmHistory are written by positional
-- inserts: keep their column order.
-- Every statement ends with a semicolon at the end of a line.

-- Settings: one row per SetItem; no unique key, the program acts on the
-- first (lookup) or on every (update) matching row.
create table NormalParam (
    SetItem TEXT not null,
    SetValue TEXT
);

-- Dictionaries, read whole at start-up; every column is read as text.
create table ParamProperty (
    ParamType TEXT,
    ParamUnit TEXT,
    CanSet TEXT,
    Len TEXT,
    ParamCode TEXT not null,
    Name TEXT
);

create table MapCommFlag (
    KeyNum TEXT not null,
    Name TEXT
);

create table ResponseFlag (
    KeyNum TEXT not null,
    Name TEXT
);

create table CommError (
    KeyNum TEXT not null,
    Name TEXT
);

create table EquipmentType (
    KeyNum TEXT not null,
    Name TEXT
);

create table UnitName (
    Code TEXT not null,
    Name TEXT
);

create table ProportionalName (
    Code TEXT not null,
    Name TEXT
);

create table CodeName (
    Code TEXT not null,
    KeyNum TEXT not null,
    Name TEXT
);

-- Accounts. UseState: 0 normal, 1 suspended, 6 super user.
create table UserRegister (
    UserName TEXT not null,
    UserPassword TEXT,
    Email TEXT,
    UserPhone TEXT,
    RegisterTime DATETIME default (datetime('now', 'localtime')),
    LoginTime DATETIME,
    UseState INTEGER default 0
);

create index IX_UserRegister_UserName on UserRegister (UserName);

create table UserEquipment (
    UserName TEXT not null,
    EquipmentCode TEXT not null,
    EquipmentName TEXT,
    EquipmentType TEXT
);

create index IX_UserEquipment_EquipmentCode on UserEquipment (EquipmentCode);

create index IX_UserEquipment_UserName on UserEquipment (UserName);

create table RecycleUserEquipment (
    UserName TEXT not null,
    EquipmentCode TEXT,
    EquipmentName TEXT,
    EquipmentType TEXT
);

create index IX_RecycleUserEquipment_UserName on RecycleUserEquipment (UserName);

-- Equipment data and history.
create table ParamList (
    EquipmentCode TEXT not null,
    ListStr TEXT
);

create index IX_ParamList_EquipmentCode on ParamList (EquipmentCode);

create table QueryHistory (
    EquipmentName TEXT,
    EquipmentCode TEXT,
    OperateFlag TEXT,
    QueryMode TEXT,
    DataBody TEXT,
    QueryTime DATETIME,
    ReturnTime DATETIME
);

create index IX_QueryHistory_QueryTime on QueryHistory (QueryTime);

create table AlarmHistory (
    EquipmentCode TEXT,
    DataBody TEXT,
    AlarmTime DATETIME
);

create index IX_AlarmHistory_AlarmTime on AlarmHistory (AlarmTime);

-- Opened at start-up; nothing reads or writes it.
create table CommunicateLog (
    LogTime DATETIME,
    EquipmentCode TEXT,
    DataBody TEXT
);
