// A growing RAW file read piece by piece, wherever its writer stopped
// (inside a line, between CR and LF, before a Ctrl-Z), gives the very lines
// the whole file gives at once; a lookup answer is kept only so long.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include "base/text_file.h"
#include "recovery/growing_file_source.h"
#include "recovery/lookup_cache.h"
#include "tests/support/temp_dir.h"

namespace tallon {
namespace {

std::vector<std::string> WholeFileLines(const std::string& path) {
    std::vector<std::string> lines;
    TextFileReader reader(path);
    while (!reader.Eof()) {
        lines.push_back(reader.ReadLine());
    }
    return lines;
}

TEST(GrowingFileSource, PiecesSplitAnywhereGiveTheLinesOfTheWholeFile) {
    std::mt19937 rng(12345);
    const char alphabet[] = {'a', 'b', '\r', '\n', '\r', 'x'};
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        std::string content;
        for (int n = 1 + static_cast<int>(rng() % 40); n > 0; --n) {
            content += alphabet[rng() % sizeof alphabet];
        }
        if (trial % 5 == 0) {
            content.insert(rng() % content.size(), 1, '\x1a');
        }
        test::TempDir dir;
        const std::string path = dir / "g.raw";
        std::ofstream(path, std::ios::binary).close();
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::vector<std::string> lines;
        FilePosition at;
        std::string line;
        for (size_t written = 0; written < content.size();) {
            const size_t piece = std::min(content.size() - written, 1 + rng() % 6);
            std::ofstream(path, std::ios::binary | std::ios::app) << content.substr(written, piece);
            written += piece;
            GrowingFileSource source(fd, at, false);
            while (source.Next(line)) {
                lines.push_back(line);
            }
            at = source.At();
            // A restart may resume from any position a source reached.
        }
        GrowingFileSource settled(fd, at, true);
        while (settled.Next(line)) {
            lines.push_back(line);
        }
        EXPECT_FALSE(settled.HasUnendedTail());
        EXPECT_EQ(settled.At().lines, static_cast<int64_t>(lines.size()));
        ::close(fd);
        EXPECT_EQ(lines, WholeFileLines(path)) << ::testing::PrintToString(content);
    }
}

TEST(LookupCache, AnswersAreForgottenOnceTheyAreAsOldAsAllowed) {
    LookupCache cache(std::chrono::milliseconds(100));
    int asked = 0;
    const auto ask = [&]() -> std::optional<std::string> {
        ++asked;
        return std::nullopt;  // "not found" is an answer too
    };
    cache.Device({"007", std::nullopt}, ask);
    cache.Device({"007", std::nullopt}, ask);
    EXPECT_EQ(asked, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    cache.Device({"007", std::nullopt}, ask);
    EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace tallon
