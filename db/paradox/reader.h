#pragma once

// Reading a Paradox data table (.DB, with its .MB for long memos) record by
// record. Text comes back as the bytes stored, in the code page the header
// names; nothing is recoded.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tallon::db::paradox {

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

struct Field {
    std::string name;  // as the header spells it
    int type = 0;
    int length = 0;    // bytes in the record
    int decimals = 0;  // BCD only
};

struct FieldValue {
    enum Kind { Null, Int, Real, Text, Date, Time, Timestamp } kind = Null;
    int64_t i = 0;                     // Int; logical as 0/1
    double r = 0;                      // Real
    std::string s;                     // Text (alpha, memo)
    int year = 0, month = 0, day = 0;  // Date, Timestamp
    int64_t ms = 0;                    // Time, Timestamp: milliseconds since midnight
};

class Reader {
  public:
    // Opens the table read-only; raises Exception with the file's name and
    // what is wrong (not a Paradox table, truncated, unreadable header).
    explicit Reader(const std::string& path);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    const std::vector<Field>& Fields() const { return fields_; }
    // The first KeyFieldCount() fields form the primary key.
    int KeyFieldCount() const { return keyFields_; }
    int CodePage() const { return codePage_; }
    int RecordCount() const { return records_; }

    // Reads record `number` (0-based) into `values`; false with `why` set
    // when it cannot be read.
    bool Read(int number, std::vector<FieldValue>& values, std::string& why);

  private:
    struct Doc;
    std::string path_;
    std::unique_ptr<Doc> doc_;
    std::vector<Field> fields_;
    int keyFields_ = 0;
    int codePage_ = 0;
    int records_ = 0;
    int recordSize_ = 0;
};

}  // namespace tallon::db::paradox
