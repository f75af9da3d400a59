#include "db/engine.h"

#include <sqlite3.h>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/alias/config.h"
#include "db/alias/drivers.h"
#include "db/batch.h"
#include "db/local/directory_database.h"

namespace tallon::db {

struct Engine::Alias {
    AliasConfig config;
    std::unique_ptr<Connection> connection;
};

namespace {

// The program reaches SQLite from one thread only: without its mutexes and
// its memory statistics (each allocation took a global lock for them) a
// record costs measurably less. A page cache takes its pages one at a time
// as it needs them, not twenty at once: a run over hundreds of day tables
// holds two caches per table (the table's and its temporary views'), most
// of which never need more than a few pages, and twenty at once cost 170 KB
// a table. Settable only before SQLite first starts; a process that started
// it already (a test's own connection) keeps its settings.
void ConfigureSqliteOnce() {
    static const bool configured = [] {
        sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
        return true;
    }();
    (void)configured;
}

}  // namespace

Engine::Engine(const std::string& programDirectory) {
    ConfigureSqliteOnce();
    SetProgramDirectory(programDirectory);
}

Engine::~Engine() {
    try {
        Shutdown();
    } catch (...) {
        // Whoever needed to know has called Shutdown() and heard it.
    }
}

void Engine::SetProgramDirectory(const std::string& directory) {
    programDirectory_ = directory.empty() ? ExecutableDirectory() : directory;
    if (programDirectory_.back() != '/') {
        programDirectory_ += '/';
    }
}

std::optional<LoginAnswer> Engine::LoginFor(const std::string& alias,
                                            const std::string& suggestedUser) {
    const std::string key = LowerCase(alias);
    if (auto it = answers_.find(key); it != answers_.end()) {
        return it->second;
    }
    if (asked_ || !prompt_) {
        return std::nullopt;
    }
    asked_ = true;
    LoginAnswer answer{suggestedUser, ""};
    std::optional<LoginAnswer> result;
    if (prompt_(alias, answer.userName, answer.password)) {
        result = answer;
    }
    answers_[key] = result;
    return result;
}

void Engine::OpenDirectoryDatabase(const std::string& name, const std::string& directory) {
    std::string dir = directory;
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    directoryNames_[LowerCase(name)] = dir;
    ++connectionsVersion_;
    Directory(dir).RemoveStrayFiles();
}

void Engine::CloseDirectoryDatabase(const std::string& name) {
    directoryNames_.erase(LowerCase(name));
    ++connectionsVersion_;
}

std::string Engine::DirectoryOf(const std::string& name) const {
    auto it = directoryNames_.find(LowerCase(name));
    return it == directoryNames_.end() ? std::string() : it->second;
}

local::DirectoryDatabase& Engine::Directory(const std::string& directory) {
    std::string dir = directory;
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    auto& slot = directories_[dir];
    if (!slot) {
        slot = std::make_unique<local::DirectoryDatabase>(*this, dir);
    }
    return *slot;
}

Connection& Engine::ConnectionFor(const std::string& databaseName) {
    const std::string dir = DirectoryOf(databaseName);
    if (!dir.empty()) {
        return Directory(dir);
    }
    if (Connection* c = OpenAlias(databaseName)) {
        return *c;
    }
    throw EDatabaseError("Unknown database or alias: " + databaseName);
}

Connection* Engine::OpenAlias(const std::string& name) {
    const std::string key = LowerCase(Trim(name));
    if (!aliasesLoaded_) {
        // A failed read is not remembered: the next use reads the (perhaps
        // mended) file again and fails the same way until then.
        const std::string path = FindEngineConfigFile(programDirectory_);
        std::map<std::string, std::unique_ptr<Alias>> aliases;
        if (!path.empty()) {
            for (AliasConfig& a : ReadEngineConfig(path)) {
                auto alias = std::make_unique<Alias>();
                alias->config = std::move(a);
                aliases[LowerCase(alias->config.name)] = std::move(alias);
            }
        }
        aliases_ = std::move(aliases);
        aliasesLoaded_ = true;
    }
    auto it = aliases_.find(key);
    if (it == aliases_.end()) {
        return nullptr;
    }
    Alias& alias = *it->second;
    if (!alias.connection) {
        const std::string used = Trim(name);
        alias.connection = alias.config.driver == "sqlite"
                               ? MakeSqliteAliasConnection(*this, alias.config, used)
                               : MakePostgresAliasConnection(*this, alias.config, used);
    }
    return alias.connection.get();
}

void Engine::CommitBeforeWaiting() {
    if (batch_) {
        batch_->Commit();
    }
}

void Engine::BeginBatch(Batch* batch) {
    if (batch_) {
        throw EDatabaseError("A batch is already open");
    }
    batch_ = batch;
    ++generation_;
}

void Engine::EndBatch(Batch* batch) {
    if (batch_ == batch) {
        batch_ = nullptr;
        ++generation_;
    }
}

void Engine::Shutdown() {
    std::string error;
    if (batch_) {
        try {
            batch_->Commit();
        } catch (const Exception& e) {
            error = e.Message();
        }
    }
    ++connectionsVersion_;
    for (auto& [dir, d] : directories_) {
        d->CloseAll();
    }
    directories_.clear();
    aliases_.clear();
    aliasesLoaded_ = false;
    if (!error.empty()) {
        throw EDatabaseError(error);
    }
}

}  // namespace tallon::db
