#include "db/database.h"

#include <unistd.h>

#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/engine.h"

namespace tallon::db {

Database::Database(Engine& engine, std::string databaseName, std::string driverName,
                   std::string sessionName)
    : engine_(engine),
      databaseName_(std::move(databaseName)),
      driverName_(std::move(driverName)),
      sessionName_(std::move(sessionName)) {}

Database::~Database() {
    Close();
}

void Database::Open() {
    if (connected_)
        return;
    std::string path;
    bool given = false;
    for (const auto& p : params_) {
        const auto eq = p.find('=');
        if (eq != std::string::npos && SameText(Trim(p.substr(0, eq)), "path")) {
            path = Trim(p.substr(eq + 1));
            given = true;
        }
    }
    if (!given || path.empty()) {
        throw EDatabaseError("Database " + databaseName_ + ": no directory given (path=)");
    }
    const std::string dir = ResolveFileName(path);
    if (!DirectoryExists(dir)) {
        throw EDatabaseError("Directory does not exist: " + path);
    }
    if (::access(dir.c_str(), R_OK | X_OK) != 0) {
        throw EDatabaseError("Directory cannot be read: " + path);
    }
    directory_ = dir.back() == '/' ? dir : dir + "/";
    engine_.OpenDirectoryDatabase(databaseName_, directory_);
    connected_ = true;
}

void Database::Close() {
    if (!connected_)
        return;
    connected_ = false;
    engine_.CloseDirectoryDatabase(databaseName_);
}

}  // namespace tallon::db
