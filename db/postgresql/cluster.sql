-- Several nodes on one PostgreSQL: the nodes' own rows and the sequences
-- that keep numbers unique across them. Made with the other tables, and at
-- start-up of a node that finds them missing (every statement may run again).
-- Every statement ends with a semicolon at the end of a line.

-- One row per node, updated by the node about once a second.
create table if not exists ClusterNode (
    NodeName varchar(64) primary key,
    Address text,
    Role varchar(16) not null,
    LastSeen timestamptz not null default now()
);

-- Request serial numbers are handed out in blocks of 256: the sequence
-- gives the block's index within the counter's range (ordinary requests
-- 0x0001 .. 0x5FFF: 96 blocks; polling requests 0x6001 .. 0x7FFF: 32 blocks),
-- and starts again at the first block when the range is used up, as the
-- counter of a single server wraps.
create sequence if not exists HandSerialBlock minvalue 0 maxvalue 95 start 0 cycle;
create sequence if not exists CircleSerialBlock minvalue 0 maxvalue 31 start 0 cycle;

-- New station numbers for units whose station clashes with another's. They
-- lie in 0xA0000000 .. 0xFFFFFFFF, which a single server's clock-made
-- numbers (decimal digits read as hex) never reach.
create sequence if not exists StationNumber minvalue 2684354560 maxvalue 4294967295 start 2684354560 cycle;
