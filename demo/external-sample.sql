-- Sample rows for the demo's external databases.
insert into rdrmain (logical_point, tag_name, spare3) values ('7', 'Main Entrance', 'READER000007');
insert into rdrmain (logical_point, tag_name, spare3) values ('12', 'Back Door', 'READER000012');
insert into rdrmain (logical_point, tag_name, spare3) values ('3', 'Store Room', '');
insert into cards (Card_Number, Name, Staff_number, User1, User2, User3) values ('123456', 'Ann Smith', 'S1001', 'Finance', 'Manager', '');
insert into cards (Card_Number, Name, Staff_number, User1, User2, User3) values ('234567', 'Bob Jones', 'S1002', 'Stores', 'Clerk', '');
insert into cards (Card_Number, Name, Staff_number, User1, User2, User3) values ('0000123456', 'Ann Smith', 'S1001', 'Finance', 'Manager', '');
insert into cards (Card_Number, Name, Staff_number, User1, User2, User3) values ('0000234567', 'Bob Jones', 'S1002', 'Stores', 'Clerk', '');
