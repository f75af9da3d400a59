#pragma once

// Prepared statements: owned, and kept per connection by their text.

#include <sqlite3.h>

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

namespace tallon::db::sqlite {

struct Finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Prepared = std::unique_ptr<sqlite3_stmt, Finalizer>;

// What may follow the one statement a text is prepared from.
enum class Rest {
    Ignored,       // left unrun
    OnlySemicolon  // anything else raises "Only one statement can be run at a time"
};

// Prepares the first statement of `sql` (SQLITE_PREPARE_* `flags`). Raises
// EDatabaseError: SQLite's message, "Empty statement" for text without one.
Prepared Prepare(sqlite3* db, const std::string& sql, unsigned flags, Rest rest);

// The statements a connection has run, prepared once each. Fixed texts keep
// it small; ad hoc texts could grow it without bound, so at `capacity` it
// starts afresh (finalizing leaves any open transaction alone).
class StatementCache {
  public:
    StatementCache(size_t capacity, Rest rest) : capacity_(capacity), rest_(rest) {}

    sqlite3_stmt* Get(sqlite3* db, const std::string& sql);
    void Clear() noexcept { statements_.clear(); }

  private:
    size_t capacity_;
    Rest rest_;
    std::unordered_map<std::string, Prepared> statements_;
};

}  // namespace tallon::db::sqlite
