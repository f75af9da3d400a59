#pragma once

// The writers' statements, word for word, each '?' a value bound beside the
// text and "{T}" the table's name.

namespace tallon::statements {

// Local writer, on the tables of the program directory.
inline constexpr const char* kDeviceLookup = "select tag_name from rdrmain where logical_point=?";
inline constexpr const char* kSampleCardLookup =
    "select * from TranSamp where TranSamp.\"Card No\"=?";
inline constexpr const char* kCardLookup = "select * from cards where cards.\"Card_Number\"=?";
inline constexpr const char* kDuplicateCheck =
    "select * from {T} where {T}.\"device name\"=? and {T}.\"card no\"=? and {T}.\"trans "
    "code\"=? and {T}.\"time\"=?";

// External writer, on the alias of the mode.
inline constexpr const char* kReaderLookupWithId =
    "select tag_name from rdrmain where logical_point in (?,?) and substring(spare3,1,12)=?";
inline constexpr const char* kReaderLookupWithoutId =
    "select tag_name from rdrmain where logical_point in (?,?) and (spare3=? or (spare3 is "
    "NULL))";
inline constexpr const char* kExternalCardLookup = "select * from cards where Card_Number=?";
inline constexpr const char* kExternalDuplicateCheck =
    "select * from trans where device_name=? and date=? and time=? and card_no=? and "
    "trans_code=?";
inline constexpr const char* kInsertTrans =
    "insert into trans values(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";

}  // namespace tallon::statements
