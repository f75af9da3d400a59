#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tallon::test {

class PgServer;

// Where an external access-control database lives in a test.
enum class ExternalKind { Sqlite, Postgres };

const char* KindName(ExternalKind kind);

// A fresh external database made from the shipped schema script of its
// kind, and an engine configuration file naming it under both external
// aliases, "Brindle" and "VeloraDB". The test points TALLON_DB_CONF at
// ConfigFile() (Use() does that) and reads and seeds the tables directly,
// past the engine.
class ExternalDb {
  public:
    // SQLite: a database file in `directory`.
    static std::unique_ptr<ExternalDb> Sqlite(const std::string& directory);
    // PostgreSQL: database `database` (made anew) on `server`, owned by the
    // role "tallon" with password "s3cret". With `storePassword` false the
    // aliases hold no password, so the server's demand for one reaches the
    // login prompt.
    static std::unique_ptr<ExternalDb> Postgres(const std::string& directory, PgServer& server,
                                                const std::string& database,
                                                bool storePassword = true);

    ~ExternalDb();
    ExternalDb(const ExternalDb&) = delete;
    ExternalDb& operator=(const ExternalDb&) = delete;

    ExternalKind Kind() const { return kind_; }
    const std::string& ConfigFile() const { return configFile_; }

    // Sets TALLON_DB_CONF to the configuration file, and keeps libpq from
    // finding passwords anywhere but in the configuration or at the prompt.
    void Use() const;

    // Runs statements (several allowed); throws std::runtime_error.
    void Exec(const std::string& sql) const;
    // Rows of a select, every value as text (NULL as "<null>").
    std::vector<std::vector<std::string>> Rows(const std::string& sql) const;

    // The rows of "trans", every column in table order, by record id.
    std::vector<std::vector<std::string>> TransRows() const {
        return Rows("select * from trans order by trans_id");
    }

  private:
    ExternalDb() = default;

    ExternalKind kind_ = ExternalKind::Sqlite;
    std::string configFile_;
    std::string sqliteFile_;
    std::string pgConnection_;  // always with the owner's password
};

// A single-quoted SQL literal with embedded quotes doubled.
std::string SqlText(const std::string& value);

}  // namespace tallon::test
