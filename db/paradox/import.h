#pragma once

// Bringing a site's Paradox tables across into engine tables of the same
// names. The Paradox files are never deleted: once a table is converted they
// move into "paradox-originals/" beside the new table; a table that fails
// keeps them where they were and leaves no engine table behind (see
// staging.h for how an interrupted import is settled).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/local/schema.h"
#include "db/paradox/reader.h"

namespace tallon::db::paradox {

inline constexpr const char* kOriginalsFolder = "paradox-originals";

struct ImportOptions {
    bool check = false;    // read and run every test, write nothing
    bool replace = false;  // a table imported before is imported again
};

struct TableReport {
    std::string file;  // NAME.DB as found
    std::string name;  // the table name
    bool failed = false;
    bool skipped = false;      // already an engine table (directory imports)
    bool resumed = false;      // put in place from what an interrupted import left
    int64_t read = 0;          // records read (counted in the data blocks)
    int64_t written = 0;       // records of a table that was kept
    int64_t headerCount = -1;  // the header's record count, when it differs
    int fields = 0;
    int codePage = 0;
    std::vector<std::string> indexes;   // "primary (F1;F2)", "date_key", ...
    std::vector<std::string> problems;  // why it failed
    std::vector<std::string> notes;     // worth knowing, not a failure
};

// The engine field a Paradox field becomes, or nothing with `why` set for a
// kind the engine cannot hold. Timestamps become text "YYYY-MM-DD HH:MM:SS".
std::optional<local::FieldDef> EngineField(const Field& field, int codePage, std::string& why);

// Imports one Paradox table (SOURCE is NAME.DB) or every Paradox .DB of a
// directory into `destination` ("" for the directory of SOURCE). Each
// table's report is passed to `done` as soon as the table is finished.
std::vector<TableReport> ImportParadox(const std::string& source, const std::string& destination,
                                       const ImportOptions& options,
                                       const std::function<void(const TableReport&)>& done = {});

// One line of summary for a table, as tallon-db prints it.
std::string SummaryLine(const TableReport& report, bool check);

}  // namespace tallon::db::paradox
