#include "recovery/record_id.h"

#include <cstdio>

#include "base/int_conversion.h"

namespace tallon {
namespace {

// Every field of an id is 0-99; written by hand, as formatting is a
// noticeable part of issuing an id for every record.
void AppendTwoDigits(std::string& out, int n) {
    if (n < 0 || n > 99) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%2.2d", n);
        out += buf;
        return;
    }
    out += static_cast<char>('0' + n / 10);
    out += static_cast<char>('0' + n % 10);
}

std::string TwoDigits(int n) {
    std::string out;
    AppendTwoDigits(out, n);
    return out;
}

}  // namespace

std::string RecordIdAt(DateTime now) {
    const DateParts d = DecodeDate(now);
    const TimeParts t = DecodeTime(now);
    std::string id;
    id.reserve(14);
    for (const int n :
         {d.year % 100, d.month, d.day, t.hour, t.minute, t.second, t.millisecond % 100}) {
        AppendTwoDigits(id, n);
    }
    return id;
}

std::string NextRecordIdAfter(const std::string& id) {
    auto field = [&](size_t pos) { return StrToInt(id.substr(pos, 2)); };
    int yy = field(0), mo = field(2), dd = field(4);
    int hh = field(6), mi = field(8), ss = field(10), cc = field(12);
    if (++cc < 100) {
        return id.substr(0, 12) + TwoDigits(cc);
    }
    cc = 0;
    if (++ss == 60) {
        ss = 0;
        if (++mi == 60) {
            mi = 0;
            if (++hh == 24) {
                // The day after; the century does not matter for the order
                // within one process.
                DateTime next{EncodeDate(2000 + yy, mo, dd).value + 1.0};
                return FormatDateTime("yymmdd", next) + "00000000";
            }
        }
    }
    return id.substr(0, 6) + TwoDigits(hh) + TwoDigits(mi) + TwoDigits(ss) + TwoDigits(cc);
}

RecordIdIssuer::RecordIdIssuer() = default;
RecordIdIssuer::~RecordIdIssuer() = default;

void RecordIdIssuer::ShareThrough(const std::string& storeFile) {
    if (storeFile == storeFile_) {
        return;
    }
    storeFile_ = storeFile;
    store_.reset();
    reservedTo_.clear();
}

std::string RecordIdIssuer::Issue(DateTime now) {
    std::string id = RecordIdAt(now);
    // Identifiers have a fixed width, so text order is number order.
    if (!last_.empty() && id <= last_) {
        id = NextRecordIdAfter(last_);
    }
    if (!storeFile_.empty() && (reservedTo_.empty() || id > reservedTo_)) {
        if (!store_) {
            store_ = std::make_unique<RecordIdStore>(storeFile_);
        }
        const RecordIdBlock block = store_->Reserve(id, kRecordIdReserve);
        id = block.first;
        reservedTo_ = block.last;
    }
    last_ = id;
    return id;
}

}  // namespace tallon
