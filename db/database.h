#pragma once

#include <string>
#include <vector>

namespace tallon::db {

class Engine;

// A directory database of the engine's local ("STANDARD") driver: once open,
// a bare table name under its database name, in a table object or in SQL,
// means the table of that name in its directory.
class Database {
  public:
    Database(Engine& engine, std::string databaseName, std::string driverName,
             std::string sessionName);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void ClearParams() { params_.clear(); }
    void AddParam(const std::string& param) { params_.push_back(param); }
    const std::vector<std::string>& Params() const { return params_; }

    // Opens the database: "path=" must name a readable directory, otherwise
    // an EDatabaseError with a message.
    void Open();
    void Close();
    bool Connected() const { return connected_; }

    const std::string& DatabaseName() const { return databaseName_; }
    // The directory of the open database, ending in "/".
    const std::string& Directory() const { return directory_; }

  private:
    Engine& engine_;
    std::string databaseName_;
    std::string driverName_;
    std::string sessionName_;
    std::vector<std::string> params_;
    std::string directory_;
    bool connected_ = false;
};

}  // namespace tallon::db
