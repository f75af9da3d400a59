#include "log/activity_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/errors.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::ReadWholeFile;
using test::ScopedWorkingDirectory;
using test::TempDir;
using test::WriteWholeFile;

// Runs `body` in a child process (for limits and identities that must not
// stay with the test) and returns its exit status; -1 when it did not exit.
int ExitStatusOf(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
        }
        _exit(status);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(ActivityLog, CreatesAppendsAndFollowsTheWorkingDirectory) {
    TempDir first, second;
    {
        ScopedWorkingDirectory cwd(first.path());
        LogLine(" ");
        LogLine("TALLON: 1.0.0.9 Started.");
        LogLine(" ");
        LogLine("TALLON: 1.0.0.9 Started.");
    }
    EXPECT_EQ(ReadWholeFile(first / "tallon.log"),
              " \r\nTALLON: 1.0.0.9 Started.\r\n \r\nTALLON: 1.0.0.9 Started.\r\n");
    {
        ScopedWorkingDirectory cwd(second.path());
        LogLine("elsewhere");
    }
    EXPECT_EQ(ReadWholeFile(second / "tallon.log"), "elsewhere\r\n");
}

// A person deleting the log while a run writes it, at any moment: every
// line either lands in the file of the moment or makes a new one, and none
// fails.
TEST(ActivityLog, DeletedAtAnyMomentIsCreatedAgain) {
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    const pid_t test = ::getpid();
    const pid_t deleter = ::fork();
    ASSERT_GE(deleter, 0);
    if (deleter == 0) {
        // Until killed, or orphaned should the test end early.
        for (unsigned i = 0; ::getppid() == test; ++i) {
            ::unlink((dir / "tallon.log").c_str());
            ::usleep(i % 7 * 3);  // at varying moments of the writer's call
        }
        _exit(0);
    }
    int failed = 0;
    std::string firstError;
    for (int i = 0; i < 20000; ++i) {
        try {
            LogLine("line " + std::to_string(i));
        } catch (const EInOutError& e) {
            firstError = failed++ == 0 ? e.Message() : firstError;
        }
    }
    ::kill(deleter, SIGKILL);
    ::waitpid(deleter, nullptr, 0);
    EXPECT_EQ(failed, 0) << firstError;

    LogLine("one");
    ASSERT_EQ(std::remove((dir / "tallon.log").c_str()), 0);
    LogLine("two");
    EXPECT_EQ(ReadWholeFile(dir / "tallon.log"), "two\r\n");
}

TEST(ActivityLog, CutsAtCtrlZOnlyWithinTheLast128Bytes) {
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    WriteWholeFile(dir / "tallon.log", "kept\r\n\x1A old tail\x1A more");
    LogLine("next");
    EXPECT_EQ(ReadWholeFile(dir / "tallon.log"), "kept\r\nnext\r\n");

    // A Ctrl-Z further back than 128 bytes from the end is ordinary content.
    const std::string early = "a\x1A" + std::string(200, 'x') + "\r\n";
    WriteWholeFile(dir / "tallon.log", early);
    LogLine("after");
    EXPECT_EQ(ReadWholeFile(dir / "tallon.log"), early + "after\r\n");
}

// A line the file cannot take whole (a full disk) is not written at all, and
// a Ctrl-Z tail cut for it comes back. The file size limit stops a write
// part-way as a full disk does; it is set in a child, where it stays.
TEST(ActivityLog, ALineThatDoesNotFitLeavesTheLogAsItWas) {
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    const std::string line = "Card: 4561234 not found";
    for (const std::string& before : {std::string("kept\r\n"), std::string("kept\r\n\x1A tail")}) {
        // Room for nothing more, and room for a part of the line.
        for (const rlim_t room : {rlim_t{0}, rlim_t{9}}) {
            SCOPED_TRACE(std::to_string(before.size()) + " bytes + " + std::to_string(room));
            WriteWholeFile(dir / "tallon.log", before);
            const int status = ExitStatusOf([&] {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{before.size() + room, before.size() + room};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                    return 10;
                }
                try {
                    LogLine(line);
                } catch (const EInOutError& e) {
                    return e.Message().ends_with(": " + (dir / "tallon.log")) ? 0 : 11;
                }
                return 12;
            });
            EXPECT_EQ(status, 0);
            EXPECT_EQ(ReadWholeFile(dir / "tallon.log"), before);
        }
    }
    // With room again, the next line is appended as usual.
    LogLine(line);
    EXPECT_EQ(ReadWholeFile(dir / "tallon.log"), "kept\r\n" + line + "\r\n");
}

TEST(ActivityLog, AppendsToALogNamedInAnotherCase) {
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    WriteWholeFile(dir / "TALLON.LOG", "old\r\n");
    LogLine("new");
    EXPECT_EQ(ReadWholeFile(dir / "TALLON.LOG"), "old\r\nnew\r\n");
    struct stat st {};
    EXPECT_NE(::stat((dir / "tallon.log").c_str(), &st), 0) << "no second log may appear";
}

TEST(ActivityLog, ADirectoryOfThatNameIsAnAccessError) {
    TempDir dir;
    ScopedWorkingDirectory cwd(dir.path());
    ASSERT_EQ(::mkdir((dir / "tallon.log").c_str(), 0755), 0);
    try {
        LogLine("x");
        FAIL() << "writing into a directory must fail";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 5);
        EXPECT_EQ(e.Message(), "File access denied: " + (dir / "tallon.log"));
    }
}

// Two runs in one working directory log at the same time, starting from no
// log at all: every line of each lands whole, once.
TEST(ActivityLog, TwoProcessesAppendingLoseAndGarbleNothing) {
    TempDir dir;
    constexpr int kLines = 3000;
    auto line = [](char who, int i) {
        return std::string(1, who) + " " + std::to_string(i) + " " + std::string(40, who);
    };
    std::vector<pid_t> children;
    for (char who : {'a', 'b'}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::chdir(dir.path().c_str()) != 0) {
                _exit(11);
            }
            try {
                for (int i = 0; i < kLines; ++i) {
                    LogLine(line(who, i));
                }
            } catch (...) {
                _exit(12);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    const std::string text = ReadWholeFile(dir / "tallon.log");
    std::map<std::string, int> seen;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "a line without its end";
        ++seen[text.substr(start, end - start)];
        start = end + 2;
    }
    int whole = 0;
    for (char who : {'a', 'b'}) {
        for (int i = 0; i < kLines; ++i) {
            whole += seen[line(who, i)] == 1 ? 1 : 0;
        }
    }
    EXPECT_EQ(whole, 2 * kLines);
    EXPECT_EQ(seen.size(), static_cast<size_t>(2 * kLines)) << "garbled lines";
}

// A read-only log refuses the line. Root ignores file modes, so the check
// runs in a child that has given up root.
TEST(ActivityLog, ReadOnlyLogIsFileAccessDenied) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    WriteWholeFile(dir / "tallon.log", "old\r\n");
    ASSERT_EQ(::chmod((dir / "tallon.log").c_str(), 0444), 0);

    const int status = ExitStatusOf([&] {
        if (::geteuid() == 0 && ::setuid(65534) != 0) {
            return 10;
        }
        if (::chdir(dir.path().c_str()) != 0) {
            return 11;
        }
        try {
            LogLine("refused");
        } catch (const EInOutError& e) {
            return e.Message() == "File access denied: " + (dir / "tallon.log") ? 0 : 12;
        }
        return 13;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadWholeFile(dir / "tallon.log"), "old\r\n");
}

}  // namespace
}  // namespace tallon
