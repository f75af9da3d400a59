// A second process for the tests: it opens its own engine on a directory and
// does one thing to a table, so the tests never fork a process that holds
// connections. Exit status: 0 done, 1 the table was busy, 2 another error.
//
//   tallon_test_child open DIR TABLE shared|exclusive
//   tallon_test_child hold DIR TABLE         open shared, write "o", wait for a byte
//   tallon_test_child addindex DIR TABLE     add the index "extra" on Name
//   tallon_test_child append DIR TABLE FIRST N batch|single [kill]
//       append N records (sequence numbers FIRST...) the way the writer does,
//       in one batch committed every 200 ms or each on its own; with "kill",
//       commit and then die by SIGKILL

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/date_time.h"
#include "base/errors.h"
#include "db/batch.h"
#include "db/database.h"
#include "db/engine.h"
#include "db/table.h"

using namespace tallon;

namespace {

void AppendRecord(db::Table& t, double seq) {
    t.Append();
    t.SetFieldFloat("SeqNo", seq);
    t.SetFieldText("Device Name", "Door 7");
    t.SetFieldDate("Date", EncodeDate(2002, 6, 6));
    t.SetFieldTime("Time", EncodeTime(10, 0, 0, 0));
    t.SetFieldText("Location", ".");
    t.SetFieldText("Card No", "123456");
    t.SetFieldText("Trans Code", "1");
    t.SetFieldText("Type", "0");
    t.Post();
}

int Busy(const EDatabaseError& e) {
    std::fprintf(stderr, "child: %s\n", e.Message().c_str());
    return e.Message().rfind("Table is busy", 0) == 0 ? 1 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    const std::string command = argv[1];
    db::Engine engine(argv[2]);
    if (const char* wait = std::getenv("TALLON_TEST_LOCK_WAIT_MS")) {
        engine.SetLockWaitMs(std::atoi(wait));
    }
    db::Database database(engine, "KD1", "STANDARD", "Default");
    database.AddParam(std::string("path=") + argv[2]);
    try {
        database.Open();
        db::Table t(engine, "Child", "KD1");
        t.SetTableName(argv[3]);
        if (command == "open" && argc == 5) {
            t.SetExclusive(std::string(argv[4]) == "exclusive");
            t.Open();
            return 0;
        }
        if (command == "hold") {
            t.Open();
            char c = 'o';
            if (write(STDOUT_FILENO, &c, 1) != 1 || read(STDIN_FILENO, &c, 1) != 1) {
                return 3;
            }
            return 0;
        }
        if (command == "addindex") {
            t.AddIndex("extra", "Name", db::ixNone);
            return 0;
        }
        if (command == "append" && argc >= 7) {
            const long first = std::atol(argv[4]);
            const long n = std::atol(argv[5]);
            std::unique_ptr<db::Batch> batch;
            if (std::string(argv[6]) == "batch") {
                batch = std::make_unique<db::Batch>(engine);
            }
            for (long i = 0; i < n; ++i) {
                t.Open();
                AppendRecord(t, static_cast<double>(first + i));
                t.Close();
                if (batch && batch->Due()) {
                    batch->Commit();
                }
            }
            if (batch) {
                batch->Commit();
            }
            if (argc >= 8 && std::string(argv[7]) == "kill") {
                raise(SIGKILL);
            }
            return 0;
        }
    } catch (const EDatabaseError& e) {
        return Busy(e);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "child: %s\n", e.what());
        return 2;
    }
    return 2;
}
