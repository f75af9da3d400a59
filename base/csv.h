#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tallon {

// CSV as the admin tool reads and writes it: fields separated by ',', a
// field in double quotes may hold commas, line breaks and doubled quotes
// (""); lines end in CR LF or LF. Raises Exception on an unterminated quoted
// field.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text);

// A field as written: quoted only when it has to be.
std::string CsvField(const std::string& value);

// One row, fields joined by ',' and ended by CR LF.
void WriteCsvRow(std::ostream& out, const std::vector<std::string>& fields);

}  // namespace tallon
