#pragma once

// The tables of one directory, reached by name: the engine's local driver.
//
// Table files are opened on first use and kept for the engine's life (the
// page cache of one unused for kIdleCacheAfter is given back).
//
// File existence. The recovery asks, for every record, whether its day's
// table and primary index file exist. Inside a batch the answer for a name
// comes from the first look of that batch: it is looked up on disk once per
// batch (at most every kBatchAge), and the engine's own changes to the
// directory (tables made, replaced or removed, index files written) correct
// it at once. Outside a batch every question looks. So a file another
// process or a person adds or deletes is seen within one batch; what the
// engine writes meanwhile is checked again at commit (see table_transactions.h).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/connection.h"
#include "db/local/schema.h"
#include "db/local/table_file.h"

namespace tallon::db {
class Engine;
}

namespace tallon::db::local {

inline constexpr std::chrono::milliseconds kIdleCacheAfter{1000};

class DirectoryDatabase final : public Connection {
  public:
    DirectoryDatabase(Engine& engine, std::string directory);
    ~DirectoryDatabase() override;

    const std::string& Directory() const { return directory_; }

    // The table file of a name (without regard to case; ".DB" may be given),
    // current. Raises "Table does not exist: <name>".
    TableFile& Table(const std::string& name);

    // Whether the directory holds a file of that name (any letter case), by
    // the rule above.
    bool FileExists(const std::string& fileName);
    // Tells the existence cache about a change the engine made: to one file,
    // or to any file of a table.
    void Forget(const std::string& fileName);
    void ForgetTable(const std::string& tableName);

    // Connection
    void Run(const Statement& statement, Rows* rows) override;
    void RunText(const std::string& sql, Rows* rows) override;

    // Makes a new, empty table file (fails when it exists).
    void CreateTable(const std::string& name, const std::vector<FieldDef>& fields);

    // Copies each existing file of the template table over the table's file
    // of the same extension. Whatever the engine holds of the old table
    // (its uncommitted work, its connection, its journal) is settled first,
    // so the new files are never touched by the old table. With
    // `onlyWhenMissing` the records file is put in place only if no table of
    // that name exists when the copy lands (another process may have made
    // it meanwhile; then that one is kept and nothing is copied), and a
    // records file that cannot be copied raises. Returns whether the files
    // were put in place.
    bool CopyTableFromTemplate(const std::string& templateName, const std::string& name,
                               const std::vector<std::string>& extensions, bool onlyWhenMissing);
    // Deletes a table's files (those of `extensions`), closing its
    // connection first: for a table just made that turned out unusable.
    void RemoveTable(const std::string& name, const std::vector<std::string>& extensions) noexcept;

    // Commits the batch before a statement reaches the files past their
    // connections (attached to a scratch connection).
    void CommitForAttach();

    // Gives back page caches of tables not used for a while.
    void ReleaseIdleCaches();
    // Closes every table file.
    void CloseAll() noexcept;

    // Removes what killed processes left in the directory: temporary index
    // files and copies whose writer is gone.
    void RemoveStrayFiles();

  private:
    struct Known {
        uint64_t generation = 0;
        bool exists = false;
    };

    Engine& engine_;
    std::string directory_;  // ends in "/"
    std::unordered_map<std::string, std::unique_ptr<TableFile>> byPath_;
    std::unordered_map<std::string, TableFile*> byName_;   // lower-case name
    std::unordered_map<std::string, TableFile*> asGiven_;  // the name as a caller spelt it
    std::unordered_map<std::string, Known> exists_;        // lower-case file name
    std::chrono::steady_clock::time_point lastSweep_{};
    uint64_t sweptGeneration_ = 0;
};

}  // namespace tallon::db::local
