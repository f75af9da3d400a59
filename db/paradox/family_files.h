#pragma once

// The files that make up a table in a directory, found by name without
// regard to letter case: a Paradox table's family (NAME.DB, .PX, .MB,
// .XGn/.YGn, .Xnn/.Ynn, .TV, .VAL, .FAM) and an engine table's files
// (NAME.DB, its journal and index files).

#include <string>
#include <vector>

namespace tallon::db::paradox {

// Bare names of the files in `dir` that belong to the Paradox table `name`.
std::vector<std::string> FamilyFiles(const std::string& dir, const std::string& name);

// Bare names of the engine files of the table `name` in `dir`.
std::vector<std::string> EngineFiles(const std::string& dir, const std::string& name);

// The upper-case extension of a bare file name ("" when it has none).
std::string UpperExtension(const std::string& file);
bool IsPrimaryIndexExtension(const std::string& upperExtension);
bool IsSecondaryIndexExtension(const std::string& upperExtension);

// True when the file is an SQLite database (an engine table).
bool IsSqliteFile(const std::string& path);

// Renames, raising Exception "Cannot move FROM to TO: why".
void MoveFile(const std::string& from, const std::string& to);

}  // namespace tallon::db::paradox
