-- MonitorData schema for Microsoft SQL Server (DataBaseType 2), run inside
-- the catalogue MonitorData.
-- Date-time columns are datetime in the server's local time, as getdate()
-- returns it.
-- UserRegister, QueryHistory and AlarmHistory are written by positional
-- inserts: keep their column order.
-- Every statement ends with a semicolon at the end of a line (no GO batches).

-- Settings: one row per SetItem; no unique key, the program acts on the
-- first (lookup) or on every (update) matching row.
create table NormalParam (
    SetItem nvarchar(50) not null,
    SetValue nvarchar(255) null
);

-- Dictionaries, read whole at start-up; every column is read as text.
create table ParamProperty (
    ParamType nvarchar(10) null,
    ParamUnit nvarchar(10) null,
    CanSet nvarchar(10) null,
    Len nvarchar(10) null,
    ParamCode nvarchar(10) not null,
    Name nvarchar(100) null
);

create table MapCommFlag (
    KeyNum nvarchar(10) not null,
    Name nvarchar(100) null
);

create table ResponseFlag (
    KeyNum nvarchar(10) not null,
    Name nvarchar(100) null
);

create table CommError (
    KeyNum nvarchar(10) not null,
    Name nvarchar(100) null
);

create table EquipmentType (
    KeyNum nvarchar(10) not null,
    Name nvarchar(100) null
);

create table UnitName (
    Code nvarchar(10) not null,
    Name nvarchar(100) null
);

create table ProportionalName (
    Code nvarchar(10) not null,
    Name nvarchar(100) null
);

create table CodeName (
    Code nvarchar(10) not null,
    KeyNum nvarchar(10) not null,
    Name nvarchar(100) null
);

-- Accounts. UseState: 0 normal, 1 suspended, 6 super user.
create table UserRegister (
    UserName nvarchar(50) not null,
    UserPassword nvarchar(50) null,
    Email nvarchar(100) null,
    UserPhone nvarchar(50) null,
    RegisterTime datetime null constraint DF_UserRegister_RegisterTime default getdate(),
    LoginTime datetime null,
    UseState int null constraint DF_UserRegister_UseState default 0
);

create index IX_UserRegister_UserName on UserRegister (UserName);

create table UserEquipment (
    UserName nvarchar(50) not null,
    EquipmentCode nvarchar(64) not null,
    EquipmentName nvarchar(100) null,
    EquipmentType nvarchar(10) null
);

create index IX_UserEquipment_EquipmentCode on UserEquipment (EquipmentCode);

create index IX_UserEquipment_UserName on UserEquipment (UserName);

create table RecycleUserEquipment (
    UserName nvarchar(50) not null,
    EquipmentCode nvarchar(64) null,
    EquipmentName nvarchar(100) null,
    EquipmentType nvarchar(10) null
);

create index IX_RecycleUserEquipment_UserName on RecycleUserEquipment (UserName);

-- Equipment data and history.
create table ParamList (
    EquipmentCode nvarchar(64) not null,
    ListStr nvarchar(max) null
);

create index IX_ParamList_EquipmentCode on ParamList (EquipmentCode);

create table QueryHistory (
    EquipmentName nvarchar(100) null,
    EquipmentCode nvarchar(64) null,
    OperateFlag nvarchar(10) null,
    QueryMode nvarchar(20) null,
    DataBody nvarchar(max) null,
    QueryTime datetime null,
    ReturnTime datetime null
);

create index IX_QueryHistory_QueryTime on QueryHistory (QueryTime);

create table AlarmHistory (
    EquipmentCode nvarchar(64) null,
    DataBody nvarchar(max) null,
    AlarmTime datetime null
);

create index IX_AlarmHistory_AlarmTime on AlarmHistory (AlarmTime);

-- Opened at start-up; nothing reads or writes it.
create table CommunicateLog (
    LogTime datetime null,
    EquipmentCode nvarchar(64) null,
    DataBody nvarchar(max) null
);
