#pragma once

// Paradox values in the engine's terms, and the engine's primary key rule
// applied before anything is written, so that reading a table alone tells
// whether its import would be refused.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/local/schema.h"
#include "db/paradox/field_values.h"
#include "db/value.h"

namespace tallon::db::paradox {

// The value the engine is given for a Paradox value: integers and numbers
// as numbers, text as its bytes, dates and times as such, timestamps as text
// "YYYY-MM-DD HH:MM:SS".
db::Value EngineValue(const FieldValue& value);

// Finds records whose primary key repeats an earlier record's, as the
// engine's unique primary index would refuse them: on the values as the
// engine stores them (a time keeps whole seconds, text compares byte for
// byte), and a key with an empty part never counts as a repeat.
class KeyCheck {
  public:
    // The key's fields: their places in the record and their engine fields.
    KeyCheck(std::vector<int> places, std::vector<local::FieldDef> fields);

    // 0 for a new key; else the number of the record whose key record
    // `number` repeats.
    int64_t Add(const std::vector<db::Value>& record, int64_t number);

  private:
    std::vector<int> places_;
    std::vector<local::FieldDef> fields_;
    std::unordered_map<std::string, int64_t> seen_;
};

}  // namespace tallon::db::paradox
