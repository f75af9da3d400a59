#pragma once

#include "db/table.h"
#include "recovery/host.h"

namespace tallon {

// "Reindex": rebuilds the three indexes of the table named in the window's
// table-name box, through the transaction table object, and tells the memo
// "Files Reindexed.". Raises engine errors.
void ReindexTable(db::Table& transTable, Host& host);

}  // namespace tallon
