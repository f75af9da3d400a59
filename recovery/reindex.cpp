#include "recovery/reindex.h"

namespace tallon {

void ReindexTable(db::Table& transTable, Host& host) {
    transTable.Close();
    transTable.SetTableName(host.TableName());
    transTable.SetExclusive(true);

    // All three are built in one step in place of the table's own index
    // files (no other table is touched), with the primary index file written
    // last: a table whose .PX exists has its three indexes, whatever stops
    // the rebuild, and one without is reindexed when next written to.
    transTable.RebuildIndexes({{"", "SeqNo;Time;Card No", db::ixPrimary | db::ixUnique},
                               {"date_key", "date", db::ixCaseInsensitive},
                               {"dname_key", "device name", db::ixCaseInsensitive}});

    transTable.SetExclusive(false);
    host.AddMemoLine("Files Reindexed.");
}

}  // namespace tallon
