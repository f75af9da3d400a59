#pragma once

// The data blocks of a Paradox table: a chain that starts at the header's
// first block, each block naming the next. A block holds a 6-byte header
// (next block, previous block, and the offset of its last record) and its
// records one after the other; the rest of the block is slack.

#include <cstdint>
#include <string>
#include <vector>

#include "db/paradox/table_header.h"

namespace tallon::db::paradox {

class ReadOnlyFile;

inline constexpr int kBlockHeaderBytes = 6;

struct DataBlock {
    uint32_t number = 0;  // 1 for the first block after the header
    int records = 0;
};

class DataBlocks {
  public:
    DataBlocks(const ReadOnlyFile& file, const TableHeader& header);

    // Follows the chain from the first block. Raises Exception when a block
    // lies outside the file, the chain comes back to a block it passed, or a
    // block claims more records than it or the file holds. A last block cut
    // short is accepted when its records are all there.
    std::vector<DataBlock> Chain() const;

    // Reads (and unscrambles) block `number` into `bytes`: its header and
    // records, as far as the file holds them.
    void Read(uint32_t number, std::vector<unsigned char>& bytes) const;

  private:
    DataBlock Examine(uint32_t number, int64_t recordsBefore, uint32_t& next,
                      std::vector<unsigned char>& bytes) const;
    uint64_t Offset(uint32_t number) const;

    const ReadOnlyFile& file_;
    const TableHeader& header_;
    uint32_t blocksInFile_ = 0;  // blocks that start inside the file
};

}  // namespace tallon::db::paradox
