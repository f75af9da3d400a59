#include "db/paradox/staging.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/errors.h"
#include "base/text.h"
#include "db/paradox/detect.h"
#include "db/paradox/family_files.h"

namespace tallon::db::paradox {

namespace fs = std::filesystem;

namespace {

// Lists a ready table keeps: its engine files, and the Paradox files it
// replaces.
constexpr const char* kFileList = ".files";
constexpr const char* kFamilyList = ".family";

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string f = e.path().filename().string();
        if (f != kFileList && f != kFamilyList)
            out.push_back(f);
    }
    return out;
}

void WriteList(const std::string& path, const std::vector<std::string>& names) {
    std::ofstream out(path, std::ios::trunc);
    for (const auto& n : names)
        out << n << '\n';
    out.close();
    if (!out)
        throw Exception("Cannot write " + path);
}

std::vector<std::string> ReadList(const std::string& path) {
    std::vector<std::string> names;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            names.push_back(line);
    return names;
}

bool Contains(const std::vector<std::string>& names, const std::string& file) {
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& n) { return SameText(n, file); });
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A Paradox NAME.DB (any letter case) in `dir`.
bool HasParadoxTable(const std::string& dir, const std::string& name) {
    for (const auto& f : FamilyFiles(dir, name)) {
        if (UpperExtension(f) == "DB" && IsParadoxTableFile(dir + f))
            return true;
    }
    return false;
}

}  // namespace

Staging::Staging(std::string source, std::string dest, std::string originals)
    : source_(std::move(source)),
      dest_(std::move(dest)),
      originals_(std::move(originals)),
      root_(dest_ + kStagingFolder + "/") {}

std::string Staging::Dir(const std::string& name, const char* state) const {
    return root_ + name + state + "/";
}

std::string Staging::Begin(const std::string& name) {
    Discard(name);
    std::string dir = Dir(name, ".partial");
    fs::create_directories(dir);
    return dir;
}

void Staging::MarkReady(const std::string& name, const std::vector<std::string>& family) {
    const std::string partial = Dir(name, ".partial");
    WriteList(partial + kFileList, FilesIn(partial));
    WriteList(partial + kFamilyList, family);
    fs::rename(partial, Dir(name, ".ready"));
}

void Staging::Discard(const std::string& name) noexcept {
    std::error_code ec;
    fs::remove_all(Dir(name, ".partial"), ec);
    fs::remove_all(Dir(name, ".ready"), ec);
    fs::remove(root_, ec);  // only when empty
}

void Staging::PutInPlace(const std::string& name) {
    const std::vector<std::string> family = ReadList(Dir(name, ".ready") + kFamilyList);
    fs::create_directories(originals_);
    // Originals of an earlier import (--replace) that the table no longer
    // has go; the others are replaced by the move.
    for (const auto& f : FamilyFiles(originals_, name)) {
        if (!Contains(family, f))
            fs::remove(originals_ + f);
    }
    // NAME.DB moves last: while it is in the source, the table counts as
    // not converted.
    std::vector<std::string> order = family;
    std::stable_partition(order.begin(), order.end(),
                          [](const std::string& f) { return UpperExtension(f) != "DB"; });
    std::vector<std::string> moved;
    try {
        for (const auto& f : order) {
            MoveFile(source_ + f, originals_ + f);
            moved.push_back(f);
        }
    } catch (const std::exception&) {
        std::error_code ec;
        for (const auto& f : moved)
            fs::rename(originals_ + f, source_ + f, ec);
        throw;
    }
    try {
        PlaceEngineFiles(name);
    } catch (const std::exception&) {
        TakeBack(name);
        throw;
    }
}

// After a failed placing: the engine files back into the ready table and
// the Paradox files back where they were.
void Staging::TakeBack(const std::string& name) noexcept {
    const std::string ready = Dir(name, ".ready");
    std::error_code ec;
    for (const auto& f : ReadList(ready + kFileList)) {
        if (!fs::exists(ready + f, ec))
            fs::rename(dest_ + f, ready + f, ec);
    }
    UndoFamilyMoves(name);
}

// The ready table's files into DEST; any engine file of the name the new
// table does not have goes, so no stale index file describes it.
void Staging::PlaceEngineFiles(const std::string& name) {
    const std::string ready = Dir(name, ".ready");
    const std::vector<std::string> files = ReadList(ready + kFileList);
    for (const auto& f : EngineFiles(dest_, name)) {
        if (!Contains(files, f))
            fs::remove(dest_ + f);
    }
    for (const auto& f : FilesIn(ready))
        MoveFile(ready + f, dest_ + f);
    Discard(name);
}

// Puts back what an interrupted move had taken from the source.
void Staging::UndoFamilyMoves(const std::string& name) noexcept {
    std::error_code ec;
    for (const auto& f : ReadList(Dir(name, ".ready") + kFamilyList)) {
        if (!fs::exists(source_ + f, ec) && fs::exists(originals_ + f, ec))
            fs::rename(originals_ + f, source_ + f, ec);
    }
}

std::vector<std::string> Staging::Settle() {
    std::vector<std::string> finished;
    for (const auto& entry : FilesIn(root_)) {
        if (EndsWith(entry, ".partial")) {
            Discard(entry.substr(0, entry.size() - 8));
        } else if (EndsWith(entry, ".ready")) {
            const std::string name = entry.substr(0, entry.size() - 6);
            if (HasParadoxTable(source_, name)) {
                UndoFamilyMoves(name);
                Discard(name);
            } else {
                PlaceEngineFiles(name);
                finished.push_back(name);
            }
        }
    }
    return finished;
}

}  // namespace tallon::db::paradox
