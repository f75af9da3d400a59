#pragma once

// What a local table file holds: its fields, their kinds, and the stored form
// of each kind's values.

#include <optional>
#include <string>
#include <vector>

#include "db/value.h"

namespace tallon::db::local {

enum class FieldKind { Text, Float, Date, Time, Integer };

struct FieldDef {
    std::string name;
    FieldKind kind = FieldKind::Text;
    int size = 0;  // text fields only; 0 when not given
};

// Kind names used in schema files and messages: text, float, date, time,
// integer.
const char* KindName(FieldKind kind);
std::optional<FieldKind> KindFromName(const std::string& name);
// The declared SQLite column type of a kind. Date and time columns are
// declared "DATE TEXT"/"TIME TEXT": the word TEXT gives them text affinity
// and the first word tells the kind back.
std::string DeclaredType(const FieldDef& field);
FieldDef FieldFromDeclared(const std::string& name, const std::string& declared);

// Stored forms of dates and times ("YYYY-MM-DD", "HH:MM:SS").
std::string StoredDate(double dateTimeValue);
std::string StoredTime(double dateTimeValue);
// Reads a date literal: the stored form or the short form M/D/YYYY. Returns
// false when the text is not a date.
bool ParseDateLiteral(const std::string& text, std::string& stored);
// Reads a time literal in the regional long time format or 24-hour form.
bool ParseTimeLiteral(const std::string& text, std::string& stored);

// Text of a REAL as the engine gives it back: no needless ".0", up to 15
// significant digits.
std::string RealText(double v);

// Double-quoted SQL identifier.
std::string QuoteIdent(const std::string& name);

// A typed value in the form a field of `kind` stores it, for binding. Raises
// EDatabaseError (prefixed with `owner` and ": ") for text that is not a value of the
// kind.
Value StoredValue(FieldKind kind, Value value, const std::string& owner);

// The schema file format of tallon-db: one field per line, "NAME: KIND
// [SIZE]"; blank lines and lines starting with '#' are ignored. Raises
// Exception naming the file and line.
std::vector<FieldDef> ParseSchemaText(const std::string& text, const std::string& fileName);

}  // namespace tallon::db::local
