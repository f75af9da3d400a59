#include "recovery/table_files.h"

#include "base/errors.h"
#include "base/file_names.h"
#include "db/local/directory_database.h"
#include "db/table_name.h"

namespace tallon {

std::vector<std::string> TableFileSet(const std::string& directory, const std::string& name) {
    db::CheckTableName(name);
    std::vector<std::string> files;
    files.reserve(kTableExtensions.size());
    for (const char* ext : kTableExtensions) {
        files.push_back(directory + name + ext);
    }
    return files;
}

std::string DailyTable(DateTime eventDate) {
    // "TR" and the date as yymmdd, put together by hand: once per record.
    const DateParts d = DecodeDate(eventDate);
    std::string name = "TR000000";
    const int parts[] = {d.year % 100, d.month, d.day};
    for (int i = 0; i < 3; ++i) {
        name[2 + 2 * i] = static_cast<char>('0' + parts[i] / 10);
        name[3 + 2 * i] = static_cast<char>('0' + parts[i] % 10);
    }
    return name;
}

namespace {

std::vector<std::string> Extensions() {
    return {kTableExtensions.begin(), kTableExtensions.end()};
}

}  // namespace

void CreateFromTemplate(db::Engine& engine, const std::string& directory, const std::string& name) {
    engine.Directory(directory).CopyTableFromTemplate(kTemplateTableName, name, Extensions(),
                                                      false);
}

void CreateNewFromTemplate(db::Engine& engine, const std::string& directory,
                           const std::string& name) {
    db::local::DirectoryDatabase& tables = engine.Directory(directory);
    if (!tables.CopyTableFromTemplate(kTemplateTableName, name, Extensions(), true)) {
        return;  // another process made it
    }
    try {
        CheckTransactionTable(engine, directory, name);
    } catch (const Exception&) {
        tables.RemoveTable(name, Extensions());
        throw;
    }
}

void CheckTransactionTable(db::Engine& engine, const std::string& directory,
                           const std::string& name) {
    const db::local::TableFile& table = engine.Directory(directory).Table(name);
    for (const char* field : kTransactionFields) {
        if (table.FieldIndex(field) < 0) {
            throw EDatabaseError("Table " + name + " has no field '" + field + "'");
        }
    }
}

}  // namespace tallon
