#pragma once

// The rollback journal SQLite keeps beside a table (N.DB-journal). An empty
// one is the journal between transactions. A non-empty one is what a process
// killed while committing left behind: SQLite rolls it back into the table
// when the table is next opened, which is right for the file it was written
// for and ruins any other file that now stands under that name.

#include <string>

namespace tallon::db::local {

// Before a table is opened: a non-empty journal that is older than the last
// change of the table file by more than a commit could take was not written
// for this file (a person copied the table in since, or made it anew); it is
// moved aside as "N.DB-journal.orphan" instead of being rolled into the
// table.
void SettleJournal(const std::string& dbPath);

// Before the engine puts a new file in place of a table (from the template):
// whatever journal the old table left is of no use to the new one.
void RemoveJournal(const std::string& dbPath);

}  // namespace tallon::db::local
