#pragma once

// Keeping a table's indexes in step with its index files: an index exists
// exactly when its files do.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "db/local/index_file.h"

namespace tallon::db::local {

class TableFile;

// What SyncIndexes last found of one table's index files; forgotten when the
// table's connection opens again.
struct IndexFileState {
    uint64_t checkedGeneration = 0;            // the batch that last looked
    bool discovered = false;                   // the directory was listed for them
    int64_t directoryMtimeNs = -1;             // the directory as that listing saw it
    std::map<std::string, std::string> paths;  // slot -> file last found
};

// Drops every index whose files are gone and builds every index whose files
// appeared (copied in beside the table). Once per batch for a table (always
// outside one): the files it found are tried first, one stat each, and the
// directory is looked into only when its modification time moved.
void SyncIndexes(TableFile& file, uint64_t generation, bool inBatch);

// Builds (or rebuilds) indexes in one transaction of their own, then writes
// their files: secondary ones first and the primary index file last, so a
// table whose primary index file exists has all of the indexes that were
// built with it. With `replaceFiles`, every other index file of the table is
// deleted first and its index dropped (a full rebuild). Definitions carry no
// slot; the primary index is the one with the primary option or no name.
void AddIndexes(TableFile& file, std::vector<IndexDef> defs, bool replaceFiles);

}  // namespace tallon::db::local
