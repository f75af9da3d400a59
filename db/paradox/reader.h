#pragma once

// Reading a Paradox data table (.DB, with its .MB for long memos) record by
// record, in the order of its chain of data blocks. Text comes back as the
// bytes stored, in the code page the header names; nothing is recoded.
//
// The reader trusts no count or pointer it reads: the header is checked
// against the file, the chain of blocks against the file's size and against
// loops before the first record is read, and every memo pointer against the
// .MB file.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/paradox/data_blocks.h"
#include "db/paradox/field_values.h"
#include "db/paradox/table_header.h"

namespace tallon::db::paradox {

class BlobFile;
class ReadOnlyFile;

class Reader {
  public:
    // Opens the table read-only and follows its block chain; raises
    // Exception with the file's name and what is wrong (not a Paradox
    // table, truncated, a damaged header or block chain).
    explicit Reader(const std::string& path);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    const std::vector<Field>& Fields() const { return header_.fields; }
    // The first KeyFieldCount() fields form the primary key.
    int KeyFieldCount() const { return header_.keyFields; }
    // 0 when the header names none (Paradox 3 tables).
    int CodePage() const { return header_.codePage; }
    bool Encrypted() const { return header_.key != 0; }
    // The records the data blocks hold, and the count the header keeps.
    int64_t RecordCount() const { return recordCount_; }
    int64_t HeaderRecordCount() const { return header_.recordCount; }
    // The .MB file beside the table, "" when there is none.
    const std::string& BlobPath() const { return blobPath_; }

    // Reads the next record into `values`. False with `why` set (naming the
    // field) when it cannot be read; the next call goes on with the record
    // after it. Call at most RecordCount() times.
    bool Next(std::vector<FieldValue>& values, std::string& why);

  private:
    bool ReadBlob(const Field& field, const unsigned char* bytes, FieldValue& value,
                  std::string& why);
    const BlobFile* Blobs(std::string& why);

    std::unique_ptr<ReadOnlyFile> file_;
    TableHeader header_;
    std::unique_ptr<DataBlocks> blocks_;
    std::vector<DataBlock> chain_;
    int64_t recordCount_ = 0;

    size_t block_ = 0;  // the block being read, its bytes and the next record in it
    int inBlock_ = 0;
    std::vector<unsigned char> bytes_;

    std::string blobPath_;
    std::unique_ptr<BlobFile> blobs_;
    std::string blobError_;
};

}  // namespace tallon::db::paradox
