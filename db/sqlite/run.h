#pragma once

#include <sqlite3.h>

#include <vector>

#include "db/rows.h"
#include "db/value.h"

namespace tallon::db::sqlite {

// Binds the values to a prepared statement, steps it to the end and resets
// it; with `rows` set, collects every row as text. A constraint failure
// raises `constraintMessage` when given, every other failure SQLite's
// message (EDatabaseError).
void RunStatement(sqlite3_stmt* stmt, const std::vector<Value>& values, Rows* rows,
                  const char* constraintMessage);

}  // namespace tallon::db::sqlite
