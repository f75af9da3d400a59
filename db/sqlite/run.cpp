#include "db/sqlite/run.h"

#include <string>

#include "base/errors.h"
#include "db/local/schema.h"

namespace tallon::db::sqlite {

namespace {

struct ResetWhenDone {
    sqlite3_stmt* statement;
    ~ResetWhenDone() {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
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
            sqlite3_bind_text(stmt, n, local::StoredDate(v.number()).c_str(), -1, SQLITE_TRANSIENT);
            return;
        case Value::Kind::Time:
            sqlite3_bind_text(stmt, n, local::StoredTime(v.number()).c_str(), -1, SQLITE_TRANSIENT);
            return;
    }
}

void BindAll(sqlite3_stmt* stmt, const std::vector<Value>& values) {
    if (static_cast<int>(values.size()) != sqlite3_bind_parameter_count(stmt)) {
        throw EDatabaseError("Statement has " + std::to_string(sqlite3_bind_parameter_count(stmt)) +
                             " placeholders for " + std::to_string(values.size()) + " values");
    }
    for (size_t i = 0; i < values.size(); ++i) {
        Bind(stmt, static_cast<int>(i + 1), values[i]);
    }
}

// Names are set in place: a lookup run for every record reuses what the
// last run of the same statement left.
void StartRows(sqlite3_stmt* stmt, Rows& rows) {
    const int ncol = sqlite3_column_count(stmt);
    rows.columns.resize(static_cast<size_t>(ncol));
    for (int c = 0; c < ncol; ++c) {
        rows.columns[static_cast<size_t>(c)] = sqlite3_column_name(stmt, c);
    }
    rows.values.clear();
    rows.nulls.clear();
}

void AddRow(sqlite3_stmt* stmt, Rows& rows) {
    const int ncol = sqlite3_column_count(stmt);
    auto& row = rows.values.emplace_back();
    auto& nulls = rows.nulls.emplace_back();
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
                row.push_back(local::RealText(sqlite3_column_double(stmt, c)));
                break;
            default: {
                const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, c));
                row.emplace_back(p ? p : "", sqlite3_column_bytes(stmt, c));
            }
        }
        nulls.push_back(false);
    }
}

[[noreturn]] void RaiseStepError(sqlite3_stmt* stmt, const char* constraintMessage) {
    sqlite3* db = sqlite3_db_handle(stmt);
    const int code = sqlite3_extended_errcode(db);
    const bool unique = code == SQLITE_CONSTRAINT_PRIMARYKEY || code == SQLITE_CONSTRAINT_UNIQUE;
    const DatabaseErrorCode kind =
        unique ? DatabaseErrorCode::UniqueViolation : DatabaseErrorCode::Other;
    if (constraintMessage && (code & 0xff) == SQLITE_CONSTRAINT) {
        throw EDatabaseError(constraintMessage, kind);
    }
    throw EDatabaseError(sqlite3_errmsg(db), kind);
}

}  // namespace

void RunStatement(sqlite3_stmt* stmt, const std::vector<Value>& values, Rows* rows,
                  const char* constraintMessage) {
    ResetWhenDone reset{stmt};
    BindAll(stmt, values);
    if (rows) {
        StartRows(stmt, *rows);
    }
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) {
            return;
        }
        if (rc != SQLITE_ROW) {
            RaiseStepError(stmt, constraintMessage);
        }
        if (rows) {
            AddRow(stmt, *rows);
        }
    }
}

}  // namespace tallon::db::sqlite
