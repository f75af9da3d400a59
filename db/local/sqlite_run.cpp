#include "db/local/sqlite_run.h"

#include <string>

#include "base/errors.h"
#include "db/local/schema.h"

namespace tallon::db::local {

namespace {

struct StmtReset {
    sqlite3_stmt* s;
    ~StmtReset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};

void Bind(sqlite3_stmt* stmt, int n, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null:
            sqlite3_bind_null(stmt, n);
            return;
        case Value::Kind::Integer:
            sqlite3_bind_int64(stmt, n, v.integer());
            return;
        case Value::Kind::Float:
            sqlite3_bind_double(stmt, n, v.number());
            return;
        case Value::Kind::Text:
            sqlite3_bind_text(stmt, n, v.text().data(), static_cast<int>(v.text().size()),
                              SQLITE_STATIC);
            return;
        case Value::Kind::Date:
            sqlite3_bind_text(stmt, n, StoredDate(v.number()).c_str(), -1, SQLITE_TRANSIENT);
            return;
        case Value::Kind::Time:
            sqlite3_bind_text(stmt, n, StoredTime(v.number()).c_str(), -1, SQLITE_TRANSIENT);
            return;
    }
}

}  // namespace

void RunStatement(sqlite3_stmt* stmt, const std::vector<Value>& values, Rows* rows,
                  const char* constraintMessage) {
    StmtReset guard{stmt};
    if (static_cast<int>(values.size()) != sqlite3_bind_parameter_count(stmt)) {
        throw EDatabaseError("Statement has " + std::to_string(sqlite3_bind_parameter_count(stmt)) +
                             " placeholders for " + std::to_string(values.size()) + " values");
    }
    for (size_t i = 0; i < values.size(); ++i) {
        Bind(stmt, static_cast<int>(i + 1), values[i]);
    }
    const int ncol = sqlite3_column_count(stmt);
    if (rows) {
        // Names are set in place: a lookup run for every record reuses what
        // the last run of the same statement left.
        rows->columns.resize(static_cast<size_t>(ncol));
        for (int c = 0; c < ncol; ++c)
            rows->columns[static_cast<size_t>(c)] = sqlite3_column_name(stmt, c);
        rows->values.clear();
        rows->nulls.clear();
    }
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW) {
            sqlite3* db = sqlite3_db_handle(stmt);
            const int code = sqlite3_extended_errcode(db);
            const bool unique =
                code == SQLITE_CONSTRAINT_PRIMARYKEY || code == SQLITE_CONSTRAINT_UNIQUE;
            if (constraintMessage && (code & 0xff) == SQLITE_CONSTRAINT) {
                throw EDatabaseError(constraintMessage, unique ? DatabaseErrorCode::UniqueViolation
                                                               : DatabaseErrorCode::Other);
            }
            throw EDatabaseError(sqlite3_errmsg(db), unique ? DatabaseErrorCode::UniqueViolation
                                                            : DatabaseErrorCode::Other);
        }
        if (!rows)
            continue;
        auto& row = rows->values.emplace_back();
        auto& nulls = rows->nulls.emplace_back();
        row.reserve(ncol);
        nulls.reserve(ncol);
        for (int c = 0; c < ncol; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_NULL:
                    row.emplace_back();
                    nulls.push_back(true);
                    continue;
                case SQLITE_INTEGER:
                    row.push_back(std::to_string(sqlite3_column_int64(stmt, c)));
                    break;
                case SQLITE_FLOAT:
                    row.push_back(RealText(sqlite3_column_double(stmt, c)));
                    break;
                default: {
                    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, c));
                    row.emplace_back(p ? p : "", sqlite3_column_bytes(stmt, c));
                }
            }
            nulls.push_back(false);
        }
    }
}

}  // namespace tallon::db::local
