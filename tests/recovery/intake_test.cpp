// Continuous intake driven step by step, as its loop drives it, where a
// test decides what the intake is told: a file renamed out of the
// directory while its writer still appends to it, a last line still
// growing where no scan saw it, and more files than the descriptor budget.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

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

TEST_F(IntakeSteps, AFileThatLeftIsReadWhileItGrowsAndAGrowingLastLineIsNotTaken) {
    Intake intake(Setting(std::chrono::seconds(1)));
    const std::string a = raw / "a.raw", b = raw / "b.raw";
    const std::string third = Line(3) + "\r\n";
    Append(a, Line(1) + "\r\n");
    Append(b, Line(2) + "\r\n" + third.substr(0, 10));
    intake.Start();
    intake.Work();
    EXPECT_EQ(intake.Status().counts.added, 2);

    // Renamed out of the directory: what its writer still appends is read
    // through the descriptor, not only at the stop.
    std::filesystem::rename(a, outside / "a.raw");
    intake.Scan();
    intake.Work();
    Append(outside / "a.raw", Line(4) + "\r\n");
    intake.Scan();
    intake.Work();
    EXPECT_EQ(intake.Status().counts.added, 3);

    // The last line of b.raw grows where no scan saw it (a network
    // filesystem): once the settle time has passed since the intake last
    // saw the file, its own look at the file finds it changed, and the
    // line waits for its end.
    Append(b, third.substr(10, 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    intake.Work();
    Append(b, third.substr(20));
    intake.Scan();
    intake.Work();
    const IntakeStatus status = intake.Status();
    EXPECT_EQ(status.linesRead, 4);
    EXPECT_EQ(status.counts.added, 4);
    EXPECT_EQ(status.counts.NotAdded(), 0);
    ASSERT_EQ(status.files.size(), 1u);  // a.raw, read to its end, forgotten

    intake.Stop();
    EXPECT_EQ(std::count(host.memo.begin(), host.memo.end(), "Recovering: a.raw"), 1);
    EXPECT_EQ(std::count(host.memo.begin(), host.memo.end(), "Recovering: b.raw"), 1);
    EXPECT_EQ(std::count(host.memo.begin(), host.memo.end(), "Completed - 2 records added."), 2);
}

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
