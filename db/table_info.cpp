#include "db/table_info.h"

#include <cstdlib>

#include "base/file_names.h"
#include "db/engine.h"
#include "db/index_option.h"
#include "db/local/directory_database.h"

namespace tallon::db {

namespace {

// The second file of a secondary index: "XG0" -> "YG0". Built by append, as
// GCC 12 at -O3 warns (-Wrestrict) about "Y" + a substring.
std::string SecondFile(const std::string& slot) {
    std::string name = "Y";
    name.append(slot, 1, std::string::npos);
    return name;
}

}  // namespace

TableInfo DescribeTable(Engine& engine, const std::string& directory, const std::string& name) {
    local::TableFile& file = engine.Directory(directory).Table(name);
    TableInfo info;
    Rows rows;
    file.RunInternal("SELECT count(*) FROM records", {}, &rows);
    info.records = std::atoll(rows.values.at(0).at(0).c_str());
    for (const auto& [slot, def] : file.Indexes()) {
        TableInfo::Index ix;
        ix.extension = "." + slot;
        ix.name = def.name;
        ix.fields = local::JoinFields(def.fields);
        ix.unique = (def.options & ixUnique) != 0;
        ix.caseInsensitive = (def.options & ixCaseInsensitive) != 0;
        ix.filesPresent = FileExists(file.IndexFilePath(slot)) ||
                          (slot != "PX" && FileExists(file.IndexFilePath(SecondFile(slot))));
        info.indexes.push_back(ix);
    }
    return info;
}

}  // namespace tallon::db
