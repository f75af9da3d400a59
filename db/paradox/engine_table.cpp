#include "db/paradox/engine_table.h"

#include "db/local/directory_database.h"

namespace tallon::db::paradox {

EngineTable::EngineTable(const std::string& directory, const std::string& name,
                         const std::vector<local::FieldDef>& fields)
    : engine_(directory), fields_(fields) {
    engine_.Directory(directory).CreateTable(name, fields);
    database_.AddParam("path=" + directory);
    database_.Open();
    table_.SetTableName(name);
    table_.SetExclusive(true);
    table_.Open();
    batch_ = std::make_unique<Batch>(engine_);
}

EngineTable::~EngineTable() {
    // Whatever was not finished is undone: the batch abandons its work.
    batch_.reset();
    try {
        table_.Close();
        database_.Close();
        engine_.Shutdown();
    } catch (...) {
    }
}

void EngineTable::Write(const std::vector<db::Value>& values) {
    table_.Append();
    for (size_t i = 0; i < values.size(); ++i) {
        const db::Value& v = values[i];
        const std::string& name = fields_[i].name;
        switch (v.kind()) {
            case db::Value::Kind::Null:
                break;
            case db::Value::Kind::Integer:
                table_.SetFieldFloat(name, static_cast<double>(v.integer()));
                break;
            case db::Value::Kind::Float:
                table_.SetFieldFloat(name, v.number());
                break;
            case db::Value::Kind::Text:
                table_.SetFieldText(name, v.text());
                break;
            case db::Value::Kind::Date:
                table_.SetFieldDate(name, v.dateTime());
                break;
            case db::Value::Kind::Time:
                table_.SetFieldTime(name, v.dateTime());
                break;
        }
    }
    table_.Post();
    if (++uncommitted_ >= kRecordsPerCommit) {
        batch_->Commit();
        uncommitted_ = 0;
    }
}

void EngineTable::Finish(const std::vector<IndexSpec>& indexes) {
    batch_->Commit();
    batch_.reset();
    table_.Close();
    if (!indexes.empty())
        table_.RebuildIndexes(indexes);
    database_.Close();
    engine_.Shutdown();
}

}  // namespace tallon::db::paradox
