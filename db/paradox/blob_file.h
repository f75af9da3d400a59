#pragma once

// The .MB file beside a table: memo (and other blob) values too long for
// their field. It is a 4 KB header followed by blocks of whole 4 KB chunks:
// a block of one long blob (type 2), or a block shared by up to 64 short
// ones found through a table of pointers at its start (type 3). A field's
// last 10 bytes hold where its blob is (the block's offset with an index
// into that table in the low byte, 0xFF for a block of its own), its length
// and a modification number.

#include <cstdint>
#include <memory>
#include <string>

namespace tallon::db::paradox {

class ReadOnlyFile;

class BlobFile {
  public:
    // Opens the file and checks its header; raises Exception naming the
    // file. `key` is the table's (0 when it is not password-protected).
    BlobFile(const std::string& path, uint32_t key);
    ~BlobFile();
    BlobFile(const BlobFile&) = delete;
    BlobFile& operator=(const BlobFile&) = delete;

    // Reads the blob at `pointer` (offset and index) of `length` bytes into
    // `out`; false with `why` set when the pointer leads nowhere or to a
    // blob of another length.
    bool Read(uint32_t pointer, uint32_t length, std::string& out, std::string& why) const;

  private:
    bool ReadChunks(uint64_t offset, size_t size, std::string& out) const;
    bool ReadOwnBlock(uint64_t offset, uint32_t length, std::string& out, std::string& why) const;
    bool ReadShared(uint64_t offset, unsigned index, uint32_t length, std::string& out,
                    std::string& why) const;

    std::unique_ptr<ReadOnlyFile> file_;
    uint32_t key_ = 0;
};

}  // namespace tallon::db::paradox
