#include "db/paradox/data_blocks.h"

#include <algorithm>
#include <cstdint>

#include "base/errors.h"
#include "db/paradox/cipher.h"
#include "db/paradox/read_only_file.h"

namespace tallon::db::paradox {

DataBlocks::DataBlocks(const ReadOnlyFile& file, const TableHeader& header)
    : file_(file), header_(header) {
    const uint64_t data = file.Size() - static_cast<uint64_t>(header.headerSize);
    const uint64_t blocks = (data + header.blockSize - 1) / header.blockSize;
    blocksInFile_ = static_cast<uint32_t>(std::min<uint64_t>(blocks, UINT32_MAX));
}

uint64_t DataBlocks::Offset(uint32_t number) const {
    return static_cast<uint64_t>(header_.headerSize) +
           static_cast<uint64_t>(number - 1) * static_cast<uint64_t>(header_.blockSize);
}

void DataBlocks::Read(uint32_t number, std::vector<unsigned char>& bytes) const {
    const uint64_t at = Offset(number);
    size_t size = static_cast<size_t>(std::min<uint64_t>(header_.blockSize, file_.Size() - at));
    // A scrambled block can be read back only in whole chunks.
    if (header_.key)
        size -= size % kCipherChunk;
    bytes.resize(size);
    if (!file_.ReadAt(at, bytes.data(), size))
        throw Exception(file_.Path() + ": block " + std::to_string(number) + " cannot be read");
    if (header_.key)
        DecryptDataBlock(bytes.data(), size, header_.key, number);
}

DataBlock DataBlocks::Examine(uint32_t number, int64_t recordsBefore, uint32_t& next,
                              std::vector<unsigned char>& bytes) const {
    const std::string where = file_.Path() + ": block " + std::to_string(number);
    Read(number, bytes);
    if (bytes.size() < kBlockHeaderBytes)
        throw Exception(where + " is cut off by the end of the file");
    next = bytes[0] | (bytes[1] << 8);
    // The offset of the last record: -recordSize for an empty block.
    const int last = static_cast<int16_t>(bytes[4] | (bytes[5] << 8));
    DataBlock block{number, 0};
    if (last >= 0) {
        if (last % header_.recordSize != 0)
            throw Exception(where + " has a damaged record count");
        block.records = last / header_.recordSize + 1;
    }
    const int64_t end =
        kBlockHeaderBytes + static_cast<int64_t>(block.records) * header_.recordSize;
    if (end > header_.blockSize) {
        throw Exception(where + " claims " + std::to_string(block.records) +
                        " records, more than a block holds");
    }
    if (end > static_cast<int64_t>(bytes.size())) {
        const int64_t whole =
            (static_cast<int64_t>(bytes.size()) - kBlockHeaderBytes) / header_.recordSize;
        throw Exception(file_.Path() + ": truncated: records " +
                        std::to_string(recordsBefore + whole + 1) + " to " +
                        std::to_string(recordsBefore + block.records) + " (in block " +
                        std::to_string(number) + ") lie past the end of the file");
    }
    return block;
}

std::vector<DataBlock> DataBlocks::Chain() const {
    std::vector<DataBlock> chain;
    std::vector<bool> seen(blocksInFile_ + 1, false);
    std::vector<unsigned char> bytes;
    uint32_t previous = 0;
    int64_t records = 0;
    uint32_t number = static_cast<uint32_t>(header_.firstBlock);
    while (number != 0) {
        const std::string from =
            previous ? "block " + std::to_string(previous) + " leads to" : "the header names";
        if (number > blocksInFile_) {
            throw Exception(file_.Path() + ": " + from + " block " + std::to_string(number) +
                            ", past the end of the file (" + std::to_string(blocksInFile_) +
                            " blocks)");
        }
        if (seen[number]) {
            throw Exception(file_.Path() + ": the block chain loops: " + from + " block " +
                            std::to_string(number) + " again");
        }
        seen[number] = true;
        uint32_t next = 0;
        chain.push_back(Examine(number, records, next, bytes));
        records += chain.back().records;
        previous = number;
        number = next;
    }
    return chain;
}

}  // namespace tallon::db::paradox
