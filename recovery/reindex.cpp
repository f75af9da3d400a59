#include "db/table.h"
#include "recovery/recovery_core.h"
#include "recovery/table_files.h"

namespace tallon {

void RecoveryCore::Button2Click() {
    // Taking the table exclusive under a running recovery would break it.
    if (running_) {
        return;
    }
    Reindex();
}

void RecoveryCore::Reindex() {
    TransTable.Close();
    TransTable.SetTableName(host_.TableName());
    TransTable.SetExclusive(true);

    // All three are built in one step in place of the table's own index
    // files (no other table is touched), with the primary index file written
    // last: a table whose .PX exists has its three indexes, whatever stops
    // the rebuild, and one without is reindexed when next written to.
    TransTable.RebuildIndexes({{"", "SeqNo;Time;Card No", db::ixPrimary | db::ixUnique},
                               {"date_key", "date", db::ixCaseInsensitive},
                               {"dname_key", "device name", db::ixCaseInsensitive}});

    TransTable.SetExclusive(false);
    host_.AddMemoLine("Files Reindexed.");
}

}  // namespace tallon
