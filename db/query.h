#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tallon::db {

class QueryResult;

// An SQL statement on a database: a directory database ("KD1") or an
// external alias configured in the engine's configuration file.
class Query {
  public:
    Query(std::string objectName, std::string databaseName);
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
    bool Active() const;
    int RecordCount() const;
    // A column of the first row, by name, as text. A missing column raises
    // "<object>: Field '<name>' not found".
    std::string FieldAsString(const std::string& column) const;

    // Runs a statement without result rows.
    void ExecSQL();

  private:
    std::string objectName_;
    std::string databaseName_;
    std::vector<std::string> lines_;
    std::unique_ptr<QueryResult> result_;
};

// The safe way to put a value into a statement: the value between single
// quotes with every embedded quote doubled, so it is compared and stored
// exactly as it is and can never change the statement.
std::string Quoted(const std::string& value);

}  // namespace tallon::db
