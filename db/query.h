#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/rows.h"
#include "db/statement.h"

namespace tallon::db {

class Engine;

// An SQL statement on a database: a directory database ("KD1") or an
// external alias configured in the engine's configuration file.
//
// The program's own statements are fixed texts run with their values
// (Open/ExecSQL with a Statement). Lines added with Add are a statement typed
// by a person, run as written.
class Query {
  public:
    Query(Engine& engine, std::string objectName, std::string databaseName);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    const std::string& Name() const { return objectName_; }

    void SetDatabaseName(const std::string& databaseName);
    const std::string& DatabaseName() const { return databaseName_; }

    void Close();
    void Clear();
    void Add(const std::string& line);
    std::string Text() const;

    // Runs a select; its rows stay until Close.
    void Open();
    void Open(const Statement& statement);
    bool Active() const { return active_; }
    int RecordCount() const;
    // A column of the first row, by name, as text. A missing column raises
    // "<object>: Field '<name>' not found".
    std::string FieldAsString(const std::string& column) const;
    const Rows& Result() const { return rows_; }

    // Runs a statement without result rows.
    void ExecSQL();
    void ExecSQL(const Statement& statement);

    // Checked writes on the query's database (see Connection).
    void RunCheckedWrites(std::span<const CheckedWrite> units,
                          std::vector<CheckedWriteOutcome>& outcomes);
    size_t CheckedWritesPerCall();

  private:
    Connection& Target();

    Engine& engine_;
    Connection* target_ = nullptr;
    uint64_t targetVersion_ = 0;
    std::string objectName_;
    std::string databaseName_;
    std::vector<std::string> lines_;
    Rows rows_;
    bool active_ = false;
};

// A value quoted for a statement typed as text: between single quotes with
// every embedded quote doubled, so it is compared and stored exactly as it
// is and can never change the statement.
std::string Quoted(const std::string& value);

}  // namespace tallon::db
