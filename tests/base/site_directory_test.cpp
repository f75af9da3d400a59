#include <gtest/gtest.h>

#include <unistd.h>

#include "base/file_names.h"
#include "base/site_directory.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::ReadWholeFile;
using test::ScopedWorkingDirectory;
using test::TempDir;
using test::WriteWholeFile;

TEST(SiteDirectory, SearchOrderIsOptionEnvironmentPortableLayoutThenVarLib) {
    TempDir option, home, portable, plain;
    // The template in any letter case marks the portable layout.
    WriteWholeFile(portable / "TRAN_TPL.db", "");

    EXPECT_EQ(FindSiteDirectory(option.path(), home.path().c_str(), portable.path()),
              option.path());
    EXPECT_EQ(FindSiteDirectory("", home.path().c_str(), portable.path()), home.path());
    EXPECT_EQ(FindSiteDirectory("", "", portable.path()), portable.path());
    EXPECT_EQ(FindSiteDirectory("", nullptr, portable.path()), portable.path());
    EXPECT_EQ(FindSiteDirectory("", nullptr, plain.path()), "/var/lib/tallon/");

    // Relative names are fixed against today's working directory and always
    // end in "/": the window changes the working directory later.
    ScopedWorkingDirectory cwd(home.path());
    EXPECT_EQ(FindSiteDirectory("./sites/../site", nullptr, plain.path()), home / "site/");
    EXPECT_EQ(FindSiteDirectory("", "other", plain.path()), home / "other/");
}

TEST(SiteDirectory, ANewDirectoryIsMadeAndSeededAnExistingOneIsLeftAlone) {
    TempDir seed, root;
    WriteWholeFile(seed / "tran_tpl.DB", "template");
    WriteWholeFile(seed / "cards.PX", "index");

    const std::string site = root / "a/b/site/";
    const std::string notice = PrepareSiteDirectory(site, seed.path());
    EXPECT_NE(notice.find("Made the site directory " + site), std::string::npos) << notice;
    EXPECT_EQ(ReadWholeFile(site + "tran_tpl.DB"), "template");
    EXPECT_EQ(ReadWholeFile(site + "cards.PX"), "index");
    // The file layer sees the new files straight away.
    EXPECT_TRUE(FileExists(site + "TRAN_TPL.db"));

    // An existing site keeps what it has, even when it lacks seed files.
    WriteWholeFile(site + "tran_tpl.DB", "the site's own");
    ::unlink((site + "cards.PX").c_str());
    EXPECT_EQ(PrepareSiteDirectory(site, seed.path()), "");
    EXPECT_EQ(ReadWholeFile(site + "tran_tpl.DB"), "the site's own");
    EXPECT_FALSE(FileExists(site + "cards.PX"));
}

TEST(SiteDirectory, ProblemsAreReported) {
    TempDir root;
    // No packaged seed: the directory is made, and the notice says what is missing.
    std::string notice = PrepareSiteDirectory(root / "site/", root / "no-seed/");
    EXPECT_TRUE(DirectoryExists(root / "site/"));
    EXPECT_NE(notice.find("no packaged template in " + root / "no-seed/"), std::string::npos)
        << notice;

    // A directory that cannot be made (its parent is a file).
    WriteWholeFile(root / "file", "");
    notice = PrepareSiteDirectory(root / "file/site/", root.path());
    EXPECT_EQ(notice.rfind("Cannot make the site directory " + root / "file/site/: ", 0), 0u)
        << notice;
}

}  // namespace
}  // namespace tallon
