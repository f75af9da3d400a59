#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace tallon::db {

// Closes every cached alias connection and forgets the configuration, which
// is read again on the next use of an alias. What the operator answered at
// the login prompt is kept: the prompt is asked at most once per process.
void CloseAliasConnections();

// One alias of the engine's configuration file.
struct AliasConfig {
    std::string name;        // as written in the section header
    std::string driver;      // "sqlite" or "postgresql"
    std::string database;    // sqlite: the database file, made absolute
    std::string connection;  // postgresql: a libpq connection string
    // sqlite: the connection's synchronous setting ("off", "normal", "full"
    // or "extra"); empty keeps SQLite's own default. With the write-ahead
    // log, "normal" syncs at checkpoints instead of at every insert: a power
    // failure may then undo the last inserts, a crash of the program never.
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

// The configuration file in use: $TALLON_DB_CONF when set, else the first
// existing file named kEngineConfigFileName in the current directory, the
// program directory and /etc/tallon/. "" when there is none.
std::string FindEngineConfigFile();

// Parses a configuration file. Raises the engine start-up error for a file
// that cannot be read or is malformed.
std::vector<AliasConfig> ReadEngineConfig(const std::string& path);

// The program directory searched for the configuration, ending in "/".
std::string EngineProgramDirectory();

// Connections of the two drivers. They connect on their first statement
// (and again after a lost connection), so a failure to connect fails every
// statement with a message instead of hiding the alias.
std::unique_ptr<Connection> MakeSqliteAliasConnection(const AliasConfig& alias,
                                                      const std::string& usedName);
std::unique_ptr<Connection> MakePostgresAliasConnection(const AliasConfig& alias,
                                                        const std::string& usedName);

// The operator's answer at the login prompt for an alias.
struct LoginAnswer {
    std::string userName;
    std::string password;
};

// Credentials for an alias whose server asks for a password it does not
// hold. The prompt is asked at most once per process; its answer (or the
// cancel) is remembered for that alias, and every other alias that needs a
// password afterwards gets no answer. nullopt means: cannot connect.
std::optional<LoginAnswer> LoginFor(const std::string& alias, const std::string& suggestedUser);

// Forgets that the prompt was asked and what it answered (tests only).
void ResetLoginState();

}  // namespace tallon::db
