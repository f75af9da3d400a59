#include "recovery/table_files.h"

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
    return "TR" + FormatDateTime("yymmdd", eventDate);
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
    engine.Directory(directory).CopyTableFromTemplate(kTemplateTableName, name, Extensions(), true);
}

}  // namespace tallon
