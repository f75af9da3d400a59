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

    // The target's own index files go first, so every index really is built
    // anew from the records; no other table is touched.
    DeleteIndexFiles(programDirectory_, host_.TableName());

    TransTable.AddIndex("", "SeqNo;Time;Card No", db::ixPrimary | db::ixUnique);
    TransTable.AddIndex("date_key", "date", db::ixCaseInsensitive);
    TransTable.AddIndex("dname_key", "device name", db::ixCaseInsensitive);

    TransTable.SetExclusive(false);
    host_.AddMemoLine("Files Reindexed.");
}

}  // namespace tallon
