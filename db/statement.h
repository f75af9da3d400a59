#pragma once

#include <string>
#include <utility>
#include <vector>

#include "db/value.h"

namespace tallon::db {

// A statement whose text is fixed and whose values travel beside it: each
// '?' in the text is one placeholder, bound to the value of the same rank.
// The text is prepared once per connection and only the values change from
// one use to the next.
//
// `table` names the one table the statement reads or writes, as the text
// spells it; a directory database runs the statement on that table's own
// file. Aliases ignore it.
struct Statement {
    // Read first and write after: the statement's table is locked for writing
    // before it runs, so that what it read is still true when the same batch
    // writes (a duplicate check followed by its append).
    enum class Intent { Read, ReadBeforeWrite, Write };

    std::string table;
    std::string text;
    std::vector<Value> values;
    Intent intent = Intent::Read;
};

// Puts a table name into a statement text in place of every "{T}".
std::string WithTable(const std::string& text, const std::string& table);

}  // namespace tallon::db
