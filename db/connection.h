#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tallon::db {

// The rows of a select, every value as text (NULL as "" with isNull set).
class QueryResult {
  public:
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::vector<bool>> nulls;

    // Index of a column by name without regard to case, or -1.
    int ColumnIndex(const std::string& name) const;
};

// One database a query can run on: a directory database of the local
// driver, or an external alias (SQLite file or PostgreSQL server).
class Connection {
  public:
    virtual ~Connection() = default;
    // Runs a select and returns its rows. Raises EDatabaseError.
    virtual std::unique_ptr<QueryResult> Select(const std::string& sql) = 0;
    // Runs a statement without rows. Raises EDatabaseError.
    virtual void Execute(const std::string& sql) = 0;
};

// The connection a database name stands for: a directory database opened by
// Database::Open, else an alias of the engine's configuration file (opened
// on first use and kept for the process). Raises EDatabaseError for an
// unknown name, and the engine start-up error for an unusable configuration.
Connection& ConnectionFor(const std::string& databaseName);

// Directory databases registered by Database::Open.
void RegisterDirectoryDatabase(const std::string& databaseName, const std::string& directory);
void UnregisterDirectoryDatabase(const std::string& databaseName);
// The directory of a registered directory database ("" when none).
std::string DirectoryOfDatabase(const std::string& databaseName);

// Implemented by the alias side of the engine: opens (or returns the cached)
// connection of an alias from the configuration file; nullptr when the
// configuration has no such alias.
Connection* OpenAliasConnection(const std::string& aliasName);

// Implemented by the local side: the connection of a directory database.
std::unique_ptr<Connection> MakeDirectoryConnection(const std::string& directory);

}  // namespace tallon::db
