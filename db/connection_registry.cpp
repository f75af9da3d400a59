#include <mutex>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "db/alias.h"
#include "db/connection.h"
#include "db/engine.h"
#include "db/local_store.h"

namespace tallon::db {

namespace {

struct DirectoryDatabase {
    std::string name;
    std::string directory;
    std::unique_ptr<Connection> connection;
};

struct Databases {
    std::mutex mutex;
    std::vector<DirectoryDatabase> list;
};

Databases& Dbs() {
    static Databases* d = new Databases();  // outlives static destructors
    return *d;
}

}  // namespace

int QueryResult::ColumnIndex(const std::string& name) const {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (SameText(columns[i], name))
            return static_cast<int>(i);
    }
    return -1;
}

Connection& ConnectionFor(const std::string& databaseName) {
    {
        Databases& d = Dbs();
        std::lock_guard lock(d.mutex);
        for (auto& db : d.list) {
            if (SameText(db.name, databaseName))
                return *db.connection;
        }
    }
    if (Connection* c = OpenAliasConnection(databaseName))
        return *c;
    throw EDatabaseError("Unknown database or alias: " + databaseName);
}

void RegisterDirectoryDatabase(const std::string& databaseName, const std::string& directory) {
    Databases& d = Dbs();
    std::lock_guard lock(d.mutex);
    for (auto& db : d.list) {
        if (SameText(db.name, databaseName)) {
            db.directory = directory;
            db.connection = MakeDirectoryConnection(directory);
            return;
        }
    }
    d.list.push_back({databaseName, directory, MakeDirectoryConnection(directory)});
}

void UnregisterDirectoryDatabase(const std::string& databaseName) {
    Databases& d = Dbs();
    std::lock_guard lock(d.mutex);
    std::erase_if(d.list,
                  [&](const DirectoryDatabase& db) { return SameText(db.name, databaseName); });
}

std::string DirectoryOfDatabase(const std::string& databaseName) {
    Databases& d = Dbs();
    std::lock_guard lock(d.mutex);
    for (auto& db : d.list) {
        if (SameText(db.name, databaseName))
            return db.directory;
    }
    return "";
}

void FlushAll() {
    local::CommitAll();
}

void ShutdownEngine() {
    std::string error;
    try {
        local::CommitAll();
    } catch (const EDatabaseError& e) {
        error = e.Message();
    }
    local::CloseAll();
    CloseAliasConnections();
    if (!error.empty())
        throw EDatabaseError(error);
}

}  // namespace tallon::db
