#pragma once

#include <string>

namespace tallon {

// The first and last identifier of a block handed to one issuer.
struct RecordIdBlock {
    std::string first;
    std::string last;
};

// The highest record identifier any process has taken for one alias, kept in
// a small file that every process writing that alias from this machine
// shares under an exclusive lock. Identifiers are handed out in blocks; a
// block, once reserved, is never handed out again, whether or not its holder
// used it, so a crashed run costs identifiers but never repeats one.
class RecordIdStore {
  public:
    // Opens (creating when missing) the file. Raises EInOutError.
    explicit RecordIdStore(const std::string& path);
    ~RecordIdStore();
    RecordIdStore(const RecordIdStore&) = delete;
    RecordIdStore& operator=(const RecordIdStore&) = delete;

    // Reserves `count` identifiers: from `wanted`, or from just after the
    // highest one reserved so far when that is not below `wanted`. Raises
    // EInOutError, or Exception when the file holds something other than an
    // identifier (it is left for the operator to look at, not overwritten).
    RecordIdBlock Reserve(const std::string& wanted, int count);

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
};

// The file of an alias in the program directory (which ends in "/").
std::string RecordIdStoreFile(const std::string& programDirectory, const std::string& alias);

}  // namespace tallon
