#include "db/paradox/family_files.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/errors.h"
#include "base/text.h"

namespace tallon::db::paradox {

namespace fs = std::filesystem;

namespace {

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool IsFamilyExtension(const std::string& ext) {
    for (const char* f : {"DB", "PX", "MB", "TV", "VAL", "FAM"})
        if (ext == f)
            return true;
    if (ext.size() == 3 && (ext[0] == 'X' || ext[0] == 'Y')) {
        if (ext[1] == 'G')
            return IsHex(ext[2]);
        return IsHex(ext[1]) && IsHex(ext[2]);
    }
    return false;
}

bool IsEngineExtension(const std::string& ext) {
    return ext == "DB" || ext == "DB-JOURNAL" || IsPrimaryIndexExtension(ext) ||
           IsSecondaryIndexExtension(ext);
}

// Files of `dir` named NAME.EXT whose upper-case extension passes `keep`;
// `firstDot` splits at the first dot (engine files: NAME.DB-journal).
std::vector<std::string> FilesOf(const std::string& dir, const std::string& name, bool firstDot,
                                 bool (*keep)(const std::string&)) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (!e.is_regular_file(ec))
            continue;
        const std::string file = e.path().filename().string();
        const auto dot = firstDot ? file.find('.') : file.rfind('.');
        if (dot == std::string::npos || !SameText(file.substr(0, dot), name))
            continue;
        if (keep(UpperCase(file.substr(dot + 1))))
            out.push_back(file);
    }
    return out;
}

}  // namespace

std::vector<std::string> FamilyFiles(const std::string& dir, const std::string& name) {
    return FilesOf(dir, name, false, IsFamilyExtension);
}

std::vector<std::string> EngineFiles(const std::string& dir, const std::string& name) {
    return FilesOf(dir, name, true, IsEngineExtension);
}

std::string UpperExtension(const std::string& file) {
    const auto dot = file.rfind('.');
    return dot == std::string::npos ? "" : UpperCase(file.substr(dot + 1));
}

bool IsPrimaryIndexExtension(const std::string& e) {
    return e == "PX";
}

bool IsSecondaryIndexExtension(const std::string& e) {
    return e.size() == 3 && (e[0] == 'X' || e[0] == 'Y') && e[1] == 'G';
}

bool IsSqliteFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char head[16] = {};
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return n == 16 && std::string(head, 15) == "SQLite format 3";
}

void MoveFile(const std::string& from, const std::string& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec)
        throw Exception("Cannot move " + from + " to " + to + ": " + ec.message());
}

}  // namespace tallon::db::paradox
