#pragma once

// Keeping a table's indexes in step with its index files: an index exists
// exactly when its files do.

#include <string>
#include <vector>

#include "db/local/index_file.h"
#include "db/local/table_file.h"

namespace tallon::db::local {

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
