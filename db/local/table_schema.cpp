#include "db/local/table_schema.h"

#include <cstdlib>
#include <sstream>

#include "base/errors.h"
#include "base/text.h"
#include "db/local/table_connection.h"

namespace tallon::db::local {

namespace {

std::string InsertText(const std::vector<FieldDef>& fields) {
    std::string sql = "INSERT INTO records(";
    std::string marks;
    for (size_t i = 0; i < fields.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdent(fields[i].name);
        marks += i ? ", ?" : "?";
    }
    return sql + ") VALUES(" + marks + ")";
}

IndexDef IndexFromRow(const std::vector<std::string>& row) {
    IndexDef def;
    def.slot = row[0];
    def.name = row[1];
    std::istringstream fields(row[2]);
    std::string part;
    while (std::getline(fields, part, ';')) {
        def.fields.push_back(part);
    }
    def.options = static_cast<unsigned>(std::strtoul(row[3].c_str(), nullptr, 10));
    return def;
}

}  // namespace

void TableSchema::Load(TableConnection& connection, const std::string& path) {
    Clear();
    Rows rows;
    connection.Run("PRAGMA table_info(records)", {}, &rows, "Key violation.");
    for (const auto& r : rows.values) {
        fields_.push_back(FieldFromDeclared(r[1], r[2]));
    }
    if (fields_.empty()) {
        throw EDatabaseError("Not a table file: " + path);
    }
    insertSql_ = InsertText(fields_);
    LoadIndexes(connection);
}

void TableSchema::LoadIndexes(TableConnection& connection) {
    Rows catalog;
    connection.Run(
        "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='tallon_indexes'", {},
        &catalog, "Key violation.");
    if (catalog.empty() || catalog.values[0][0] == "0") {
        return;
    }
    Rows defs;
    connection.Run("SELECT slot, name, fields, options FROM tallon_indexes", {}, &defs,
                   "Key violation.");
    for (const auto& r : defs.values) {
        IndexDef def = IndexFromRow(r);
        indexes_[def.slot] = std::move(def);
    }
}

void TableSchema::Clear() {
    fields_.clear();
    fieldIndexByName_.clear();
    insertSql_.clear();
    indexes_.clear();
}

int TableSchema::FieldIndex(const std::string& name) const {
    if (auto it = fieldIndexByName_.find(name); it != fieldIndexByName_.end()) {
        return it->second;
    }
    int found = -1;
    // Callers mostly spell a field as the table does: the exact match is
    // the cheap first look.
    for (size_t i = 0; i < fields_.size() && found < 0; ++i) {
        if (fields_[i].name == name)
            found = static_cast<int>(i);
    }
    for (size_t i = 0; i < fields_.size() && found < 0; ++i) {
        if (SameText(fields_[i].name, name))
            found = static_cast<int>(i);
    }
    if (!fields_.empty() && fieldIndexByName_.size() < 256) {
        fieldIndexByName_.emplace(name, found);
    }
    return found;
}

const IndexDef* TableSchema::PrimaryIndex() const {
    auto it = indexes_.find("PX");
    return it == indexes_.end() ? nullptr : &it->second;
}

}  // namespace tallon::db::local
