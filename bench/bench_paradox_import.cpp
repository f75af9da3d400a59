// Converting a site's Paradox table: tallon-db import-paradox of a day's
// transaction table of a few thousand records (with its primary and
// secondary index files, so the import builds the three indexes the
// recovery uses), beside --check of the same table, which reads and tests
// every record and writes nothing. Records per second for both.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/paradox/import.h"
#include "tests/support/paradox_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace tallon;
namespace fs = std::filesystem;

// The table once per record count, in a directory of its own.
const std::string& SourceTable(int records) {
    static test::TempDir dir;
    static std::vector<int> made;
    const std::string path = dir / ("TR" + std::to_string(records) + ".DB");
    if (std::find(made.begin(), made.end(), records) == made.end()) {
        std::vector<std::vector<test::PxCell>> rows;
        for (int i = 0; i < records; ++i) {
            rows.push_back(test::PxTransaction(i + 1, "Door " + std::to_string(i % 40), 1 + i % 28,
                                               i / 60 % 24, i % 60,
                                               std::to_string(100000 + i % 5000), "Ann Smith"));
        }
        test::WriteParadoxTable(path, test::PxTransactionFields(), rows, 3);
        const std::string stem = path.substr(0, path.size() - 3);
        for (const char* ext : {".PX", ".XG0", ".YG0", ".XG1", ".YG1"})
            test::WriteWholeFile(stem + ext, "index");
        made.push_back(records);
    }
    static std::string last;
    last = path;
    return last;
}

// A fresh copy of the table's files in `dir`.
std::string CopyTable(const std::string& source, const std::string& dir) {
    const std::string stem = fs::path(source).stem().string();
    for (const auto& e : fs::directory_iterator(fs::path(source).parent_path())) {
        if (e.path().stem() == stem)
            fs::copy_file(e.path(), dir + e.path().filename().string());
    }
    return dir + fs::path(source).filename().string();
}

void Run(benchmark::State& state, bool check) {
    const int records = static_cast<int>(state.range(0));
    const std::string source = SourceTable(records);
    db::paradox::ImportOptions options;
    options.check = check;
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<test::TempDir>();
        const std::string table = CopyTable(source, dir->path());
        state.ResumeTiming();
        const auto reports = db::paradox::ImportParadox(table, "", options);
        if (reports.size() != 1 || reports[0].failed || reports[0].read != records)
            state.SkipWithError(db::paradox::SummaryLine(reports[0], check).c_str());
        state.PauseTiming();
        dir.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * records);
}

void BM_Import(benchmark::State& state) {
    Run(state, false);
}
void BM_Check(benchmark::State& state) {
    Run(state, true);
}

BENCHMARK(BM_Import)->Arg(3218)->Arg(40000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Check)->Arg(3218)->Arg(40000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
