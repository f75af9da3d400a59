#pragma once

// The engine's configuration file tallon-db.conf: the external aliases.
//
//   ; a comment (also '#'); blank lines are ignored
//   [Brindle]
//   driver=sqlite
//   database=brindle.sqlite        ; relative to the configuration file's directory
//   [VeloraDB]
//   driver=postgresql
//   connection=host=127.0.0.1 port=5432 dbname=velora user=tallon
//
// Section (alias) names, keys and driver names match without regard to case.
// A value is trimmed; a ';' or '#' preceded by a blank starts a comment; a
// value in double quotes is taken literally (for a password holding " ;").
// Unknown keys are ignored so that operators can annotate a section.

#include <string>
#include <vector>

namespace tallon::db {

struct AliasConfig {
    std::string name;        // as written in the section header
    std::string driver;      // "sqlite" or "postgresql"
    std::string database;    // sqlite: the database file, made absolute
    std::string connection;  // postgresql: a libpq connection string
    // sqlite: the connection's synchronous setting ("off", "normal", "full"
    // or "extra"); empty keeps SQLite's own default. With the write-ahead
    // log, "normal" syncs at checkpoints instead of at every commit: a power
    // failure may then undo the last commits, a crash of the program never.
    std::string synchronous;
};

// Statuses of the engine start-up error, shown as four upper-case hex digits.
enum EngineStartStatus : unsigned {
    kStartConfigUnreadable = 0x2101,  // the file exists but cannot be read
    kStartConfigSyntax = 0x2102,      // a line that is neither [section] nor key=value
    kStartNoDriver = 0x2103,          // a section without driver=
    kStartUnknownDriver = 0x2104,     // driver= names no driver this engine has
    kStartMissingTarget = 0x2105,     // sqlite without database=, postgresql without connection=
    kStartDuplicateAlias = 0x2106,    // two sections with the same name
    kStartLibraryUnusable = 0x2107,   // the SQLite or PostgreSQL client library cannot be used
};

// "An error occurred while attempting to initialize ... (error $XXXX)".
std::string EngineStartMessage(unsigned status);
[[noreturn]] void ThrowEngineStartError(unsigned status);

// The configuration file in use: $TALLON_DB_CONF when set (a missing one is
// an error: the operator asked for it), else the first entry named
// kEngineConfigFileName in the current directory, the program directory, the
// site directory and /etc/tallon/; an entry that is no readable file (a
// directory, a broken link) is still the one found, and reading it fails.
// "" when there is none, which means no aliases.
std::string FindEngineConfigFile(const std::string& programDirectory);

// Parses a configuration file. Raises the engine start-up error for a file
// that cannot be read or is malformed (a NUL byte included).
std::vector<AliasConfig> ReadEngineConfig(const std::string& path);

}  // namespace tallon::db
