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

TEST(FileNames, CaseInsensitiveMissesStayCheap) {
    TempDir dir;
    for (int i = 0; i < 2000; ++i) {
        WriteWholeFile(dir / ("TR" + std::to_string(100000 + i) + ".DB"), "");
    }
    usleep(120 * 1000);  // let the directory's change time settle
    const auto start = std::chrono::steady_clock::now();
    int found = 0;
    for (int i = 0; i < 20000; ++i) {
        found += FileExists(dir / "tr100500.db") ? 1 : 0;
        found += FileExists(dir / "tr100500.px") ? 1 : 0;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(found, 20000);
    // Rescanning 2000 entries for each of 40000 tests would take many seconds.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 4000);
}

}  // namespace
}  // namespace tallon
