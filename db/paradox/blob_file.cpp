#include "db/paradox/blob_file.h"

#include <algorithm>
#include <cstdio>

#include "base/errors.h"
#include "db/paradox/cipher.h"
#include "db/paradox/read_only_file.h"

namespace tallon::db::paradox {

namespace {

constexpr uint64_t kChunk = 4096;
constexpr int kOwnBlock = 2;
constexpr int kSharedBlock = 3;
constexpr unsigned kOwnBlockIndex = 0xFF;
constexpr unsigned kSharedEntries = 64;
constexpr int kOwnBlockData = 9;  // type, chunk count, length, modification number
constexpr int kSharedTable = 12;  // where the pointer table starts

unsigned U16(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return u[0] | (u[1] << 8);
}
uint32_t U32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return u[0] | (u[1] << 8) | (u[2] << 16) | (static_cast<uint32_t>(u[3]) << 24);
}

std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

BlobFile::BlobFile(const std::string& path, uint32_t key)
    : file_(std::make_unique<ReadOnlyFile>(path)), key_(key) {
    std::string head;
    if (!ReadChunks(0, kChunk, head))
        throw Exception(path + ": not a memo file (shorter than its 4 KB header)");
    if (head[0] != 0 || U16(head.data() + 1) == 0)
        throw Exception(path + ": not a memo file (no header block)");
}

BlobFile::~BlobFile() = default;

// Reads `size` bytes at `offset`, unscrambled.
bool BlobFile::ReadChunks(uint64_t offset, size_t size, std::string& out) const {
    // Nothing is allocated for bytes the file does not have.
    if (offset > file_->Size() || size > file_->Size() - offset)
        return false;
    out.resize(size);
    if (!file_->ReadAt(offset, out.data(), size))
        return false;
    if (key_)
        DecryptBlobChunks(reinterpret_cast<unsigned char*>(out.data()), size, key_);
    return true;
}

bool BlobFile::Read(uint32_t pointer, uint32_t length, std::string& out, std::string& why) const {
    const uint64_t offset = pointer & 0xFFFFFF00u;
    const unsigned index = pointer & 0xFFu;
    if (offset == 0 || offset % kChunk != 0 || offset >= file_->Size()) {
        why = "its memo points to " + Hex(offset) + ", outside " + file_->Path();
        return false;
    }
    return index == kOwnBlockIndex ? ReadOwnBlock(offset, length, out, why)
                                   : ReadShared(offset, index, length, out, why);
}

bool BlobFile::ReadOwnBlock(uint64_t offset, uint32_t length, std::string& out,
                            std::string& why) const {
    std::string block;
    const std::string where = "its memo block at " + Hex(offset) + " of " + file_->Path();
    if (!ReadChunks(offset, kChunk, block) || block[0] != kOwnBlock) {
        why = where + " is not a memo block";
        return false;
    }
    const uint64_t size = U16(block.data() + 1) * kChunk;
    const uint32_t stored = U32(block.data() + 3);
    if (stored != length) {
        why = where + " holds " + std::to_string(stored) + " bytes, the record says " +
              std::to_string(length);
        return false;
    }
    // Only the bytes the blob takes are read (of a scrambled file, the
    // whole 256-byte chunks they lie in).
    const uint64_t used = kOwnBlockData + static_cast<uint64_t>(length);
    const uint64_t chunks = (used + kCipherChunk - 1) / kCipherChunk * kCipherChunk;
    const uint64_t toRead = std::min(size, key_ ? chunks : used);
    if (used > size || !ReadChunks(offset, toRead, block)) {
        why = where + " runs past the end of the file";
        return false;
    }
    out.assign(block, kOwnBlockData, length);
    return true;
}

bool BlobFile::ReadShared(uint64_t offset, unsigned index, uint32_t length, std::string& out,
                          std::string& why) const {
    std::string block;
    const std::string where = "its memo block at " + Hex(offset) + " of " + file_->Path();
    if (!ReadChunks(offset, kChunk, block) || block[0] != kSharedBlock || index >= kSharedEntries) {
        why = where + " is not a memo block";
        return false;
    }
    // Each entry: data offset / 16, length in 16-byte units (rounded up), a
    // modification number, and the bytes used of the last unit (1-16).
    const char* entry = block.data() + kSharedTable + 5 * static_cast<size_t>(index);
    const uint64_t start = uint64_t{static_cast<unsigned char>(entry[0])} * 16;
    const uint64_t units = static_cast<unsigned char>(entry[1]);
    const uint64_t tail = static_cast<unsigned char>(entry[4]);
    const uint64_t size = units == 0 || tail == 0 || tail > 16 ? 0 : (units - 1) * 16 + tail;
    if (size == 0) {
        why = where + " holds no memo under index " + std::to_string(index);
        return false;
    }
    if (size != length || start + size > kChunk) {
        why = where + " holds " + std::to_string(size) + " bytes under index " +
              std::to_string(index) + ", the record says " + std::to_string(length);
        return false;
    }
    out.assign(block, start, size);
    return true;
}

}  // namespace tallon::db::paradox
