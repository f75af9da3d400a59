// Latency from an append to a watched RAW file to its record's commit, as
// a client of the site sees it (the row readable in the day table):
//   watch_latency TALLON_RECOVER PROGRAM_DIR RAW_DIR LINES CARD [OPTION...]
// starts "TALLON_RECOVER --watch --program-dir=PROGRAM_DIR OPTION... RAW_DIR",
// appends LINES lines (events of card CARD) to RAW_DIR/latency.raw one at a time (50 to 150 ms
// apart), waits for each row and prints p50, p99 and the largest latency.

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Rows of every day table of the program directory.
long StoredRows(const std::string& dir) {
    long rows = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != 11 || name.rfind("TR", 0) != 0 || name.substr(8) != ".DB") {
            continue;
        }
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(entry.path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK) {
            sqlite3_busy_timeout(db, 50);
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, "select count(*) from records", -1, &st, nullptr) ==
                    SQLITE_OK &&
                sqlite3_step(st) == SQLITE_ROW) {
                rows += sqlite3_column_int64(st, 0);
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
    }
    return rows;
}

pid_t Start(const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: watch_latency TALLON_RECOVER PROGRAM_DIR RAW_DIR LINES CARD "
                     "[OPTION...]\n");
        return 2;
    }
    const std::string program = argv[2], raw = argv[3], card = argv[5];
    const int lines = std::atoi(argv[4]);
    std::vector<std::string> args{argv[1], "--watch", "--program-dir=" + program};
    args.insert(args.end(), argv + 6, argv + argc);
    args.push_back(raw);
    const pid_t watcher = Start(args);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // its first scan
    const int fd = open((raw + "/latency.raw").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::mt19937 rng(7);
    std::vector<double> ms;
    const long before = StoredRows(program);
    for (int i = 0; i < lines; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "007%02d06%02d%02d%s%d READER-00001\r\n",
                      1 + i / 1440 % 28, i / 60 % 24, i % 60, card.c_str(), i % 7);
        const auto t0 = Clock::now();
        if (write(fd, line, std::strlen(line)) < 0) {
            return 1;
        }
        while (StoredRows(program) < before + i + 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (Clock::now() - t0 > std::chrono::seconds(30)) {
                std::fprintf(stderr, "watch_latency: line %d not stored after 30 s\n", i);
                kill(watcher, SIGKILL);
                return 1;
            }
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 100));
    }
    kill(watcher, SIGTERM);
    waitpid(watcher, nullptr, 0);
    std::printf("p50 %.0f ms, p99 %.0f ms, max %.0f ms over %d lines\n", Percentile(ms, 0.5),
                Percentile(ms, 0.99), *std::max_element(ms.begin(), ms.end()), lines);
    return 0;
}
