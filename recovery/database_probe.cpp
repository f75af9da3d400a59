#include "recovery/database_probe.h"

#include "base/errors.h"
#include "base/file_names.h"
#include "db/query.h"
#include "recovery/raw_record.h"
#include "recovery/statements.h"
#include "recovery/table_files.h"

namespace tallon {
namespace {

using db::Statement;
using db::Value;

// The local writer's duplicate check on `table`, for nothing.
void ProbeLocalTable(db::Engine& engine, const std::string& table, Statement::Intent intent) {
    db::Query query(engine, "Probe", "KD1");
    const Value none = Value::Text("");
    query.Open(Statement{table,
                         db::WithTable(statements::kDuplicateCheck, table),
                         {none, none, none, Value::Time(DateTime{})},
                         intent});
    query.Close();
}

void ProbeLocal(db::Engine& engine, const std::string& programDirectory,
                const std::string& lineText) {
    std::string table;
    try {
        const RawLine pieces = SplitRawLine(lineText);
        table = DailyTable(DecodeRawRecord(pieces.unitCode, pieces.recordText).eventDate);
    } catch (const Exception&) {
        return;  // a line that does not decode is no database's fault
    }
    // The day's table is made from the template when its first line comes,
    // as the writer makes it: a full disk or a missing template fails here.
    if (!FileExists(programDirectory + table + ".DB")) {
        CreateNewFromTemplate(engine, programDirectory, table);
    }
    ProbeLocalTable(engine, table, Statement::Intent::ReadBeforeWrite);
}

void ProbeExternal(db::Engine& engine, RunMode mode) {
    db::Query query(engine, "Probe", AliasOf(mode));
    const Value none = Value::Text("");
    query.Open(Statement{"trans",
                         statements::kExternalDuplicateCheck,
                         {none, none, none, none, none},
                         Statement::Intent::Read});
    query.Close();
}

}  // namespace

std::string ProbeDatabase(db::Engine& engine, RunMode mode, const std::string& programDirectory,
                          const std::string& lineText) {
    try {
        if (mode == RunMode::Local) {
            ProbeLocal(engine, programDirectory, lineText);
        } else {
            ProbeExternal(engine, mode);
        }
        return "";
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace tallon
