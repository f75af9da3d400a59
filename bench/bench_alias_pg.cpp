// The external writer's four statements per RAW line (reader lookup, card
// lookup, duplicate check, insert) through an alias, against a throwaway
// PostgreSQL server on loopback and against an SQLite alias for comparison.

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "db/connection.h"
#include "db/engine.h"
#include "db/rows.h"

// The server helper has no test-framework dependencies; compiling it here
// keeps the benchmark linked against the core library only.
#include "tests/support/pg_server.cpp"

namespace {

using tallon::db::Connection;

tallon::db::Engine& TheEngine() {
    static tallon::db::Engine engine;
    return engine;
}

tallon::db::Rows Select(Connection* c, const std::string& sql) {
    tallon::db::Rows r;
    c->RunText(sql, &r);
    return r;
}

void Execute(Connection* c, const std::string& sql) {
    c->RunText(sql, nullptr);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return ss.str();
}

std::string SchemaScript(const std::string& dialect) {
    // Run from the build tree or the source tree.
    const std::string source = std::filesystem::path(__FILE__).parent_path().parent_path();
    for (const std::string& base : {source, std::string(".")}) {
        const std::string path = base + "/schema/external-" + dialect + ".sql";
        if (std::filesystem::exists(path)) {
            return ReadFile(path);
        }
    }
    throw std::runtime_error("schema/external-" + dialect + ".sql not found");
}

// Lookup tables of a realistic size: 200 readers, 10,000 cards.
void Populate(Connection& c) {
    std::string sql = "insert into rdrmain (logical_point, tag_name, spare3) values ";
    for (int i = 1; i <= 200; ++i) {
        char row[96];
        std::snprintf(row, sizeof row, "%s('%d','Door %d','RDR%09d')", i > 1 ? "," : "", i, i, i);
        sql += row;
    }
    Execute(&c, sql);
    sql = "insert into cards (Card_Number, Name, Staff_number, User1, User2, User3) values ";
    for (int i = 0; i < 10000; ++i) {
        char row[128];
        std::snprintf(row, sizeof row, "%s('%06d','Holder %d','S%d','Dept','Post','')",
                      i ? "," : "", 100000 + i, i, i);
        sql += row;
    }
    Execute(&c, sql);
}

struct Fixture {
    std::unique_ptr<tallon::test::PgServer> pg;
    std::unique_ptr<tallon::test::PgServer> durablePg;
    std::string dir;
    Connection* pgAlias = nullptr;
    Connection* durableAlias = nullptr;
    Connection* sqliteAlias = nullptr;
    std::string pgConninfo;

    Fixture() {
        pg = std::make_unique<tallon::test::PgServer>();
        pg->CreateDatabase("bench", "tallon", "bench");
        pgConninfo = pg->ConnectionString("bench", "tallon", "bench");
        durablePg = std::make_unique<tallon::test::PgServer>(true);
        durablePg->CreateDatabase("bench", "tallon", "bench");
        char tmpl[] = "/tmp/tallon-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        sqlite3* db = nullptr;
        sqlite3_open((dir + "/brindle.sqlite").c_str(), &db);
        sqlite3_close(db);
        std::ofstream(dir + "/tallon-db.conf")
            << "[Brindle]\ndriver=sqlite\ndatabase=brindle.sqlite\n"
            << "[VeloraDB]\ndriver=postgresql\nconnection=" << pgConninfo << "\n"
            << "[Durable]\ndriver=postgresql\nconnection="
            << durablePg->ConnectionString("bench", "tallon", "bench") << "\n";
        setenv("TALLON_DB_CONF", (dir + "/tallon-db.conf").c_str(), 1);
        pgAlias = &TheEngine().ConnectionFor("VeloraDB");
        sqliteAlias = &TheEngine().ConnectionFor("Brindle");
        durableAlias = &TheEngine().ConnectionFor("Durable");
        for (Connection* c : {pgAlias, durableAlias}) {
            Execute(c, SchemaScript("postgresql"));
            Populate(*c);
            Execute(c, "analyze rdrmain; analyze cards; analyze trans");
        }
        Execute(sqliteAlias, SchemaScript("sqlite"));
        Populate(*sqliteAlias);
    }
    ~Fixture() {
        TheEngine().Shutdown();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Fixture& TheFixture() {
    static Fixture f;
    return f;
}

// The statements of one line, values as the writer quotes them.
struct Line {
    std::string reader, card, dup, insert;
};

Line MakeLine(long n) {
    const int unit = static_cast<int>(n % 200) + 1;
    char card[24], id[24], time[32], reader[24], date[24];
    std::snprintf(card, sizeof card, "%06ld", 100000 + n % 10000);
    std::snprintf(id, sizeof id, "%014ld", n);
    std::snprintf(time, sizeof time, "%02ld%02ld00", (n / 60) % 24, n % 60);
    std::snprintf(reader, sizeof reader, "RDR%09d", unit);
    Line l;
    l.reader = "select tag_name from rdrmain where logical_point in ('" + std::to_string(unit) +
               "','0" + std::to_string(unit) + "') and substring(spare3,1,12)='" + reader + "'";
    l.card = std::string("select * from cards where Card_Number='") + card + "'";
    const std::string device = "Door " + std::to_string(unit);
    std::snprintf(date, sizeof date, "202601%02ld", 1 + (n / 1440) % 28);  // a day per 1440 lines
    l.dup = "select * from trans where device_name='" + device + "' and date='" +
            std::string(date) + "' and time='" + time + "' and card_no='" + card +
            "' and trans_code='1'";
    l.insert = std::string("insert into trans values('") + id + "','" + time + "','" + card +
               "','" + date + "','" + device +
               "','.','Holder','S1','Dept','Post','','','1','','0')";
    return l;
}

long g_next = 0;

void WriterLine(benchmark::State& state, Connection* c) {
    for (auto _ : state) {
        const Line l = MakeLine(g_next++);
        auto r = Select(c, l.reader);
        auto k = Select(c, l.card);
        auto d = Select(c, l.dup);
        if (r.values.size() != 1 || k.values.size() != 1 || !d.values.empty()) {
            state.SkipWithError("lookup did not find what it should");
            return;
        }
        Execute(c, l.insert);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_WriterLinePostgres(benchmark::State& state) {
    WriterLine(state, TheFixture().pgAlias);
}
BENCHMARK(BM_WriterLinePostgres)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(3.0);

// The same against a server that flushes every commit to disk (its
// defaults): what an installation's durable inserts cost on this disk.
void BM_WriterLinePostgresDurable(benchmark::State& state) {
    WriterLine(state, TheFixture().durableAlias);
}
BENCHMARK(BM_WriterLinePostgresDurable)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

void BM_WriterLineSqlite(benchmark::State& state) {
    WriterLine(state, TheFixture().sqliteAlias);
}
BENCHMARK(BM_WriterLineSqlite)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

// One select alone: the round trip that bounds everything above.
void BM_CardLookupPostgres(benchmark::State& state) {
    Connection* c = TheFixture().pgAlias;
    long n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Select(c, MakeLine(n++).card));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CardLookupPostgres)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same line through libpq's unnamed-statement extended protocol, to
// compare with the simple protocol the alias uses.
void BM_WriterLinePostgresExtendedProtocol(benchmark::State& state) {
    PGconn* pg = PQconnectdb(TheFixture().pgConninfo.c_str());
    auto run = [&](const std::string& sql) {
        PGresult* res = PQexecParams(pg, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
        const bool ok =
            PQresultStatus(res) == PGRES_TUPLES_OK || PQresultStatus(res) == PGRES_COMMAND_OK;
        PQclear(res);
        return ok;
    };
    for (auto _ : state) {
        const Line l = MakeLine(g_next++);
        if (!run(l.reader) || !run(l.card) || !run(l.dup) || !run(l.insert)) {
            state.SkipWithError(PQerrorMessage(pg));
            break;
        }
    }
    PQfinish(pg);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriterLinePostgresExtendedProtocol)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
