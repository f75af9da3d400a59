#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "db/checked_write.h"
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

    // Runs checked writes in order, each write only when its check found
    // nothing, with one outcome per unit; a unit that fails fails alone.
    // The checks of one call may all run before its writes: the caller
    // gives one call no two units where one's write could be found by
    // another's check. This one runs them one after another with Run.
    virtual void RunCheckedWrites(std::span<const CheckedWrite> units,
                                  std::vector<CheckedWriteOutcome>& outcomes);
    // How many units a call should hold to make the most of the driver:
    // more than one where a call costs a round trip to a server.
    virtual size_t CheckedWritesPerCall() const { return 1; }
};

}  // namespace tallon::db
