#include "db/local/staged_appends.h"

#include <cstdlib>

#include "base/errors.h"
#include "db/local/schema.h"
#include "db/local/table_connection.h"
#include "db/rows.h"

namespace tallon::db::local {

namespace {

constexpr const char* kOnRecords = " ON records(";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

bool StagedAppends::Prepare(TableConnection& connection, const std::string& insertSql) {
    if (ready_) {
        return usable_;
    }
    ready_ = true;
    usable_ = false;
    checks_.clear();
    count_ = 0;
    // Made afresh: the records' fields may have changed since.
    connection.Exec("DROP TABLE IF EXISTS temp.staged");
    connection.Exec("CREATE TEMP TABLE staged AS SELECT * FROM main.records WHERE 0");
    Rows indexes;
    connection.Run(
        "SELECT name, sql FROM main.sqlite_master WHERE type='index' AND tbl_name='records'", {},
        &indexes, "Key violation.");
    for (size_t i = 0; i < indexes.values.size(); ++i) {
        const auto& row = indexes.values[i];
        if (indexes.nulls[i][1] || !CopyIndex(connection, row[0], row[1])) {
            return false;
        }
    }
    const std::string into = "INSERT INTO records(";
    if (!StartsWith(insertSql, into.c_str())) {
        return false;
    }
    insertSql_ = "INSERT INTO temp.staged(" + insertSql.substr(into.size());
    connection.ShowStaged();
    usable_ = true;
    return true;
}

// Gives the staged table a copy of the index `name` of the records; a unique
// one also gets its check against the stored records. False for a unique
// index of a form not copied (its key could repeat unseen).
bool StagedAppends::CopyIndex(TableConnection& connection, const std::string& name,
                              const std::string& sql) {
    const bool unique = StartsWith(sql, "CREATE UNIQUE INDEX");
    const size_t on = sql.find(kOnRecords);
    if (on == std::string::npos) {
        return !unique;
    }
    const std::string columns = sql.substr(on + std::string(kOnRecords).size() - 1);
    if (!unique && columns.find(',') == std::string::npos) {
        return true;  // one field: see staged_appends.h
    }
    connection.Exec(std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX temp." +
                    QuoteIdent("staged_" + name) + " ON staged" + columns);
    return !unique || AddUniqueCheck(connection, name);
}

bool StagedAppends::AddUniqueCheck(TableConnection& connection, const std::string& name) {
    Rows columns;
    connection.Run("PRAGMA main.index_xinfo(" + QuoteIdent(name) + ")", {}, &columns,
                   "Key violation.");
    UniqueCheck check;
    check.sql = "SELECT 1 FROM main.records WHERE ";
    for (const auto& c : columns.values) {
        // seqno, cid, name, desc, coll, key
        if (c[5] != "1") {
            continue;
        }
        const int field = std::atoi(c[1].c_str());
        if (field < 0) {
            return false;  // an expression
        }
        check.sql += (check.fields.empty() ? "" : " AND ") + QuoteIdent(c[2]) + "=? COLLATE " +
                     QuoteIdent(c[4]);
        check.fields.push_back(field);
    }
    check.sql += " LIMIT 1";
    checks_.push_back(std::move(check));
    return true;
}

void StagedAppends::Stage(TableConnection& connection, const std::vector<Value>& record) {
    ThrowIfKeyStored(connection, record);
    connection.Run(insertSql_, record, nullptr, "Key violation.");
    ++count_;
}

void StagedAppends::ThrowIfKeyStored(TableConnection& connection,
                                     const std::vector<Value>& record) {
    std::vector<Value> key;
    Rows found;
    for (const UniqueCheck& check : checks_) {
        key.clear();
        for (const int field : check.fields) {
            key.push_back(static_cast<size_t>(field) < record.size() ? record[field] : Value());
        }
        found.Clear();
        connection.Run(check.sql, key, &found, "Key violation.");
        if (!found.empty()) {
            throw EDatabaseError("Key violation.", DatabaseErrorCode::UniqueViolation);
        }
    }
}

void StagedAppends::Flush(TableConnection& connection) {
    if (count_ == 0) {
        return;
    }
    connection.Run("INSERT INTO main.records SELECT * FROM temp.staged ORDER BY rowid", {}, nullptr,
                   "Key violation.");
    connection.Run("DELETE FROM temp.staged", {}, nullptr, "Key violation.");
    count_ = 0;
}

void StagedAppends::Forget() noexcept {
    ready_ = false;
    usable_ = false;
    count_ = 0;
}

}  // namespace tallon::db::local
