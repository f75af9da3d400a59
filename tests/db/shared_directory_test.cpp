#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/file_names.h"
#include "log/activity_log.h"
#include "recovery/record_id_store.h"
#include "recovery/rejects_file.h"
#include "tests/db/local_fixture.h"
#include "tests/support/temp_dir.h"

namespace tallon::test {
namespace {

// Run with the site directory set-group-ID (true) and plain (false).
class SharedSiteDirectory : public LocalDbTest, public ::testing::WithParamInterface<bool> {};

struct ScopedUmask {
    explicit ScopedUmask(mode_t mask) : saved(::umask(mask)) {}
    ~ScopedUmask() { ::umask(saved); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;
    mode_t saved;
};

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// An operator with umask 022 makes every kind of file the program makes; in
// a set-group-ID directory the group may write them all, elsewhere the umask
// decides as for any program.
TEST_P(SharedSiteDirectory, FilesMadeThereAreGroupWritableWhateverTheUmask) {
    const bool shared = GetParam();
    ASSERT_EQ(::chmod(dir_.path().c_str(), shared ? 02775 : 0775), 0);
    if (shared && (ModeOf(dir_.path()) & S_ISGID) == 0) {
        GTEST_SKIP() << "the file system keeps no set-group-ID bit here";
    }
    const ScopedUmask umask(022);

    MakeTransactionTable("TR020606");
    {
        db::Table t(engine_, "TransTable", "KD1");
        t.SetTableName("TR020606");
        t.Open();
        AppendRecord(t, 10.5, 14, 5, "123456");
        t.Close();
    }
    const std::vector<std::string> extensions{".DB", ".PX", ".XG0", ".YG0"};
    auto& tables = engine_.Directory(dir_.path());
    tables.CopyTableFromTemplate("TR020606", "TR020607", extensions, false);
    ASSERT_TRUE(tables.CopyTableFromTemplate("TR020606", "TR020608", extensions, true));
    {
        const ScopedWorkingDirectory cwd(dir_.path());
        LogLine("made in the site directory");
    }
    WriteFileAtomically(dir_ / "summary.json", "{}");
    { const RejectsFile rejects(dir_ / "rejects.raw"); }
    { const RecordIdStore ids(dir_ / "record_ids"); }

    const std::vector<std::string> names = ListMatching(dir_ / "*");
    for (const char* made : {"TR020606.DB", "TR020606.DB-journal", "TR020606.PX", "TR020606.YG1",
                             "TR020607.DB", "TR020607.XG0", "TR020608.DB", "TR020608.YG0",
                             "tallon.log", "summary.json", "rejects.raw.csv", "record_ids"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), made), names.end()) << made;
    }
    for (const std::string& name : names) {
        EXPECT_EQ(ModeOf(dir_ / name), shared ? 0664u : 0644u)
            << name << std::oct << " is 0" << ModeOf(dir_ / name);
    }
}

INSTANTIATE_TEST_SUITE_P(SetGroupId, SharedSiteDirectory, ::testing::Bool());

}  // namespace
}  // namespace tallon::test
