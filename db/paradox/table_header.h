#pragma once

// The header of a Paradox data table (.DB): its fields, its record and
// block sizes, where its chain of data blocks starts, its code page and key.
// Every size, count and offset is checked against the header and the file
// before anything relies on it.

#include <cstdint>
#include <string>
#include <vector>

namespace tallon::db::paradox {

class ReadOnlyFile;

// Paradox field types as the header stores them.
enum FieldType : int {
    kAlpha = 0x01,
    kDate = 0x02,
    kShort = 0x03,
    kLong = 0x04,
    kCurrency = 0x05,
    kNumber = 0x06,
    kLogical = 0x09,
    kMemo = 0x0C,
    kBlob = 0x0D,
    kFormattedMemo = 0x0E,
    kOle = 0x0F,
    kGraphic = 0x10,
    kTime = 0x14,
    kTimestamp = 0x15,
    kAutoIncrement = 0x16,
    kBcd = 0x17,
    kBytes = 0x18,
};

// "alpha", "date", ... for messages; "type 0xNN" for one we do not know.
std::string FieldTypeName(int type);
// The same with its article: "a memo", "an OLE".
std::string FieldTypeWithArticle(int type);

// Fields whose value lies (at least in part) in the .MB file: the last 10
// bytes of the field point there.
bool IsBlobType(int type);

inline constexpr int kBlobPointerBytes = 10;

struct Field {
    std::string name;  // as the header spells it, in the table's code page
    int type = 0;
    int length = 0;    // bytes in the record
    int decimals = 0;  // BCD only
};

struct TableHeader {
    int version = 0;  // the file's version byte: 3 and 4 for Paradox 3.x, 12 for 7
    int recordSize = 0;
    int headerSize = 0;
    int blockSize = 0;
    int64_t recordCount = 0;  // as the header counts them
    int firstBlock = 0;       // 1 for the first block after the header; 0 when none
    int keyFields = 0;        // the first keyFields fields form the primary key
    int codePage = 0;         // 0 when the header names none (Paradox 3)
    uint32_t key = 0;         // 0 when the table is not password-protected
    std::vector<Field> fields;
};

// Reads and checks the header; raises Exception with the file's name and
// what is wrong.
TableHeader ReadTableHeader(const ReadOnlyFile& file);

}  // namespace tallon::db::paradox
