#pragma once

// The values of a record's fields, decoded from the bytes Paradox stores:
// numbers big-endian with the sign bit flipped (so bytes sort like values),
// the all-zero pattern standing for an empty (NULL) value.

#include <cstdint>
#include <string>

#include "db/paradox/table_header.h"

namespace tallon::db::paradox {

struct FieldValue {
    enum Kind { Null, Int, Real, Text, Date, Time, Timestamp } kind = Null;
    int64_t i = 0;                     // Int; logical as 0/1
    double r = 0;                      // Real
    std::string s;                     // Text (alpha, memo): the stored bytes
    int year = 0, month = 0, day = 0;  // Date, Timestamp
    int64_t ms = 0;                    // Time, Timestamp: milliseconds since midnight
};

// Decodes a field of any kind but the blob kinds (memo and the like, whose
// value may lie in the .MB file). False with `why` set (without the field's
// name) when the bytes are not a value of the field's kind.
bool DecodeField(const Field& field, const unsigned char* bytes, FieldValue& value,
                 std::string& why);

// The date of a Paradox day number (1 is 1 January of year 1); false
// outside years 1 to 9999.
bool DateOfDay(int64_t day, FieldValue& value);

}  // namespace tallon::db::paradox
