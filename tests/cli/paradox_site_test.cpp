// A site moving over: its Paradox program directory converted by
// tallon-db import-paradox recovers a RAW file exactly as the demo does; an
// import killed halfway has reported what it converted, and the next one
// converts the rest.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/file_names.h"
#include "db/paradox/reader.h"
#include "tests/support/child_process.h"
#include "tests/support/paradox_writer.h"
#include "tests/support/program_dir.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {
namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

using ToolResult = test::ShellRun;

ToolResult Tool(const std::string& tool, const std::string& args, const std::string& cwd) {
    return test::RunShell("cd '" + cwd + "' && " + std::string(TALLON_BIN_DIR) + "/" + tool + " " +
                          args);
}

// A demo lookup table written out as Paradox, every field alpha, keyed on
// its first field.
void ParadoxCopy(const std::string& demo, const std::string& dir, const std::string& table,
                 const std::vector<db::paradox::Field>& fields) {
    std::vector<PxField> px;
    std::string columns;
    for (const auto& f : fields) {
        px.push_back({f.name, db::paradox::kAlpha, f.length});
        columns += (columns.empty() ? "\"" : ", \"") + f.name + "\"";
    }
    std::vector<std::vector<PxCell>> rows;
    for (const auto& row :
         ReadTable(ResolveFileName(demo + table + ".DB"), "select " + columns + " from records")) {
        auto& cells = rows.emplace_back();
        for (const auto& v : row)
            cells.push_back(v.empty() ? PxNull() : PxText(v));
    }
    WriteParadoxTable(dir + table + ".DB", px, rows, 1);
    WriteWholeFile(dir + table + ".PX", "index");
}

TEST(ParadoxSite, ImportedProgramDirectoryRecoversLikeTheDemo) {
    const std::string bin = std::string(TALLON_BIN_DIR) + "/";
    TempDir demo, site, work;
    for (const char* t : {"tran_tpl", "rdrmain", "cards", "TranSamp"}) {
        for (const auto& f : ListMatching(bin + t + ".*"))
            fs::copy_file(bin + f, demo / f);
    }
    const std::string raw = bin + "SAMPLE.RAW";

    using db::paradox::Field;
    WriteParadoxTable(site / "tran_tpl.DB", PxTransactionFields(), {});
    ParadoxCopy(demo.path(), site.path(), "rdrmain",
                {Field{"logical_point", 0, 5}, Field{"tag_name", 0, 30}, Field{"spare3", 0, 30}});
    ParadoxCopy(demo.path(), site.path(), "cards",
                {Field{"Card_Number", 0, 10}, Field{"Name", 0, 40}, Field{"Staff_number", 0, 15},
                 Field{"User1", 0, 30}, Field{"User2", 0, 30}, Field{"User3", 0, 30}});
    ParadoxCopy(demo.path(), site.path(), "TranSamp",
                {Field{"Card No", 0, 10}, Field{"Name", 0, 40}, Field{"Staff No", 0, 15},
                 Field{"User1", 0, 30}, Field{"User2", 0, 30}, Field{"User3", 0, 30}});

    // Before the import the run refuses to start, naming the table.
    ToolResult r = Tool(
        "tallon-recover",
        "--no-merge --table=NIGHT '--program-dir=" + site.path() + "' '" + raw + "'", work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("tran_tpl.DB is a Paradox table: convert it with tallon-db "
                         "import-paradox"),
              std::string::npos)
        << r.out;

    r = Tool("tallon-db", "import-paradox '" + site.path() + "'", work.path());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("4 tables imported, 0 failed"), std::string::npos) << r.out;

    // SeqNo is drawn from the clock; everything else must match.
    const std::string sql =
        "select \"Device Name\", Date, Time, Location, \"Card No\", Name, user1, user2, user3, "
        "\"Staff No\", \"Trans Code\", Type from records order by Time, \"Card No\"";
    Rows results[2];
    int i = 0;
    for (const TempDir* dir : {&demo, &site}) {
        r = Tool("tallon-recover",
                 "--no-merge --table=NIGHT '--program-dir=" + dir->path() + "' '" + raw + "'",
                 work.path());
        EXPECT_EQ(r.status, 0) << r.out;
        results[i++] = ReadTable(ResolveFileName(dir->path() + "NIGHT.DB"), sql);
    }
    EXPECT_FALSE(results[0].empty());
    EXPECT_EQ(results[1], results[0]);
}

// Killed while converting the second of three tables, its output a pipe:
// the first table's line was out already, and running it again converts
// the rest, each table once.
TEST(ParadoxSite, KilledMidDirectoryReportedWhatItDidAndTheNextRunFinishes) {
    TempDir site;
    const auto table = [&](const std::string& name, int records) {
        std::vector<std::vector<PxCell>> rows;
        for (int i = 0; i < records; ++i)
            rows.push_back(PxTransaction(i, "Door 7", 1 + i % 28, i / 60 % 24, i % 60,
                                         std::to_string(100000 + i), "Ann"));
        WriteParadoxTable(site / (name + ".DB"), PxTransactionFields(), rows, 3);
        WriteWholeFile(site / (name + ".PX"), "index");
    };
    table("TR261201", 10);
    table("TR261202", 20000);  // long enough to be killed in
    table("TR261203", 10);

    test::Child run = test::StartProcess(
        {std::string(TALLON_BIN_DIR) + "/tallon-db", "import-paradox", site.path()});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(site / ".paradox-import/TR261202.partial") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    kill(run.pid, SIGKILL);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(run.fromChild, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    ASSERT_EQ(test::WaitFor(run), 128 + SIGKILL) << "the import ended before the kill:\n" << out;
    EXPECT_NE(out.find("TR261201.DB: 10 records read, 10 written"), std::string::npos) << out;

    const ToolResult again = Tool("tallon-db", "import-paradox '" + site.path() + "'", site.path());
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_NE(again.out.find("TR261201.DB: already an engine table"), std::string::npos)
        << again.out;
    EXPECT_NE(again.out.find("TR261202.DB: 20000 records read, 20000 written"), std::string::npos)
        << again.out;
    EXPECT_NE(again.out.find("2 tables imported, 0 failed"), std::string::npos) << again.out;
    for (const auto& [name, count] : std::vector<std::pair<std::string, std::string>>{
             {"TR261201", "10"}, {"TR261202", "20000"}, {"TR261203", "10"}}) {
        EXPECT_EQ(ReadTable(ResolveFileName(site / (name + ".DB")), "select count(*) from records"),
                  (Rows{{count}}));
        EXPECT_TRUE(FileExists(site / ("paradox-originals/" + name + ".DB"))) << name;
    }
    EXPECT_FALSE(fs::exists(site / ".paradox-import"));
}

}  // namespace
}  // namespace tallon::test
