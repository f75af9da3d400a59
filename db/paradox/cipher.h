#pragma once

// Undoing the scrambling of a password-protected table. The file's key (a
// checksum of the password, stored in its header) is all it takes: no
// password is asked for. Data blocks are scrambled in 256-byte chunks that
// depend on the block number; .MB files in chunks that do not.

#include <cstddef>
#include <cstdint>

namespace tallon::db::paradox {

inline constexpr size_t kCipherChunk = 256;

// Unscrambles the whole chunks of a data block in place (a tail shorter
// than a chunk is left as it is); `blockNumber` counts from 1.
void DecryptDataBlock(unsigned char* block, size_t size, uint32_t key, uint32_t blockNumber);

// Unscrambles whole chunks of a .MB file in place.
void DecryptBlobChunks(unsigned char* data, size_t size, uint32_t key);

}  // namespace tallon::db::paradox
