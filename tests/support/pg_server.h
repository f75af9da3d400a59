#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <string>

// A throwaway PostgreSQL server for tests and benchmarks: initdb into a
// fresh directory under /tmp, started as an unprivileged user (the
// "postgres" system user when we run as root) on a free loopback port, with
// password (scram-sha-256) authentication for TCP connections, and removed
// with everything in it when the object goes.
//
// This file and pg_server.cpp use only the C++ library, POSIX and libpq, so
// a benchmark can compile pg_server.cpp without GoogleTest.

namespace tallon::test {

class PgServer {
  public:
    // Starts the server; throws std::runtime_error with the reason when it
    // cannot (binaries missing, initdb or start failed). Tests run without
    // fsync for speed; `durable` keeps the server's default flushing (for
    // measuring what a real installation's commits cost).
    explicit PgServer(bool durable = false);
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // One server shared by a whole test program, started on first use and
    // stopped at exit. nullptr, with the reason, when it cannot be started
    // (the attempt is made once).
    static PgServer* Shared(std::string& whyNot);

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    const std::string& SuperUser() const { return superUser_; }
    const std::string& SuperPassword() const { return superPassword_; }

    // "host=127.0.0.1 port=N dbname=<database>" plus user and password when
    // they are not empty.
    std::string ConnectionString(const std::string& database, const std::string& user = "",
                                 const std::string& password = "") const;

    // Runs SQL (several statements allowed) as the superuser; throws
    // std::runtime_error with the server's message.
    void RunSql(const std::string& sql, const std::string& database = "postgres") const;

    // A database owned by a new login role with that password (both made
    // fresh; an existing database of that name is dropped first).
    void CreateDatabase(const std::string& database, const std::string& owner,
                        const std::string& ownerPassword) const;

    // Ends every other session on a database (to test lost connections).
    void TerminateSessions(const std::string& database) const;

    // Stops the server as `pg_ctl stop -m immediate` does (sessions cut, no
    // shutdown checkpoint), keeping its data; Resume() starts it again on
    // the same port.
    void StopImmediately();
    void Resume();

  private:
    void Start();
    void Stop();
    // Starts the server on the data directory; false when it exited at
    // once (its port was taken).
    bool Launch();

    bool durable_ = false;
    std::string dir_;
    std::string binDir_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    std::string superUser_ = "tallon_admin";
    std::string superPassword_;
    pid_t pid_ = -1;
    uid_t runUid_ = static_cast<uid_t>(-1);  // the user the server runs as, when we are root
    gid_t runGid_ = static_cast<gid_t>(-1);
};

// Tests that need the server: under CI a missing server is a failure,
// elsewhere the test is skipped with the reason.
inline bool RunningUnderCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

}  // namespace tallon::test

// Declares `PgServer* var` in a test body, or fails/skips the test.
#define TALLON_NEED_PG_SERVER(var)                                               \
    std::string var##_why;                                                       \
    ::tallon::test::PgServer* var = ::tallon::test::PgServer::Shared(var##_why); \
    if (!var) {                                                                  \
        if (::tallon::test::RunningUnderCi()) {                                  \
            FAIL() << "PostgreSQL server needed under CI: " << var##_why;        \
        } else {                                                                 \
            GTEST_SKIP() << "PostgreSQL server not available: " << var##_why;    \
        }                                                                        \
    }
