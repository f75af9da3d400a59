#pragma once

// The database engine: one object, made by each front end and passed down to
// everything that reaches a database. It owns the directory databases and
// their table files, the external aliases and their connections, the login
// prompt, and the batch in progress. Nothing of it is process-wide, and it
// starts no thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "db/connection.h"

namespace tallon::db {

class Batch;
namespace local {
class DirectoryDatabase;
}

// Asked when an external database wants a password its alias does not hold.
// Fills user name and password and returns true, or returns false when the
// operator cancels. Asked at most once in the engine's life.
using LoginPrompt =
    std::function<bool(const std::string& alias, std::string& userName, std::string& password)>;

struct LoginAnswer {
    std::string userName;
    std::string password;
};

// Name of the engine's configuration file, searched for in order: the file
// named by $TALLON_DB_CONF, the current directory, the program directory,
// /etc/tallon/.
inline constexpr const char* kEngineConfigFileName = "tallon-db.conf";

class Engine {
  public:
    // `programDirectory` is searched for the configuration file; empty means
    // the executable's directory.
    explicit Engine(const std::string& programDirectory = "");
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void SetProgramDirectory(const std::string& directory);
    // Ends in "/".
    const std::string& ProgramDirectory() const { return programDirectory_; }

    void SetLoginPrompt(LoginPrompt prompt) { prompt_ = std::move(prompt); }
    // Credentials for an alias whose server asks for a password it does not
    // hold: the prompt is asked at most once; its answer (or the cancel) is
    // remembered for that alias, and any other alias that needs a password
    // afterwards gets none. nullopt means: cannot connect.
    std::optional<LoginAnswer> LoginFor(const std::string& alias, const std::string& suggestedUser);

    // A directory database under a name ("KD1"): bare table names under that
    // name mean the tables of the directory.
    void OpenDirectoryDatabase(const std::string& name, const std::string& directory);
    void CloseDirectoryDatabase(const std::string& name);
    // The directory of an open directory database ("" when none), ending "/".
    std::string DirectoryOf(const std::string& name) const;
    // The tables of a directory (made on first use, kept for the engine's
    // life).
    local::DirectoryDatabase& Directory(const std::string& directory);

    // The connection a database name stands for: a directory database, else
    // an alias of the configuration file (connected on first use). Raises
    // EDatabaseError for an unknown name and the engine start-up error for an
    // unusable configuration.
    Connection& ConnectionFor(const std::string& databaseName);

    // Changes whenever a connection may have gone (a directory database
    // closed, the engine shut down): what callers cache of ConnectionFor
    // stays good while it is the same.
    uint64_t ConnectionsVersion() const { return connectionsVersion_; }

    // The batch in progress, or nullptr.
    Batch* ActiveBatch() const { return batch_; }
    // Counts batch commits (and starts of batches): what a connection
    // checked during one batch it need not check again in the same batch.
    uint64_t Generation() const { return generation_; }
    // Before a wait for another process: commit what we hold, so we never
    // wait while holding a lock. Raises the commit's error.
    void CommitBeforeWaiting();

    // How long a statement or an open waits for another process's lock on a
    // table before it gives up (a few seconds; tests shorten it).
    int LockWaitMs() const { return lockWaitMs_; }
    void SetLockWaitMs(int ms) { lockWaitMs_ = ms; }

    // How long a batch waits for an external server that went away in its
    // middle to come back before the run gives up (tests shorten it).
    int ReconnectWaitMs() const { return reconnectWaitMs_; }
    void SetReconnectWaitMs(int ms) { reconnectWaitMs_ = ms; }

    // Commits everything (outside a batch there is nothing pending) and
    // closes every connection. Raises the first failure.
    void Shutdown();

    // For Batch.
    void BeginBatch(Batch* batch);
    void EndBatch(Batch* batch);
    void BatchCommitted() { ++generation_; }

  private:
    struct Alias;
    Connection* OpenAlias(const std::string& name);

    std::string programDirectory_;
    LoginPrompt prompt_;
    bool asked_ = false;
    std::map<std::string, std::optional<LoginAnswer>> answers_;  // by lower-case alias

    std::map<std::string, std::string> directoryNames_;  // lower-case name -> directory
    std::map<std::string, std::unique_ptr<local::DirectoryDatabase>> directories_;

    bool aliasesLoaded_ = false;
    std::map<std::string, std::unique_ptr<Alias>> aliases_;  // by lower-case name

    int lockWaitMs_ = 5000;
    uint64_t connectionsVersion_ = 1;
    int reconnectWaitMs_ = 15000;
    Batch* batch_ = nullptr;
    uint64_t generation_ = 1;
};

}  // namespace tallon::db
