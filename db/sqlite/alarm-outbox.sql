-- The alarm outbox: what the alarm worker has still to do, kept in the
-- database so that a crash loses no alert. Made with the other tables, and
-- at start-up on a database that lacks them.
-- Every statement ends with a semicolon at the end of a line.

-- Reports waiting for the alarm analysis, oldest (lowest QueueId) first;
-- written in the transaction that stores the report's AlarmHistory row.
create table AlarmQueue (
    QueueId INTEGER primary key autoincrement,
    EquipmentCode TEXT not null,
    DataBody TEXT,
    AlertTime TEXT
);

-- The analysis state: one row per alarm parameter of a unit; the positions
-- keep the order in which units and parameters were first seen.
create table AlarmAnalysis (
    EquipmentCode TEXT not null,
    ParamCode TEXT not null,
    UnitPosition INTEGER not null,
    ParamPosition INTEGER not null,
    ParameterName TEXT,
    PriorStatus TEXT,
    LastStatus TEXT,
    AlertTime TEXT,
    EmailStatus TEXT,
    SumTime INTEGER,
    primary key (EquipmentCode, ParamCode)
);

-- Mail lines waiting to be mailed, in the order they were produced.
create table AlarmMailLine (
    LineId INTEGER primary key autoincrement,
    EquipmentCode TEXT not null,
    ParameterName TEXT,
    ParameterStatus TEXT,
    AlertTime TEXT
);

-- Per user, the last mail line his mail server accepted in the mailing
-- under way: a restart mails him only what came after it.
create table AlarmMailProgress (
    UserName TEXT primary key,
    LastLineId INTEGER not null
);
