#include "tests/support/pg_server.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/text.h"

namespace tallon::test {

namespace {

namespace fs = std::filesystem;

// The newest installed server whose binaries are all there.
std::string FindBinDir() {
    if (const char* env = std::getenv("TALLON_PG_BIN"); env && *env) {
        const std::string bin = env;
        if (access((bin + "/initdb").c_str(), X_OK) != 0 ||
            access((bin + "/postgres").c_str(), X_OK) != 0) {
            throw std::runtime_error("TALLON_PG_BIN=" + bin + " holds no initdb and postgres");
        }
        return bin;
    }
    std::vector<std::pair<int, std::string>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string bin = entry.path().string() + "/bin";
        if (access((bin + "/initdb").c_str(), X_OK) == 0 &&
            access((bin + "/postgres").c_str(), X_OK) == 0) {
            int version = std::atoi(entry.path().filename().c_str());
            found.emplace_back(version, bin);
        }
    }
    if (found.empty()) {
        throw std::runtime_error(
            "no PostgreSQL server binaries under /usr/lib/postgresql/*/bin (install the "
            "Debian package postgresql)");
    }
    std::sort(found.begin(), found.end());
    return found.back().second;
}

int FreeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(s);
        throw std::runtime_error("cannot find a free loopback port");
    }
    close(s);
    return ntohs(addr.sin_port);
}

std::string RandomPassword() {
    std::random_device rd;
    const char* digits = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 24; ++i) {
        s += digits[rd() % 16];
    }
    return s;
}

std::string Tail(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

std::string QuoteIdent(const std::string& s) {
    return tallon::QuotedWith(s, '"');
}

std::string QuoteLiteral(const std::string& s) {
    return tallon::QuotedWith(s, '\'');
}

}  // namespace

PgServer::PgServer(bool durable) : durable_(durable) {
    binDir_ = FindBinDir();
    char tmpl[] = "/tmp/tallon-pg-XXXXXX";
    if (!mkdtemp(tmpl)) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = tmpl;
    try {
        Start();
    } catch (...) {
        Stop();
        throw;
    }
}

PgServer::~PgServer() {
    Stop();
}

// Runs a server program as the server's user with output to a log file.
// Returns the child's pid; `watchParent` makes the child die with us.
static pid_t Spawn(const std::vector<std::string>& args, const std::string& dir,
                   const std::string& log, uid_t uid, gid_t gid, bool watchParent) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        if (uid != static_cast<uid_t>(-1)) {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
                _exit(126);
            }
        }
        // Set after the user change, which would clear it.
        if (watchParent) {
            prctl(PR_SET_PDEATHSIG, SIGQUIT);
            if (getppid() != parent) {
                _exit(1);
            }
        }
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void PgServer::Start() {
    if (geteuid() == 0) {
        // The server refuses to run as root: hand the directory to the
        // system's postgres user.
        const passwd* pw = getpwnam("postgres");
        if (!pw) {
            throw std::runtime_error(
                "running as root and there is no 'postgres' user to run "
                "the server as");
        }
        runUid_ = pw->pw_uid;
        runGid_ = pw->pw_gid;
        if (chown(dir_.c_str(), runUid_, runGid_) != 0) {
            throw std::runtime_error("cannot hand " + dir_ + " to the postgres user");
        }
    }
    superPassword_ = RandomPassword();
    const std::string pwfile = dir_ + "/superuser.pw";
    {
        std::ofstream out(pwfile);
        out << superPassword_ << "\n";
    }
    if (runUid_ != static_cast<uid_t>(-1) && chown(pwfile.c_str(), runUid_, runGid_) != 0) {
        throw std::runtime_error("cannot hand the password file to the postgres user");
    }
    const std::string data = dir_ + "/data";
    const std::string initLog = dir_ + "/initdb.log";
    const pid_t init = Spawn({binDir_ + "/initdb", "-D", data, "-U", superUser_,
                              "--pwfile=" + pwfile, "--auth-host=scram-sha-256",
                              "--auth-local=trust", "-E", "UTF8", "--locale=C", "--no-sync"},
                             dir_, initLog, runUid_, runGid_, false);
    int status = 0;
    waitpid(init, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("initdb failed: " + Tail(initLog));
    }
    fs::remove(pwfile);

    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        if (Launch()) {
            return;
        }
        // Most likely someone took the port between our probe and the
        // server's bind: try another one.
    }
    throw std::runtime_error("PostgreSQL would not start: " + Tail(dir_ + "/server.log"));
}

bool PgServer::Launch() {
    const std::string data = dir_ + "/data";
    const std::string serverLog = dir_ + "/server.log";
    std::vector<std::string> args{binDir_ + "/postgres",
                                  "-D",
                                  data,
                                  "-p",
                                  std::to_string(port_),
                                  "-k",
                                  dir_,
                                  "-c",
                                  "listen_addresses=127.0.0.1",
                                  "-c",
                                  "max_connections=40"};
    if (!durable_) {
        for (const char* a : {"-c", "fsync=off", "-c", "full_page_writes=off"}) {
            args.emplace_back(a);
        }
    }
    pid_ = Spawn(args, dir_, serverLog, runUid_, runGid_, true);
    const std::string ping =
        "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres connect_timeout=2";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (PQping(ping.c_str()) == PQPING_OK) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("PostgreSQL did not become ready within 30 s: " + Tail(serverLog));
}

void PgServer::StopImmediately() {
    if (pid_ > 0) {
        kill(pid_, SIGQUIT);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

void PgServer::Resume() {
    if (pid_ <= 0 && !Launch()) {
        throw std::runtime_error("PostgreSQL would not start again: " + Tail(dir_ + "/server.log"));
    }
}

void PgServer::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGINT);  // fast shutdown
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        int status = 0;
        bool gone = false;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                gone = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!gone) {
            kill(pid_, SIGQUIT);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        dir_.clear();
    }
}

PgServer* PgServer::Shared(std::string& whyNot) {
    static std::unique_ptr<PgServer> server;
    static std::string reason;
    static bool tried = false;
    if (!tried) {
        tried = true;
        try {
            server = std::make_unique<PgServer>();
        } catch (const std::exception& e) {
            reason = e.what();
        }
    }
    whyNot = reason;
    return server.get();
}

std::string PgServer::ConnectionString(const std::string& database, const std::string& user,
                                       const std::string& password) const {
    std::string s = "host=" + host_ + " port=" + std::to_string(port_) + " dbname=" + database;
    if (!user.empty()) {
        s += " user=" + user;
    }
    if (!password.empty()) {
        s += " password=" + password;
    }
    return s;
}

void PgServer::RunSql(const std::string& sql, const std::string& database) const {
    PGconn* c = PQconnectdb(ConnectionString(database, superUser_, superPassword_).c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        std::string msg = PQerrorMessage(c);
        PQfinish(c);
        throw std::runtime_error("cannot connect as superuser: " + msg);
    }
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    PGresult* res = PQexec(c, sql.c_str());
    const ExecStatusType st = PQresultStatus(res);
    std::string msg = PQresultErrorMessage(res);
    PQclear(res);
    PQfinish(c);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        throw std::runtime_error("SQL failed: " + msg + " in: " + sql);
    }
}

void PgServer::CreateDatabase(const std::string& database, const std::string& owner,
                              const std::string& ownerPassword) const {
    RunSql("drop database if exists " + QuoteIdent(database) + " with (force)");
    RunSql("do $$ begin if not exists (select from pg_roles where rolname = " +
           QuoteLiteral(owner) + ") then create role " + QuoteIdent(owner) +
           " login; end if; end $$;"
           "alter role " +
           QuoteIdent(owner) + " login password " + QuoteLiteral(ownerPassword));
    RunSql("create database " + QuoteIdent(database) + " owner " + QuoteIdent(owner));
}

void PgServer::TerminateSessions(const std::string& database) const {
    RunSql("select pg_terminate_backend(pid) from pg_stat_activity where datname = " +
           QuoteLiteral(database) + " and pid <> pg_backend_pid()");
}

}  // namespace tallon::test
