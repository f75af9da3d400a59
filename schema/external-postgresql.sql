-- The external access-control tables the external writer uses, for a
-- PostgreSQL database:  psql -d velora -f external-postgresql.sql
-- Column names are lower case and unquoted, so the writer's unquoted names
-- (Card_Number, Name, Staff_number, ...) fold onto them. All columns are
-- text: unit numbers, card numbers, dates and times are compared as text
-- exactly as the writer builds them. Text indexes use the "C" collation so
-- comparisons are byte-wise whatever the database's locale.

create table rdrmain (
    logical_point text collate "C" not null,  -- the controller unit, as '7' or '07'
    tag_name      text not null,              -- the door (device) name
    description   text,
    spare1        text,
    spare2        text,
    spare3        text collate "C"            -- reader identification, first 12 characters matched
);
create index rdrmain_point on rdrmain (logical_point);

create table cards (
    card_number  text collate "C" not null,
    name         text,
    staff_number text,
    user1        text,
    user2        text,
    user3        text,
    status       text,
    issued       text
);
create index cards_number on cards (card_number);

-- Columns by position: the writer inserts all fifteen without naming them.
create table trans (
    trans_id    varchar(14) collate "C" not null primary key,  -- yymmdd, hhmmss, milliseconds mod 100
    time        text collate "C",                              -- hhmm00
    card_no     text collate "C",
    date        text collate "C",                              -- yyyymmdd
    device_name text collate "C",
    location    text,
    name        text,
    staff_no    text,
    user1       text,
    user2       text,
    user3       text,
    spare1      text,
    trans_code  text collate "C",
    spare2      text,
    type        text
);
-- The duplicate check looks up all five columns; the card number comes
-- first because it narrows the search the most.
create index trans_event on trans (card_no, date, time, device_name, trans_code);
