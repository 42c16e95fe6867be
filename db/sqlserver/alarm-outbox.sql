-- The alarm outbox: what the alarm worker has still to do, kept in the
-- database so that a crash loses no alert. Made with the other tables, and
-- at start-up on a database that lacks them.
-- Every statement ends with a semicolon at the end of a line (no GO batches).

-- Reports waiting for the alarm analysis, oldest (lowest QueueId) first;
-- written in the transaction that stores the report's AlarmHistory row.
create table AlarmQueue (
    QueueId bigint identity(1,1) primary key,
    EquipmentCode nvarchar(64) not null,
    DataBody nvarchar(max),
    AlertTime nvarchar(max)
);

-- The analysis state: one row per alarm parameter of a unit; the positions
-- keep the order in which units and parameters were first seen.
create table AlarmAnalysis (
    EquipmentCode nvarchar(64) not null,
    ParamCode nvarchar(64) not null,
    UnitPosition int not null,
    ParamPosition int not null,
    ParameterName nvarchar(max),
    PriorStatus nvarchar(max),
    LastStatus nvarchar(max),
    AlertTime nvarchar(max),
    EmailStatus nvarchar(max),
    SumTime int,
    primary key (EquipmentCode, ParamCode)
);

-- Mail lines waiting to be mailed, in the order they were produced.
create table AlarmMailLine (
    LineId bigint identity(1,1) primary key,
    EquipmentCode nvarchar(64) not null,
    ParameterName nvarchar(max),
    ParameterStatus nvarchar(max),
    AlertTime nvarchar(max)
);

-- Per user, the last mail line his mail server accepted in the mailing
-- under way: a restart mails him only what came after it.
create table AlarmMailProgress (
    UserName nvarchar(64) primary key,
    LastLineId bigint not null
);
