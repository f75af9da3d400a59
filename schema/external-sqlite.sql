-- The external access-control tables the external writer uses, for an
-- SQLite database file:  sqlite3 brindle.sqlite < external-sqlite.sql
-- All columns are text: unit numbers, card numbers, dates and times are
-- compared as text exactly as the writer builds them.

-- Every insert is its own transaction; a write-ahead log makes that one
-- sync per insert instead of several, with the same durability.
pragma journal_mode = wal;

create table rdrmain (
    logical_point text not null,  -- the controller unit, as '7' or '07'
    tag_name      text not null,  -- the door (device) name
    description   text,
    spare1        text,
    spare2        text,
    spare3        text            -- reader identification, first 12 characters matched
);
create index rdrmain_point on rdrmain (logical_point);

create table cards (
    Card_Number  text not null,
    Name         text,
    Staff_number text,
    User1        text,
    User2        text,
    User3        text,
    Status       text,
    Issued       text
);
create index cards_number on cards (Card_Number);

-- Columns by position: the writer inserts all fifteen without naming them.
create table trans (
    trans_id    text not null primary key,  -- yymmdd, hhmmss, milliseconds mod 100: 14 digits
    time        text,                       -- hhmm00
    card_no     text,
    date        text,                       -- yyyymmdd
    device_name text,
    location    text,
    name        text,
    staff_no    text,
    user1       text,
    user2       text,
    user3       text,
    spare1      text,
    trans_code  text,
    spare2      text,
    type        text
);
-- The duplicate check looks up all five columns; the card number comes
-- first because it narrows the search the most.
create index trans_event on trans (card_no, date, time, device_name, trans_code);
