#include "db/paradox/field_values.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/date_time.h"

namespace tallon::db::paradox {

namespace {

constexpr int64_t kLastDay = 3652059;  // 31 December 9999
// Significant digits a BCD value keeps: its tail past what a double carries
// may hold any nibble (Paradox fills it from a double), and the engine
// keeps 15 digits of a number.
constexpr int kBcdTrustedDigits = 17;
constexpr int kBcdKeptDigits = 15;

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

int64_t FlippedInteger(const unsigned char* p, int n) {
    const uint64_t sign = uint64_t{1} << (8 * n - 1);
    const uint64_t u = BigEndian(p, n) ^ sign;
    return static_cast<int64_t>(u & sign ? u | ~(sign | (sign - 1)) : u);
}

// Positive doubles have the sign bit flipped, negative ones every bit.
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

// BCD: the first byte holds the sign (bit 7 set when positive), a value
// flag (bit 6; clear for NULL) and the count of decimals; 32 digits follow,
// one per nibble, every bit inverted when negative.
bool DecodeBcd(const unsigned char* p, FieldValue& v, std::string& why) {
    if (!(p[0] & 0x40))
        return true;
    const bool negative = !(p[0] & 0x80);
    const int decimals = p[0] & 0x3F;
    if (decimals > 32) {
        why = "unreadable BCD value";
        return false;
    }
    std::string text = negative ? "-" : "";
    int significant = 0;
    for (int n = 0; n < 32; ++n) {
        const unsigned byte = negative ? ~p[1 + n / 2] & 0xFF : p[1 + n / 2];
        const unsigned digit = n % 2 ? byte & 0x0F : byte >> 4;
        if (digit > 9) {
            if (significant < kBcdTrustedDigits) {
                why = "unreadable BCD value";
                return false;
            }
            break;
        }
        if (n == 32 - decimals)
            text += '.';
        text += static_cast<char>('0' + digit);
        if (digit || significant)
            ++significant;
    }
    char rounded[40];
    std::snprintf(rounded, sizeof rounded, "%.*g", kBcdKeptDigits,
                  std::strtod(text.c_str(), nullptr));
    v.kind = FieldValue::Real;
    v.r = std::strtod(rounded, nullptr);
    return true;
}

bool DecodeTimestamp(const unsigned char* p, FieldValue& v, std::string& why) {
    const double total = FlippedDouble(p);
    const double days = std::floor(total / static_cast<double>(kMsPerDay));
    if (!(days >= 1 && days <= static_cast<double>(kLastDay)) ||
        !DateOfDay(static_cast<int64_t>(days), v)) {
        why = "timestamp out of range";
        return false;
    }
    v.kind = FieldValue::Timestamp;
    v.ms = std::min<int64_t>(std::llround(total - days * static_cast<double>(kMsPerDay)), 86399999);
    return true;
}

bool DecodeInteger(const Field& f, const unsigned char* p, FieldValue& v, std::string& why) {
    v.i = FlippedInteger(p, f.length);
    if (f.type == kDate) {
        if (!DateOfDay(v.i, v)) {
            why = "date out of range (day " + std::to_string(v.i) + ")";
            return false;
        }
        v.kind = FieldValue::Date;
    } else if (f.type == kTime) {
        if (v.i < 0 || v.i >= 86400000) {
            why = "time out of range";
            return false;
        }
        v.kind = FieldValue::Time;
        v.ms = v.i;
    } else {
        v.kind = FieldValue::Int;
    }
    return true;
}

}  // namespace

bool DateOfDay(int64_t day, FieldValue& v) {
    if (day < 1 || day > kLastDay)
        return false;
    // Civil date from a day count (days since 1 March of year 0).
    const int64_t z = day + 305;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    v.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    v.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    v.year = static_cast<int>(yoe + era * 400 + (v.month <= 2 ? 1 : 0));
    return true;
}

bool DecodeField(const Field& f, const unsigned char* p, FieldValue& v, std::string& why) {
    v = FieldValue();
    switch (f.type) {
        case kAlpha:
            if (p[0]) {
                v.kind = FieldValue::Text;
                v.s.assign(reinterpret_cast<const char*>(p),
                           strnlen(reinterpret_cast<const char*>(p), f.length));
            }
            return true;
        case kDate:
        case kTime:
        case kLong:
        case kAutoIncrement:
        case kShort:
            return AllZero(p, f.length) || DecodeInteger(f, p, v, why);
        case kNumber:
        case kCurrency:
            if (!AllZero(p, f.length)) {
                v.kind = FieldValue::Real;
                v.r = FlippedDouble(p);
            }
            return true;
        case kTimestamp:
            return AllZero(p, f.length) || DecodeTimestamp(p, v, why);
        case kLogical:
            if (p[0]) {
                v.kind = FieldValue::Int;
                v.i = p[0] == 0x80 ? 0 : 1;
            }
            return true;
        case kBcd:
            return DecodeBcd(p, v, why);
    }
    why = FieldTypeWithArticle(f.type) + " field cannot be read";
    return false;
}

}  // namespace tallon::db::paradox
