#pragma once

#include <string>

#include "db/rows.h"
#include "db/statement.h"

namespace tallon::db {

// One database a query runs on: a directory database of local tables, or an
// external alias (an SQLite file or a PostgreSQL server).
class Connection {
  public:
    virtual ~Connection() = default;
    // Runs a statement of fixed text with its values; with `rows` set,
    // collects what it selects. Raises EDatabaseError.
    virtual void Run(const Statement& statement, Rows* rows) = 0;
    // Runs a statement typed by a person (the admin tool's sql command),
    // values and all in its text.
    virtual void RunText(const std::string& sql, Rows* rows) = 0;
};

}  // namespace tallon::db
