#pragma once

// What a table file holds, as read from it: its fields (found by name
// without regard to case), the statement that appends a record, and its
// indexes.

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/local/index_file.h"
#include "db/local/schema.h"

namespace tallon::db::local {

class TableConnection;

class TableSchema {
  public:
    // Reads fields and indexes through the connection. Raises "Not a table
    // file: PATH" when the file has no records.
    void Load(TableConnection& connection, const std::string& path);
    void Clear();

    const std::vector<FieldDef>& Fields() const { return fields_; }
    // Index of a field by name without regard to case, or -1.
    int FieldIndex(const std::string& name) const;
    // The statement that appends one record with every field as a
    // parameter.
    const std::string& InsertSql() const { return insertSql_; }

    const std::map<std::string, IndexDef>& Indexes() const { return indexes_; }
    std::map<std::string, IndexDef>& MutableIndexes() { return indexes_; }
    const IndexDef* PrimaryIndex() const;

  private:
    void LoadIndexes(TableConnection& connection);

    std::vector<FieldDef> fields_;
    // Field indexes by the names callers asked for (a writer sets a dozen
    // fields by name for every record).
    mutable std::unordered_map<std::string, int> fieldIndexByName_;
    std::string insertSql_;
    std::map<std::string, IndexDef> indexes_;
};

}  // namespace tallon::db::local
