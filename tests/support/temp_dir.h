#pragma once

#include <string>

namespace tallon::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes. path() ends in "/".
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedWorkingDirectory {
  public:
    explicit ScopedWorkingDirectory(const std::string& dir);
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

  private:
    std::string saved_;
};

// Whole-file helpers for tests.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace tallon::test
