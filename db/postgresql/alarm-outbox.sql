-- The alarm outbox: what the alarm worker has still to do, kept in the
-- database so that a crash loses no alert. Made with the other tables, and
-- at start-up on a database that lacks them.
-- Every statement ends with a semicolon at the end of a line.

-- Reports waiting for the alarm analysis, oldest (lowest QueueId) first;
-- written in the transaction that stores the report's AlarmHistory row.
create table AlarmQueue (
    QueueId bigserial primary key,
    EquipmentCode varchar(64) not null,
    DataBody text,
    AlertTime text
);

-- The analysis state: one row per alarm parameter of a unit; the positions
-- keep the order in which units and parameters were first seen.
create table AlarmAnalysis (
    EquipmentCode varchar(64) not null,
    ParamCode varchar(64) not null,
    UnitPosition integer not null,
    ParamPosition integer not null,
    ParameterName text,
    PriorStatus text,
    LastStatus text,
    AlertTime text,
    EmailStatus text,
    SumTime integer,
    primary key (EquipmentCode, ParamCode)
);

-- Mail lines waiting to be mailed, in the order they were produced.
create table AlarmMailLine (
    LineId bigserial primary key,
    EquipmentCode varchar(64) not null,
    ParameterName text,
    ParameterStatus text,
    AlertTime text
);

-- Per user, the last mail line his mail server accepted in the mailing
-- under way: a restart mails him only what came after it.
create table AlarmMailProgress (
    UserName varchar(64) primary key,
    LastLineId bigint not null
);
