#include "db/sqlite/prepared.h"

#include "base/errors.h"
#include "base/text.h"

namespace tallon::db::sqlite {

Prepared Prepare(sqlite3* db, const std::string& sql, unsigned flags, Rest rest) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), flags, &raw, &tail) !=
        SQLITE_OK) {
        throw EDatabaseError(sqlite3_errmsg(db));
    }
    Prepared statement(raw);
    if (!statement) {
        throw EDatabaseError("Empty statement");
    }
    if (rest == Rest::OnlySemicolon && tail) {
        const std::string after = Trim(tail);
        if (!after.empty() && after != ";") {
            throw EDatabaseError("Only one statement can be run at a time");
        }
    }
    return statement;
}

sqlite3_stmt* StatementCache::Get(sqlite3* db, const std::string& sql) {
    if (auto it = statements_.find(sql); it != statements_.end()) {
        return it->second.get();
    }
    if (statements_.size() >= capacity_) {
        Clear();
    }
    Prepared statement = Prepare(db, sql, SQLITE_PREPARE_PERSISTENT, rest_);
    sqlite3_stmt* raw = statement.get();
    statements_.emplace(sql, std::move(statement));
    return raw;
}

}  // namespace tallon::db::sqlite
