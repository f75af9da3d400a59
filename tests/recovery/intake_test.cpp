// Continuous intake driven step by step, as its loop drives it, where a
// test decides what the intake is told: more files than the descriptor
// budget.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "db/engine.h"
#include "recovery/intake.h"
#include "recovery/recovery_core.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

// A RAW line of unit 007, 6 June, at 14:mm, for a known card.
std::string Line(int minute) {
    return "007060614" + std::string(minute < 10 ? "0" : "") + std::to_string(minute) +
           "1234561 READER-00001";
}

void Append(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

class IntakeSteps : public ::testing::Test {
  protected:
    IntakeSteps() {
        test::MakeProgramDirectory(program.path(), {.templatePrimaryIndex = true});
        core.FormCreate({});
    }
    ~IntakeSteps() override { engine.Shutdown(); }

    Intake::Setting Setting(std::chrono::milliseconds settle) {
        return Intake::Setting{
            engine,
            host,
            RunMode::Local,
            core.ProgramDirectory(),
            raw.path(),
            settle,
            false,
            rejects,
            [this](db::Batch& batch, LookupCache& lookups, LineWriter::Report report) {
                return core.MakeLineWriter(batch, lookups, std::move(report));
            },
            [] { return false; },
            nullptr,
        };
    }

    test::TempDir program, raw, outside, work;
    test::ScopedWorkingDirectory cwd{work.path()};
    MemoryHost host;
    db::Engine engine;
    RecoveryCore core{engine, host, program.path()};
    RunAccounts::RejectSink rejects;
};

TEST_F(IntakeSteps, MoreFilesThanTheDescriptorBudgetAreAllRead) {
    const int files = static_cast<int>(WatchedFiles::kMaxOpenFiles) + 40;
    for (int i = 0; i < files; ++i) {
        Append(raw / ("f" + std::to_string(i) + ".raw"), Line(i % 60) + "\r\n");
    }
    const size_t before = OpenDescriptors();
    Intake intake(Setting(std::chrono::milliseconds(500)));
    intake.Start();
    intake.Work();
    const IntakeStatus status = intake.Status();
    EXPECT_EQ(status.linesRead, files);
    EXPECT_EQ(status.counts.added, 60);  // the rest are duplicates
    EXPECT_EQ(status.counts.duplicate, files - 60);
    // Tables and the log hold a few descriptors of their own.
    EXPECT_LE(OpenDescriptors(), before + WatchedFiles::kMaxOpenFiles + 8);
    EXPECT_GT(OpenDescriptors(), before + 10);  // recent files stay open a while
    intake.Stop();
}

}  // namespace
}  // namespace tallon
