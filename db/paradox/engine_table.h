#pragma once

// A new engine table being filled by an import: records go in through the
// engine's own table layer, in one transaction (a batch committed at the
// end, and every kRecordsPerCommit records on the way so a big table does
// not hold all its pages in memory; the table is a staged copy nobody uses
// until it is complete, so those commits cost nothing in safety). Its
// indexes are built once, after the last record.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/batch.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/local/schema.h"
#include "db/table.h"
#include "db/value.h"

namespace tallon::db::paradox {

inline constexpr int64_t kRecordsPerCommit = 50000;

class EngineTable {
  public:
    // Makes the table NAME in `directory` (which must not have it yet).
    EngineTable(const std::string& directory, const std::string& name,
                const std::vector<local::FieldDef>& fields);
    ~EngineTable();
    EngineTable(const EngineTable&) = delete;
    EngineTable& operator=(const EngineTable&) = delete;

    // Appends a record, one value per field (a Null value leaves the field
    // empty). Raises the engine's error.
    void Write(const std::vector<db::Value>& values);

    // Commits, builds the indexes and lets go of every file, so the table
    // can be moved. Raises the engine's error.
    void Finish(const std::vector<IndexSpec>& indexes);

  private:
    Engine engine_;
    std::vector<local::FieldDef> fields_;
    Database database_{engine_, "TALLON_PARADOX_IMPORT", "STANDARD", "Default"};
    Table table_{engine_, "Import", "TALLON_PARADOX_IMPORT"};
    std::unique_ptr<Batch> batch_;
    int64_t uncommitted_ = 0;
};

}  // namespace tallon::db::paradox
