#include "db/paradox/detect.h"

#include <cstdio>
#include <cstring>

namespace tallon::db::paradox {

namespace {

constexpr size_t kHeaderBytes = 0x58;

unsigned U16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}

}  // namespace

bool IsParadoxTableHeader(const unsigned char* b, size_t size) {
    if (size < kHeaderBytes || std::memcmp(b, "SQLite format 3", 15) == 0)
        return false;
    const unsigned recordSize = U16(b);
    const unsigned headerSize = U16(b + 2);
    const unsigned fileType = b[4];
    const unsigned blockKb = b[5];
    const unsigned fields = U16(b + 0x21);
    const unsigned keyFields = U16(b + 0x23);
    const unsigned version = b[0x39];
    // Only data tables count: keyed (0) or not (2); index files have other
    // types and never sit in a table's .DB.
    if (fileType != 0 && fileType != 2)
        return false;
    if (blockKb != 1 && blockKb != 2 && blockKb != 3 && blockKb != 4 && blockKb != 8 &&
        blockKb != 16 && blockKb != 32)
        return false;
    return recordSize > 0 && headerSize >= kHeaderBytes && fields > 0 && fields <= 255 &&
           keyFields <= fields && version >= 3 && version <= 12;
}

bool IsParadoxTableFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char header[kHeaderBytes];
    const size_t n = std::fread(header, 1, sizeof header, f);
    std::fclose(f);
    return IsParadoxTableHeader(header, n);
}

}  // namespace tallon::db::paradox
