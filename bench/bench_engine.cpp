// The local engine under the writers' load: append plus key search on a
// transaction table of 100,000 records, and key lookups on a 10,000-row
// lookup table through Query, opening and closing as the writers do.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/date_time.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/local/directory_database.h"
#include "db/local/schema.h"
#include "db/query.h"
#include "db/table.h"

namespace {

using namespace tallon;
using K = db::local::FieldKind;

struct BenchDir {
    std::string path;
    BenchDir() {
        char tmpl[] = "/tmp/tallon-bench-XXXXXX";
        path = std::string(mkdtemp(tmpl)) + "/";
    }
    ~BenchDir() { std::filesystem::remove_all(path); }
};

void AppendOne(db::Table& t, double seq, const std::string& card) {
    t.Append();
    t.SetFieldFloat("SeqNo", seq);
    t.SetFieldText("Device Name", "Door 7");
    t.SetFieldDate("Date", EncodeDate(2002, 6, 6));
    t.SetFieldTime("Time", EncodeTime(14, 5, 0, 0));
    t.SetFieldText("Location", ".");
    t.SetFieldText("Card No", card);
    t.SetFieldText("Name", "Ann Smith");
    t.SetFieldText("user1", "u1");
    t.SetFieldText("user2", "u2");
    t.SetFieldText("user3", "u3");
    t.SetFieldText("Staff No", "S1");
    t.SetFieldText("Trans Code", "1");
    t.SetFieldText("Type", "0");
    t.Post();
}

void BM_AppendAndFindKey(benchmark::State& state) {
    BenchDir dir;
    db::Engine engine(dir.path);
    db::Database database(engine, "KD1", "STANDARD", "Default");
    database.AddParam("path=" + dir.path);
    database.Open();
    engine.Directory(dir.path).CreateTable("TR020606", {{"SeqNo", K::Float, 0},
                                                        {"Device Name", K::Text, 30},
                                                        {"Date", K::Date, 0},
                                                        {"Time", K::Time, 0},
                                                        {"Location", K::Text, 20},
                                                        {"Card No", K::Text, 10},
                                                        {"Name", K::Text, 40},
                                                        {"user1", K::Text, 30},
                                                        {"user2", K::Text, 30},
                                                        {"user3", K::Text, 30},
                                                        {"Staff No", K::Text, 15},
                                                        {"Trans Code", K::Text, 1},
                                                        {"Type", K::Text, 1}});
    db::Table t(engine, "TransTable", "KD1");
    t.SetTableName("TR020606");
    t.AddIndex("", "SeqNo;Time;Card No", db::ixPrimary | db::ixUnique);
    t.AddIndex("date_key", "date", db::ixCaseInsensitive);
    t.AddIndex("dname_key", "device name", db::ixCaseInsensitive);
    t.Open();
    for (int i = 0; i < 100000; ++i)
        AppendOne(t, i + 0.5, std::to_string(100000 + i % 5000));
    t.Close();

    double seq = 200000.25;
    for (auto _ : state) {
        t.Open();
        const bool found = t.FindKey(seq, EncodeTime(14, 5, 0, 0), "123456");
        benchmark::DoNotOptimize(found);
        AppendOne(t, seq, "123456");
        t.Close();
        seq += 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendAndFindKey)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_SelectByKey(benchmark::State& state) {
    BenchDir dir;
    db::Engine engine(dir.path);
    db::Database database(engine, "KD1", "STANDARD", "Default");
    database.AddParam("path=" + dir.path);
    database.Open();
    engine.Directory(dir.path).CreateTable("cards", {{"Card_Number", K::Text, 10},
                                                     {"Name", K::Text, 40},
                                                     {"Staff_number", K::Text, 15},
                                                     {"User1", K::Text, 30},
                                                     {"User2", K::Text, 30},
                                                     {"User3", K::Text, 30}});
    {
        db::Table t(engine, "Loader", "KD1");
        t.SetTableName("cards");
        t.AddIndex("", "Card_Number", db::ixPrimary);
        t.Open();
        for (int i = 0; i < 10000; ++i) {
            t.Append();
            t.SetFieldText("Card_Number", std::to_string(100000 + i));
            t.SetFieldText("Name", "Holder " + std::to_string(i));
            t.SetFieldText("Staff_number", "S" + std::to_string(i));
            t.Post();
        }
        t.Close();
    }
    db::Query q(engine, "Query1", "KD1");
    int i = 0;
    for (auto _ : state) {
        q.Close();
        q.Clear();
        q.Add("select * from cards where cards.\"Card_Number\"=" +
              db::Quoted(std::to_string(100000 + (i++ * 7919) % 10000)));
        q.Open();
        if (q.RecordCount() > 0)
            benchmark::DoNotOptimize(q.FieldAsString("Name"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SelectByKey)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
