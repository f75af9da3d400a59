#include "db/paradox/reader.h"

#include <cstring>

#include "base/errors.h"
#include "base/file_names.h"
#include "db/paradox/blob_file.h"
#include "db/paradox/code_page.h"
#include "db/paradox/read_only_file.h"

namespace tallon::db::paradox {

namespace {

uint32_t U32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// NAME.MB beside NAME.DB, in any letter case.
std::string FindBlobFile(const std::string& path) {
    const std::string mb = ResolveFileName(path.substr(0, path.size() - 3) + ".MB");
    return FileExists(mb) ? mb : "";
}

}  // namespace

Reader::Reader(const std::string& path) : file_(std::make_unique<ReadOnlyFile>(path)) {
    header_ = ReadTableHeader(*file_);
    blocks_ = std::make_unique<DataBlocks>(*file_, header_);
    chain_ = blocks_->Chain();
    for (const DataBlock& b : chain_)
        recordCount_ += b.records;
    blobPath_ = FindBlobFile(path);
}

Reader::~Reader() = default;

bool Reader::Next(std::vector<FieldValue>& values, std::string& why) {
    while (block_ < chain_.size() && inBlock_ >= chain_[block_].records) {
        ++block_;
        inBlock_ = 0;
        bytes_.clear();
    }
    if (block_ >= chain_.size()) {
        why = "no more records";
        return false;
    }
    if (bytes_.empty())
        blocks_->Read(chain_[block_].number, bytes_);
    const unsigned char* record =
        bytes_.data() + kBlockHeaderBytes + static_cast<size_t>(inBlock_) * header_.recordSize;
    ++inBlock_;

    values.resize(header_.fields.size());
    for (size_t i = 0; i < header_.fields.size(); ++i) {
        const Field& f = header_.fields[i];
        const bool ok = IsBlobType(f.type) ? ReadBlob(f, record, values[i], why)
                                           : DecodeField(f, record, values[i], why);
        if (!ok) {
            why = "field \"" + TextForMessages(f.name, header_.codePage) + "\": " + why;
            return false;
        }
        record += f.length;
    }
    return true;
}

// Memo and formatted memo values: the record's leader holds the first bytes
// (all of them when the memo is short), the .MB file the whole memo.
bool Reader::ReadBlob(const Field& f, const unsigned char* p, FieldValue& v, std::string& why) {
    v = FieldValue();
    if (f.type != kMemo && f.type != kFormattedMemo) {
        why = FieldTypeWithArticle(f.type) + " field cannot be read";
        return false;
    }
    const int leader = f.length - kBlobPointerBytes;
    const uint32_t pointer = U32(p + leader);
    const uint32_t length = U32(p + leader + 4);
    if (length == 0)
        return true;
    v.kind = FieldValue::Text;
    if (length <= static_cast<uint32_t>(leader)) {
        v.s.assign(reinterpret_cast<const char*>(p), length);
        return true;
    }
    const BlobFile* blobs = Blobs(why);
    if (!blobs || !blobs->Read(pointer, length, v.s, why))
        return false;
    // A memo's leader repeats its first bytes: a .MB that disagrees belongs
    // to another table (or another state of this one).
    if (f.type == kMemo && std::memcmp(v.s.data(), p, leader) != 0) {
        why = "its memo in " + blobPath_ + " does not begin with the text the record holds";
        return false;
    }
    return true;
}

const BlobFile* Reader::Blobs(std::string& why) {
    if (!blobs_ && blobError_.empty()) {
        if (blobPath_.empty()) {
            const std::string& path = file_->Path();
            blobError_ = "its memo lies in " + ExtractFileName(path.substr(0, path.size() - 3)) +
                         ".MB, which is missing";
        } else {
            try {
                blobs_ = std::make_unique<BlobFile>(blobPath_, header_.key);
            } catch (const Exception& e) {
                blobError_ = e.Message();
            }
        }
    }
    why = blobError_;
    return blobs_.get();
}

}  // namespace tallon::db::paradox
