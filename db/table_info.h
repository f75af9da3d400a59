#pragma once

#include <string>
#include <vector>

namespace tallon::db {

class Engine;

// What the admin tool lists of a local table.
struct TableInfo {
    struct Index {
        std::string extension;  // ".PX", ".XG0", ...
        std::string name;       // "" for the primary index
        std::string fields;     // separated by ';'
        bool unique = false;
        bool caseInsensitive = false;
        bool filesPresent = true;  // false: dropped when the table is next opened
    };
    long long records = 0;
    std::vector<Index> indexes;
};

// Raises EDatabaseError when the table cannot be read.
TableInfo DescribeTable(Engine& engine, const std::string& directory, const std::string& name);

}  // namespace tallon::db
