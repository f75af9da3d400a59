#pragma once

#include <string>
#include <vector>

namespace tallon {

// File names as the program expects them to behave: a name that does not
// exist exactly is resolved by matching its last component without regard
// to case inside its directory. Every part of the program opens, tests,
// copies, deletes and lists files through these functions. New files are
// created with the name as given. The path separator is "/".

// The existing file or directory the name refers to (exact match first,
// then a case-insensitive match of the last component); the name unchanged
// when nothing matches.
std::string ResolveFileName(const std::string& path);

// True for an existing regular file (a directory does not count).
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Copies a file over an existing target (replacing it). Returns false and
// leaves the target as it was when the source is missing or unreadable.
bool CopyFileOver(const std::string& from, const std::string& to);

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

// Forgets what the layer knows of a directory's entries (after changes made
// behind its back; the layer's own changes do this themselves).
void ForgetDirectoryListing(const std::string& directory);

// The directory of the running executable, ending in "/".
std::string ExecutableDirectory();

// The process's current working directory, ending in "/".
std::string CurrentDirectory();

}  // namespace tallon
