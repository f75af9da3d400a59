#pragma once

#include <array>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "db/engine.h"

namespace tallon {

// A local table is a group of six files in one directory, in this order:
// records, two index files, the primary index, two more index files.
inline constexpr std::array<const char*, 6> kTableExtensions = {".DB",  ".XG0", ".PX",
                                                                ".XG1", ".YG0", ".YG1"};

// The template every transaction table is made from.
inline constexpr const char* kTemplateTableName = "tran_tpl";

// The fields the local writer fills in every transaction record.
inline constexpr std::array<const char*, 13> kTransactionFields = {
    "SeqNo", "Device Name", "Date",  "Time",     "Location",   "Card No", "Name",
    "user1", "user2",       "user3", "Staff No", "Trans Code", "Type"};

// The six file names of table `name` in `directory` (which ends in "/").
// Every function here refuses a name that leaves the directory
// (db::CheckTableName) before touching a file.
std::vector<std::string> TableFileSet(const std::string& directory, const std::string& name);

// The table of one day's events: "TR" and the date as yymmdd.
std::string DailyTable(DateTime eventDate);

// Copies each existing template file over the table's file of the same
// extension, replacing it. A missing template file leaves that target as it
// was. The engine settles what it held of the old table first.
void CreateFromTemplate(db::Engine& engine, const std::string& directory, const std::string& name);

// The same for a table that does not exist yet: should another process make
// it meanwhile, that table is kept and nothing is copied. The table made is
// checked (CheckTransactionTable); one that cannot be used is deleted again
// and the check's error raised.
void CreateNewFromTemplate(db::Engine& engine, const std::string& directory,
                           const std::string& name);

// Raises EDatabaseError when table `name` of `directory` cannot receive
// transaction records: it does not open as a table, or lacks a field the
// writer fills.
void CheckTransactionTable(db::Engine& engine, const std::string& directory,
                           const std::string& name);

}  // namespace tallon
