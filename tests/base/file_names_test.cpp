#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "base/file_names.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::ReadWholeFile;
using test::ScopedWorkingDirectory;
using test::TempDir;
using test::WriteWholeFile;

// Creates a file without going through the layer.
void CreateBehindTheLayersBack(const std::string& path, const char* content = "x") {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(content, f);
    std::fclose(f);
}

TEST(FileNames, ResolvesTheLastComponentWithoutRegardToCase) {
    TempDir dir;
    WriteWholeFile(dir / "TR020606.DB", "db");
    EXPECT_EQ(ResolveFileName(dir / "TR020606.DB"), dir / "TR020606.DB");
    EXPECT_EQ(ResolveFileName(dir / "tr020606.db"), dir / "TR020606.DB");
    EXPECT_EQ(ResolveFileName(dir / "tr020606.px"), dir / "tr020606.px");
    EXPECT_TRUE(FileExists(dir / "Tr020606.Db"));
    EXPECT_FALSE(FileExists(dir / "TR020606.PX"));

    // Only the last component is matched loosely.
    ASSERT_EQ(mkdir((dir / "Sub").c_str(), 0755), 0);
    WriteWholeFile(dir / "Sub/a.txt", "a");
    EXPECT_TRUE(FileExists(dir / "Sub/A.TXT"));
    EXPECT_FALSE(FileExists(dir / "sub/a.txt"));
    EXPECT_TRUE(DirectoryExists(dir / "SUB"));
    EXPECT_FALSE(FileExists(dir / "SUB"));
    EXPECT_FALSE(DirectoryExists(dir / "Sub/a.txt"));

    // An exact match wins over a case variant.
    WriteWholeFile(dir / "tr020606.DB", "exact");
    EXPECT_EQ(ResolveFileName(dir / "tr020606.DB"), dir / "tr020606.DB");

    // Relative names resolve against the working directory.
    ScopedWorkingDirectory cwd(dir.path());
    EXPECT_EQ(ResolveFileName("sub"), "Sub");
    EXPECT_TRUE(FileExists("Sub/A.txt"));
    EXPECT_EQ(CurrentDirectory().back(), '/');
}

TEST(FileNames, SeesFilesCreatedBehindItsBackAtOnce) {
    TempDir dir;
    // Prime the cached listing with a miss, then change the directory
    // repeatedly and look again straight away.
    for (int i = 0; i < 200; ++i) {
        const std::string number = std::to_string(i);
        const std::string upper = dir / ("F" + number + ".DB");
        const std::string lower = dir / ("f" + number + ".db");
        ASSERT_FALSE(FileExists(lower)) << i;
        CreateBehindTheLayersBack(upper);
        ASSERT_TRUE(FileExists(lower)) << i;
        ASSERT_EQ(unlink(upper.c_str()), 0);
        ASSERT_FALSE(FileExists(lower)) << i;
    }
    // Also once the listing is old enough to be trusted.
    ASSERT_FALSE(FileExists(dir / "late.px"));
    usleep(120 * 1000);
    ASSERT_FALSE(FileExists(dir / "late.px"));
    ASSERT_FALSE(FileExists(dir / "late.px"));
    CreateBehindTheLayersBack(dir / "LATE.PX");
    EXPECT_TRUE(FileExists(dir / "late.px"));
    ASSERT_EQ(unlink((dir / "LATE.PX").c_str()), 0);
    EXPECT_FALSE(FileExists(dir / "late.px"));
}

TEST(FileNames, ARememberedCaseVariantGivesWayWhenItGoes) {
    TempDir dir;
    CreateBehindTheLayersBack(dir / "T1.DB", "upper");
    EXPECT_EQ(ResolveFileName(dir / "t1.db"), dir / "T1.DB");
    // The variant found before is gone; another case of the name appears.
    ASSERT_EQ(unlink((dir / "T1.DB").c_str()), 0);
    CreateBehindTheLayersBack(dir / "t1.Db", "mixed");
    EXPECT_EQ(ResolveFileName(dir / "t1.db"), dir / "t1.Db");
    EXPECT_TRUE(FileExists(dir / "t1.db"));
    ASSERT_EQ(unlink((dir / "t1.Db").c_str()), 0);
    EXPECT_FALSE(FileExists(dir / "t1.db"));
    EXPECT_EQ(ResolveFileName(dir / "t1.db"), dir / "t1.db");
}

TEST(FileNames, CopiesOverCaseVariantsAndDeletesThem) {
    TempDir dir;
    WriteWholeFile(dir / "tran_tpl.DB", "template");
    WriteWholeFile(dir / "tr1.db", "old");
    ASSERT_TRUE(CopyFileOver(dir / "TRAN_TPL.db", dir / "TR1.DB"));
    EXPECT_EQ(ReadWholeFile(dir / "tr1.db"), "template");
    EXPECT_EQ(ListMatching(dir / "*.db").size(), 2u);  // no second TR1 file

    ASSERT_TRUE(CopyFileOver(dir / "tran_tpl.db", dir / "New.PX"));
    EXPECT_EQ(ReadWholeFile(dir / "New.PX"), "template");

    // A missing source leaves the target alone.
    EXPECT_FALSE(CopyFileOver(dir / "missing.db", dir / "New.PX"));
    EXPECT_EQ(ReadWholeFile(dir / "New.PX"), "template");
    EXPECT_FALSE(CopyFileOver(dir / "tran_tpl.db", dir / "nodir/x.db"));

    // Larger than one copy buffer.
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7);
    }
    WriteWholeFile(dir / "big.bin", big);
    ASSERT_TRUE(CopyFileOver(dir / "BIG.BIN", dir / "copy.bin"));
    EXPECT_EQ(ReadWholeFile(dir / "copy.bin"), big);

    EXPECT_TRUE(DeleteFileCI(dir / "NEW.px"));
    EXPECT_FALSE(FileExists(dir / "New.PX"));
    EXPECT_FALSE(DeleteFileCI(dir / "new.px"));

    EXPECT_TRUE(RenameFileCI(dir / "COPY.BIN", dir / "Renamed.bin"));
    EXPECT_TRUE(FileExists(dir / "renamed.BIN"));
    EXPECT_FALSE(FileExists(dir / "copy.bin"));
    EXPECT_FALSE(RenameFileCI(dir / "renamed.bin", dir / "BIG.bin"));     // never replaces
    EXPECT_TRUE(RenameFileCI(dir / "renamed.bin", dir / "RENAMED.BIN"));  // a case change
    EXPECT_EQ(ListMatching(dir / "renamed.bin"), std::vector<std::string>{"RENAMED.BIN"});

    // No temporary files are left behind.
    EXPECT_EQ(ListMatching(dir / ".*").size(), 0u);
}

// A copy is a new file of this process: its mode comes from the umask, not
// from the file it was copied from, also when it replaces an existing one.
TEST(FileNames, CopiesTakeTheUmaskNotTheSourceMode) {
    TempDir dir;
    WriteWholeFile(dir / "tpl.db", "template");
    ASSERT_EQ(::chmod((dir / "tpl.db").c_str(), 0644), 0);
    WriteWholeFile(dir / "old.db", "old");
    ASSERT_EQ(::chmod((dir / "old.db").c_str(), 0666), 0);
    auto modeOf = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    };
    const mode_t saved = ::umask(077);
    const bool made = CopyFileOver(dir / "tpl.db", dir / "new.db");
    const bool replaced = CopyFileOver(dir / "tpl.db", dir / "old.db");
    ::umask(027);
    const bool loose = CopyFileOver(dir / "tpl.db", dir / "group.db");
    ::umask(saved);
    ASSERT_TRUE(made && replaced && loose);
    EXPECT_EQ(modeOf(dir / "new.db"), 0600u);
    EXPECT_EQ(modeOf(dir / "old.db"), 0600u);
    EXPECT_EQ(modeOf(dir / "group.db"), 0640u);
    EXPECT_EQ(ReadWholeFile(dir / "old.db"), "template");
    EXPECT_EQ(ListMatching(dir / ".*").size(), 0u);
}

TEST(FileNames, ListsWildcardMatchesInAnyCase) {
    TempDir dir;
    for (const char* name : {"ALL.RAW", "b.Raw", "c.raw.bak", "d.rawx", "raw", "e.txt"}) {
        WriteWholeFile(dir / name, "");
    }
    ASSERT_EQ(mkdir((dir / "dir.raw").c_str(), 0755), 0);
    std::vector<std::string> names = ListMatching(dir / "*.raw");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ALL.RAW", "b.Raw", "dir.raw"}));

    names = ListMatching(dir / "?.*");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"b.Raw", "c.raw.bak", "d.rawx", "e.txt"}));
    EXPECT_EQ(ListMatching(dir / "*").size(), 7u);
    EXPECT_TRUE(ListMatching(dir / "missing/*.raw").empty());
    WriteWholeFile(dir / "dir.raw/IN.RAW", "");
    EXPECT_EQ(ListMatching(dir / "DIR.RAW/*.raw"), std::vector<std::string>{"IN.RAW"});
    WriteWholeFile(dir / "[x].raw", "");
    EXPECT_EQ(ListMatching(dir / "[X].RAW"), std::vector<std::string>{"[x].raw"});

    ScopedWorkingDirectory cwd(dir.path());
    EXPECT_EQ(ListMatching("all.*"), std::vector<std::string>{"ALL.RAW"});
}

TEST(FileNames, SplitsPathsAtTheLastSlash) {
    EXPECT_EQ(ExtractFilePath("/data/raw/a.raw"), "/data/raw/");
    EXPECT_EQ(ExtractFileName("/data/raw/a.raw"), "a.raw");
    EXPECT_EQ(ExtractFilePath("a.raw"), "");
    EXPECT_EQ(ExtractFileName("a.raw"), "a.raw");
    EXPECT_EQ(ExtractFilePath("/data/"), "/data/");
    EXPECT_EQ(ExtractFileName("/data/"), "");
    const std::string exeDir = ExecutableDirectory();
    ASSERT_FALSE(exeDir.empty());
    EXPECT_EQ(exeDir.back(), '/');
    EXPECT_TRUE(FileExists(exeDir + "test_base"));
}

TEST(FileNames, AnExactMatchAlwaysWins) {
    TempDir dir;
    WriteWholeFile(dir / "A.DB", "upper");
    EXPECT_EQ(ResolveFileName(dir / "a.DB"), dir / "A.DB");
    // A file made later under the exact name is the one meant from then on.
    WriteWholeFile(dir / "a.DB", "lower");
    EXPECT_EQ(ResolveFileName(dir / "a.DB"), dir / "a.DB");
    EXPECT_EQ(ReadWholeFile(ResolveFileName(dir / "a.DB")), "lower");
    // And when it goes, the other case is found again.
    std::remove((dir / "a.DB").c_str());
    EXPECT_EQ(ResolveFileName(dir / "a.DB"), dir / "A.DB");
}

}  // namespace
}  // namespace tallon
