#pragma once

// Records a table receives in a batch that writes many tables, held in a
// temporary table of the table's own connection ("staged") until the batch
// commits, and then written into the records in one statement.
//
// Written one by one, records spread over hundreds of day tables each
// change a page or more of every index of their table: the batch holds all
// those pages in memory and writes each table's pages anew for a handful of
// records. Staged, a record costs a row of a small temporary table, and each
// table's pages are changed and written once per batch, one table at a time.
//
// The statements see no difference. The table's views show the staged
// records beside the stored ones, so the duplicate check finds either; the
// staged table carries the table's unique indexes, so a unique key repeated
// among staged records is refused as the table refuses it, and those of
// several fields, which lookups like the duplicate check use (a lookup by
// one field reads the few staged records through); and a record whose
// unique key a stored record holds is refused before it is staged. The
// table's write lock is held from the batch's first check on, so no other
// process changes the table before its staged records are in it. A
// statement other than a read through the views or an append writes the
// staged records first (TableFile).

#include <cstddef>
#include <string>
#include <vector>

#include "db/value.h"

namespace tallon::db::local {

class TableConnection;

class StagedAppends {
  public:
    // Sets the staged table up beside the records, with their indexes, and
    // makes the views show it; `insertSql` is the table's append. False when
    // the table cannot stage (a unique index whose form the staged table
    // cannot copy): its records are then written straight away.
    bool Prepare(TableConnection& connection, const std::string& insertSql);
    // Stages one record (values in field order, as the append binds them).
    // Raises "Key violation." when a stored or staged record holds one of
    // its unique keys.
    void Stage(TableConnection& connection, const std::vector<Value>& record);
    bool Empty() const { return count_ == 0; }
    // Writes the staged records into the table, in the order staged, in the
    // open transaction, and empties the staged table.
    void Flush(TableConnection& connection);
    // The transaction that set the staged table up or filled it was undone,
    // or the connection closes: set up afresh next time.
    void Forget() noexcept;

  private:
    // A unique index of the records: the statement that finds a stored
    // record holding a key, and which fields of the record make the key.
    struct UniqueCheck {
        std::string sql;
        std::vector<int> fields;
    };

    bool CopyIndex(TableConnection& connection, const std::string& name, const std::string& sql);
    bool AddUniqueCheck(TableConnection& connection, const std::string& name);
    void ThrowIfKeyStored(TableConnection& connection, const std::vector<Value>& record);

    bool ready_ = false;
    bool usable_ = false;
    std::vector<UniqueCheck> checks_;
    std::string insertSql_;
    size_t count_ = 0;
};

}  // namespace tallon::db::local
