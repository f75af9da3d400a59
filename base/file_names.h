#pragma once

#include <string>
#include <vector>

namespace tallon {

// File names as the program expects them to behave: a name that does not
// exist exactly is resolved by matching its last component without regard
// to case inside its directory. An exact match always wins, and nothing is
// cached: every answer is the directory as it is at that moment. Every part of the program opens,
// tests, copies, deletes and lists files through these functions. New files are created with the
// name as given. The path separator is "/".

// The existing file or directory the name refers to (exact match first,
// then a case-insensitive match of the last component); the name unchanged
// when nothing matches.
std::string ResolveFileName(const std::string& path);

// True for an existing regular file (a directory does not count).
bool FileExists(const std::string& path);
// The regular file `path` names as FileExists finds it, trying only the
// exact name and the upper- and lower-case forms of its extension and of
// the whole name, never a listing of the directory; "" when none is there.
// For a file looked for often in a large directory.
std::string ProbeFileName(const std::string& path);
bool DirectoryExists(const std::string& path);

// Copies a file over an existing target (replacing it). Returns false and
// leaves the target as it was when the source is missing or unreadable.
// With `toResolved` the target name is taken as it is given (the caller
// matched it to the directory already).
bool CopyFileOver(const std::string& from, const std::string& to, bool toResolved = false);

// Several names of one directory matched at once, as ResolveFileName
// matches each (an exact match first, then one without regard to case,
// else the name as given), with a single listing of the directory: for the
// files of one table, made or replaced together in a directory of
// thousands.
class NamesInDirectory {
  public:
    // The entries of `directory` (ending in "/") whose names begin with
    // `stem` in any letter case.
    NamesInDirectory(const std::string& directory, const std::string& stem);
    std::string Resolve(const std::string& name) const;

  private:
    std::string directory_;
    std::vector<std::string> entries_;
};

// Copies a file to a name that must not exist yet, atomically: the target
// either appears complete or not at all, and an existing file (in any letter
// case) is never replaced.
enum class CopyOutcome { Copied, TargetExists, NoSource, Failed };
CopyOutcome CopyFileIfMissing(const std::string& from, const std::string& to);

// Temporary copies are named with this prefix, the writer's process id and a
// random part.
inline constexpr const char* kCopyTempPrefix = ".tallon-copy-";

// Deletes a file; false when there was nothing to delete or it failed.
bool DeleteFileCI(const std::string& path);

// Renames, resolving the source name; false on failure.
bool RenameFileCI(const std::string& from, const std::string& to);

// Bare names of the entries of a directory matching a wildcard pattern such
// as "/data/raw/*.raw" ('*' and '?', any letter case), in the order the
// directory gives them; directories are included. A missing directory gives
// an empty list.
std::vector<std::string> ListMatching(const std::string& directoryAndPattern);

// The directory part of a path, up to and including its last "/" ("" when
// it has none), and the part after it.
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);

// The directory of the running executable, ending in "/".
std::string ExecutableDirectory();

// The process's current working directory, ending in "/".
std::string CurrentDirectory();

}  // namespace tallon
