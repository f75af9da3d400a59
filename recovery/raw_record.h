#pragma once

#include <string>

#include "base/date_time.h"

namespace tallon {

// One decoded RAW line. The line's first three characters are the unit code;
// the rest is the record text, laid out as DDMMHHMM, a six-character card
// number, a one-character transaction code, one unused character and a
// twelve-character reader identification.
struct RawRecord {
    std::string unitCodeAsRead;  // characters 1-3 of the line, untrimmed
    std::string UnitCode;        // the same, trimmed
    DateTime eventDate;
    DateTime eventTime;      // seconds zero
    std::string cardNumber;  // six characters as read, untrimmed
    std::string transCode;   // one character
    std::string readerId;    // twelve characters as read, untrimmed
};

// The two pieces a RAW line is split into: characters 1-3 and the rest.
struct RawLine {
    std::string unitCode;
    std::string recordText;
};
RawLine SplitRawLine(const std::string& line);

// Decodes a record text at the moment of processing (the year comes from the
// active clock: a December record read in January belongs to the previous
// year). Raises EConvertError naming the first piece that does not convert,
// or the date/time encoding error.
RawRecord DecodeRawRecord(const std::string& unitCode, const std::string& recordText);

}  // namespace tallon
