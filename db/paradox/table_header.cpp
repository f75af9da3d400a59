#include "db/paradox/table_header.h"

#include <cstdio>

#include "base/errors.h"
#include "base/text.h"
#include "db/paradox/detect.h"
#include "db/paradox/read_only_file.h"

namespace tallon::db::paradox {

namespace {

constexpr int kFixedHeaderBytes = 0x58;
// Paradox 4 and later added 32 bytes of header before the field list.
constexpr int kVersion4FieldList = 0x78;
// The stored table name in front of the field names: 79 bytes, 261 from
// Paradox 7 on.
constexpr int kTableNameBytes = 79;
constexpr int kTableNameBytes7 = 261;
constexpr int kBcdBytes = 17;
constexpr int kBcdMaxDecimals = 32;

unsigned U16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}
uint32_t U32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The size a field of a fixed-size type must have; 0 for the others.
int FixedSize(int type) {
    switch (type) {
        case kShort:
            return 2;
        case kDate:
        case kLong:
        case kTime:
        case kAutoIncrement:
            return 4;
        case kCurrency:
        case kNumber:
        case kTimestamp:
            return 8;
        case kLogical:
            return 1;
        case kBcd:
            return kBcdBytes;
    }
    return 0;
}

// Type and size of each field, from the two-byte entries of the field list.
std::vector<Field> FieldList(const std::string& head, int at, int count, const std::string& path) {
    std::vector<Field> fields;
    const auto* p = reinterpret_cast<const unsigned char*>(head.data());
    for (int i = 0; i < count; ++i) {
        Field f;
        f.type = p[at + 2 * i];
        const int size = p[at + 2 * i + 1];
        if (f.type == kBcd) {
            f.decimals = size;  // a BCD field's size byte counts its decimals
            f.length = kBcdBytes;
        } else {
            f.length = size;
        }
        const int fixed = FixedSize(f.type);
        const bool badSize = f.type == kBcd       ? size > kBcdMaxDecimals
                             : fixed              ? size != fixed
                             : IsBlobType(f.type) ? size < kBlobPointerBytes
                                                  : size == 0;
        if (badSize) {
            throw Exception(path + ": field " + std::to_string(i + 1) + " (" +
                            FieldTypeName(f.type) + ") has an impossible size " +
                            std::to_string(size));
        }
        fields.push_back(f);
    }
    return fields;
}

// The field names follow the list, one pointer per field and the stored
// table name, each ending in a zero byte; all must lie inside the header.
void ReadFieldNames(const std::string& head, int at, std::vector<Field>& fields,
                    const std::string& path) {
    size_t pos = static_cast<size_t>(at);
    for (size_t i = 0; i < fields.size(); ++i) {
        const size_t end = head.find('\0', pos);
        if (end == std::string::npos)
            throw Exception(path + ": the field names run past the end of the header");
        fields[i].name = head.substr(pos, end - pos);
        if (fields[i].name.empty())
            throw Exception(path + ": field " + std::to_string(i + 1) + " has no name");
        for (size_t j = 0; j < i; ++j) {
            if (SameText(fields[j].name, fields[i].name))
                throw Exception(path + ": two fields are named \"" + fields[i].name + "\"");
        }
        pos = end + 1;
    }
}

void CheckSizes(const TableHeader& h, uint64_t fileSize, const std::string& path) {
    int total = 0;
    for (const Field& f : h.fields)
        total += f.length;
    if (total != h.recordSize) {
        throw Exception(path + ": the fields take " + std::to_string(total) +
                        " bytes, the header says records take " + std::to_string(h.recordSize));
    }
    if (static_cast<uint64_t>(h.headerSize) > fileSize) {
        throw Exception(path + ": truncated (" + std::to_string(fileSize) + " bytes, the header " +
                        "alone takes " + std::to_string(h.headerSize) + ")");
    }
    if (h.recordSize + 6 > h.blockSize)
        throw Exception(path + ": a record is larger than a data block");
}

}  // namespace

std::string FieldTypeName(int type) {
    switch (type) {
        case kAlpha:
            return "alpha";
        case kDate:
            return "date";
        case kShort:
            return "short";
        case kLong:
            return "long";
        case kCurrency:
            return "money";
        case kNumber:
            return "number";
        case kLogical:
            return "logical";
        case kMemo:
            return "memo";
        case kBlob:
            return "binary";
        case kFormattedMemo:
            return "formatted memo";
        case kOle:
            return "OLE";
        case kGraphic:
            return "graphic";
        case kTime:
            return "time";
        case kTimestamp:
            return "timestamp";
        case kAutoIncrement:
            return "autoincrement";
        case kBcd:
            return "BCD";
        case kBytes:
            return "bytes";
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "type 0x%02X", type & 0xFF);
    return buf;
}

bool IsBlobType(int type) {
    return type == kMemo || type == kBlob || type == kFormattedMemo || type == kOle ||
           type == kGraphic;
}

TableHeader ReadTableHeader(const ReadOnlyFile& file) {
    const std::string& path = file.Path();
    unsigned char fixed[kFixedHeaderBytes];
    if (!file.ReadAt(0, fixed, sizeof fixed) || !IsParadoxTableHeader(fixed, sizeof fixed))
        throw Exception(path + ": not a Paradox table");
    TableHeader h;
    h.recordSize = static_cast<int>(U16(fixed));
    h.headerSize = static_cast<int>(U16(fixed + 2));
    h.blockSize = fixed[5] * 1024;
    h.recordCount = U32(fixed + 6);
    h.firstBlock = static_cast<int>(U16(fixed + 0x0E));
    const int fieldCount = static_cast<int>(U16(fixed + 0x21));
    h.keyFields = static_cast<int>(U16(fixed + 0x23));
    h.version = fixed[0x39];

    const bool version4 = h.version >= 5;
    const int list = version4 ? kVersion4FieldList : kFixedHeaderBytes;
    const int names =
        list + 6 * fieldCount + 4 + (h.version >= 12 ? kTableNameBytes7 : kTableNameBytes);
    if (h.headerSize <= names)
        throw Exception(path + ": the header is too small for its " + std::to_string(fieldCount) +
                        " fields");
    std::string head(static_cast<size_t>(h.headerSize), '\0');
    if (!file.ReadAt(0, head.data(), head.size()))
        throw Exception(path + ": truncated inside its header");
    const auto* p = reinterpret_cast<const unsigned char*>(head.data());
    h.codePage = version4 ? static_cast<int>(U16(p + 0x6A)) : 0;
    h.key = U32(p + (version4 ? 0x5C : 0x25));
    h.fields = FieldList(head, list, fieldCount, path);
    ReadFieldNames(head, names, h.fields, path);
    CheckSizes(h, file.Size(), path);
    return h;
}

}  // namespace tallon::db::paradox

namespace tallon::db::paradox {

std::string FieldTypeWithArticle(int type) {
    const std::string name = FieldTypeName(type);
    const bool vowel =
        !name.empty() && std::string("AEIOUaeiou").find(name[0]) != std::string::npos;
    return (vowel ? "an " : "a ") + name;
}

}  // namespace tallon::db::paradox
