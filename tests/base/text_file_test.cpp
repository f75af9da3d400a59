#include <gtest/gtest.h>

#include <sys/stat.h>

#include <vector>

#include "base/errors.h"
#include "base/text_file.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

using test::TempDir;
using test::WriteWholeFile;

std::vector<std::string> ReadAll(const std::string& path) {
    TextFileReader r(path);
    std::vector<std::string> lines;
    while (!r.Eof()) {
        lines.push_back(r.ReadLine());
    }
    return lines;
}

std::vector<std::string> LinesOf(const std::string& content) {
    TempDir dir;
    WriteWholeFile(dir / "f.raw", content);
    return ReadAll(dir / "f.raw");
}

using Lines = std::vector<std::string>;

TEST(TextFileReader, SplitsLinesByThePlatformRules) {
    EXPECT_EQ(LinesOf(""), Lines{});
    EXPECT_EQ(LinesOf("a\r\n"), Lines{"a"});
    EXPECT_EQ(LinesOf("a"), Lines{"a"});
    EXPECT_EQ(LinesOf("a\r\n\r\n"), (Lines{"a", ""}));
    EXPECT_EQ(LinesOf("a\nb\r\n"), Lines{"a\nb"});
    EXPECT_EQ(LinesOf("a\rb"), (Lines{"a", "b"}));
    EXPECT_EQ(LinesOf("a\r\rb\n"), (Lines{"a", "", "b\n"}));
    EXPECT_EQ(LinesOf("\n"), Lines{"\n"});
    EXPECT_EQ(LinesOf("ab\x1A"
                      "cd\r\n"),
              Lines{"ab"});
    EXPECT_EQ(LinesOf("a\r\n\x1A"
                      "more\r\n"),
              Lines{"a"});
    EXPECT_EQ(LinesOf("\x1A"), Lines{});
    EXPECT_EQ(LinesOf(std::string("a\0b\r\n", 5)), Lines{std::string("a\0b", 3)});
}

TEST(TextFileReader, HandlesBufferBoundariesAndLongLines) {
    const size_t kBuffer = 64 * 1024;
    // CR as the last byte of one buffer, LF as the first of the next.
    std::string content(kBuffer - 1, 'x');
    content += "\r\nnext\r\n";
    Lines lines = LinesOf(content);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), kBuffer - 1);
    EXPECT_EQ(lines[1], "next");

    // CR ending exactly one buffer with nothing after it.
    lines = LinesOf(std::string(kBuffer - 1, 'y') + "\r");
    ASSERT_EQ(lines.size(), 1u);

    // Ctrl-Z as the first byte of the second buffer.
    lines = LinesOf(std::string(kBuffer, 'z') + "\x1A" + "tail");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), kBuffer);

    // A line several buffers long.
    const std::string longLine(3 * kBuffer + 17, 'L');
    lines = LinesOf("first\r\n" + longLine + "\r\nlast");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], longLine);
    EXPECT_EQ(lines[2], "last");
}

TEST(TextFileReader, ReportsPositionAndSize) {
    TempDir dir;
    WriteWholeFile(dir / "f.raw", "ab\r\ncd\r\n");
    TextFileReader r(dir / "f.raw");
    EXPECT_EQ(r.Size(), 8u);
    EXPECT_EQ(r.ReadLine(), "ab");
    EXPECT_EQ(r.Position(), 4u);
    EXPECT_EQ(r.ReadLine(), "cd");
    EXPECT_EQ(r.Position(), 8u);
    EXPECT_TRUE(r.Eof());
    EXPECT_EQ(r.ReadLine(), "");
}

TEST(TextFileReader, OpensNamesInAnyCaseAndReportsFailures) {
    TempDir dir;
    WriteWholeFile(dir / "ALL.RAW", "one\r\n");
    EXPECT_EQ(ReadAll(dir / "all.raw"), Lines{"one"});

    try {
        TextFileReader r(dir / "missing.raw");
        FAIL() << "opened a missing file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_EQ(e.Message(), "File not found");
    }
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    try {
        TextFileReader r(dir / "sub");
        FAIL() << "opened a directory";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 5);
        EXPECT_EQ(e.Message(), "File access denied");
    }
    try {
        TextFileReader r(dir / "nodir/x.raw");
        FAIL() << "opened a file in a missing directory";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
    }
}

}  // namespace
}  // namespace tallon
