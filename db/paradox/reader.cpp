#include "db/paradox/reader.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/errors.h"
#include "db/paradox/detect.h"

// The library's header declares C functions without saying so.
extern "C" {
#include <paradox.h>
}

namespace tallon::db::paradox {

namespace {

// Day numbers count from 1 January of year 1 (day 1); the library's
// calendar functions count serial days from 4714 BC.
constexpr long kSerialDayOfDayZero = 1721425;
constexpr double kMsPerDay = 86400000.0;

void CollectError(pxdoc_t*, int, const char* message, void* data) {
    auto* last = static_cast<std::string*>(data);
    *last = message ? message : "unknown error";
}

bool AllZero(const unsigned char* p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

uint64_t BigEndian(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Paradox stores integers with the sign bit flipped, so that bytes compare
// like values; the all-zero pattern (the most negative value) is NULL.
int64_t FlippedInteger(const unsigned char* p, int n) {
    const uint64_t sign = uint64_t{1} << (8 * n - 1);
    const uint64_t u = BigEndian(p, n) ^ sign;
    return static_cast<int64_t>(u & sign ? u | ~(sign | (sign - 1)) : u);
}

// Doubles likewise: positive ones have the sign bit flipped, negative ones
// every bit inverted.
double FlippedDouble(const unsigned char* p) {
    unsigned char b[8];
    std::memcpy(b, p, 8);
    if (b[0] & 0x80) {
        b[0] ^= 0x80;
    } else {
        for (auto& c : b)
            c = static_cast<unsigned char>(~c);
    }
    const uint64_t u = BigEndian(b, 8);
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

void SetDate(FieldValue& v, long days) {
    int y = 0, m = 0, d = 0;
    PX_SdnToGregorian(days + kSerialDayOfDayZero, &y, &m, &d);
    v.year = y;
    v.month = m;
    v.day = d;
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

struct Reader::Doc {
    pxdoc_t* px = nullptr;
    std::string lastError;
    std::vector<char> record;
    ~Doc() {
        if (px) {
            PX_close(px);
            PX_delete(px);
        }
    }
};

Reader::Reader(const std::string& path) : path_(path), doc_(std::make_unique<Doc>()) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw Exception(path + ": cannot be read");
    unsigned char header[0x58];
    const size_t n = std::fread(header, 1, sizeof header, f);
    std::fclose(f);
    if (!IsParadoxTableHeader(header, n))
        throw Exception(path + ": not a Paradox table");
    // The library reads past the end of a short file without complaint, so
    // the size the header promises is checked first.
    struct stat st {};
    ::stat(path.c_str(), &st);
    const long long expected =
        (header[2] | (header[3] << 8)) +
        static_cast<long long>(header[0x0C] | (header[0x0D] << 8)) * header[5] * 1024;
    if (st.st_size < expected) {
        throw Exception(path + ": truncated (" + std::to_string(st.st_size) + " of " +
                        std::to_string(expected) + " bytes)");
    }

    PX_boot();
    doc_->px = PX_new3(CollectError, nullptr, nullptr, nullptr, &doc_->lastError);
    if (!doc_->px)
        throw Exception(path + ": out of memory");
    // No input or target encoding: the library would recode text, and
    // silently empty any value outside the code page.
    if (PX_open_file(doc_->px, path.c_str()) < 0) {
        const std::string why = doc_->lastError;
        PX_delete(doc_->px);
        doc_->px = nullptr;
        throw Exception(path + ": " + (why.empty() ? "unreadable header" : why));
    }
    const pxhead_t* h = doc_->px->px_head;
    codePage_ = h->px_doscodepage;
    records_ = h->px_numrecords;
    recordSize_ = h->px_recordsize;
    keyFields_ = h->px_primarykeyfields;
    int total = 0;
    for (int i = 0; i < h->px_numfields; ++i) {
        const pxfield_t& pf = h->px_fields[i];
        Field fd;
        fd.name = pf.px_fname ? pf.px_fname : "";
        fd.type = static_cast<unsigned char>(pf.px_ftype);
        fd.length = pf.px_flen;
        fd.decimals = pf.px_fdc;
        total += fd.length;
        fields_.push_back(fd);
    }
    if (total != recordSize_ || fields_.empty())
        throw Exception(path + ": field sizes do not add up to the record size");
    doc_->record.resize(recordSize_);

    // Memos too long for their record live in the .MB beside the table.
    const std::string stem = path.substr(0, path.size() - 3);
    for (const char* ext : {".MB", ".mb", ".Mb", ".mB"}) {
        struct stat mb {};
        if (::stat((stem + ext).c_str(), &mb) == 0) {
            if (PX_set_blob_file(doc_->px, (stem + ext).c_str()) < 0)
                throw Exception(stem + ext + ": " + doc_->lastError);
            break;
        }
    }
}

Reader::~Reader() = default;

bool Reader::Read(int number, std::vector<FieldValue>& values, std::string& why) {
    pxdoc_t* px = doc_->px;
    doc_->lastError.clear();
    char* rec = doc_->record.data();
    if (!PX_get_record(px, number, rec)) {
        why = doc_->lastError.empty() ? "cannot be read" : doc_->lastError;
        return false;
    }
    values.assign(fields_.size(), FieldValue());
    int offset = 0;
    for (size_t i = 0; i < fields_.size(); ++i) {
        const Field& f = fields_[i];
        const auto* p = reinterpret_cast<const unsigned char*>(rec + offset);
        char* raw = rec + offset;
        offset += f.length;
        FieldValue& v = values[i];
        auto fail = [&](const std::string& what) {
            why = "field \"" + f.name + "\": " + what;
            return false;
        };
        switch (f.type) {
            case kAlpha:
                if (p[0]) {
                    v.kind = FieldValue::Text;
                    v.s.assign(raw, strnlen(raw, f.length));
                }
                break;
            case kDate:
            case kTime:
            case kLong:
            case kAutoIncrement:
            case kShort:
                if (AllZero(p, f.length))
                    break;
                v.i = FlippedInteger(p, f.length);
                if (f.type == kDate) {
                    v.kind = FieldValue::Date;
                    SetDate(v, static_cast<long>(v.i));
                } else if (f.type == kTime) {
                    v.kind = FieldValue::Time;
                    v.ms = v.i;
                    if (v.ms < 0 || v.ms >= 86400000)
                        return fail("time out of range");
                } else {
                    v.kind = FieldValue::Int;
                }
                break;
            case kNumber:
            case kCurrency:
                if (!AllZero(p, f.length)) {
                    v.kind = FieldValue::Real;
                    v.r = FlippedDouble(p);
                }
                break;
            case kTimestamp:
                if (!AllZero(p, f.length)) {
                    const double total = FlippedDouble(p);
                    const double days = std::floor(total / kMsPerDay);
                    if (!(days >= 1 && days < 4000000))
                        return fail("timestamp out of range");
                    v.kind = FieldValue::Timestamp;
                    SetDate(v, static_cast<long>(days));
                    v.ms = static_cast<int64_t>(std::llround(total - days * kMsPerDay));
                }
                break;
            case kLogical:
                if (p[0]) {
                    v.kind = FieldValue::Int;
                    v.i = p[0] == 0x80 ? 0 : 1;
                }
                break;
            case kBcd: {
                char* text = nullptr;
                const int rc =
                    PX_get_data_bcd(px, const_cast<unsigned char*>(p), f.decimals, &text);
                if (rc < 0)
                    return fail(doc_->lastError.empty() ? "unreadable number" : doc_->lastError);
                if (rc > 0 && text) {
                    v.kind = FieldValue::Real;
                    v.r = std::strtod(text, nullptr);
                }
                if (text)
                    px->free(px, text);
                break;
            }
            case kMemo:
            case kFormattedMemo: {
                char* text = nullptr;
                int mod = 0, size = 0;
                const int rc = PX_get_data_blob(px, raw, f.length, &mod, &size, &text);
                if (rc < 0)
                    return fail(doc_->lastError.empty() ? "memo unreadable" : doc_->lastError);
                if (rc > 0) {
                    v.kind = FieldValue::Text;
                    v.s.assign(text ? text : "", text ? size : 0);
                }
                if (text)
                    px->free(px, text);
                break;
            }
            default:
                return fail("a " + FieldTypeName(f.type) + " field cannot be read");
        }
    }
    return true;
}

}  // namespace tallon::db::paradox
