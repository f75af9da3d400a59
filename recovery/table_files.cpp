#include "recovery/table_files.h"

#include "base/file_names.h"
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

void CreateFromTemplate(const std::string& directory, const std::string& name) {
    const auto from = TableFileSet(directory, kTemplateTableName);
    const auto to = TableFileSet(directory, name);
    for (size_t i = 0; i < from.size(); ++i) {
        CopyFileOver(from[i], to[i]);
    }
}

void DeleteIndexFiles(const std::string& directory, const std::string& name) {
    const auto files = TableFileSet(directory, name);
    for (size_t i = 1; i < files.size(); ++i) {
        DeleteFileCI(files[i]);
    }
}

}  // namespace tallon
