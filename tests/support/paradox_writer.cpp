#include "tests/support/paradox_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "db/paradox/reader.h"
#include "tests/support/temp_dir.h"

extern "C" {
#include <paradox.h>
// The library's own scrambler for .MB blocks (exported, not declared).
void px_encrypt_mb_block(unsigned char* src, unsigned char* dest, unsigned long encryption,
                         unsigned long blocksize);
void px_encrypt_db_block(unsigned char* src, unsigned char* dest, unsigned long encryption,
                         unsigned long blocksize, unsigned long blockno);
}

namespace tallon::test {

namespace {
constexpr long kSerialDayOfDayZero = 1721425;
long Days(int y, int m, int d) {
    return PX_GregorianToSdn(y, m, d) - kSerialDayOfDayZero;
}
}  // namespace

PxCell PxNull() {
    return {};
}
PxCell PxLong(long v) {
    PxCell c;
    c.kind = PxCell::Long;
    c.l = v;
    return c;
}
PxCell PxDouble(double v) {
    PxCell c;
    c.kind = PxCell::Double;
    c.d = v;
    return c;
}
PxCell PxText(const std::string& v) {
    PxCell c;
    c.kind = PxCell::Text;
    c.s = v;
    return c;
}
PxCell PxDate(int year, int month, int day) {
    return PxLong(Days(year, month, day));
}
PxCell PxTime(int hour, int minute, int second) {
    return PxLong((hour * 3600L + minute * 60L + second) * 1000L);
}
PxCell PxTimestamp(int year, int month, int day, int hour, int minute, int second) {
    return PxDouble(Days(year, month, day) * 86400000.0 +
                    (hour * 3600.0 + minute * 60.0 + second) * 1000.0);
}

void WriteParadoxTable(const std::string& path, const std::vector<PxField>& fields,
                       const std::vector<std::vector<PxCell>>& rows, int keyFields, int codePage,
                       const std::string& password) {
    PX_boot();
    pxdoc_t* doc = PX_new();
    ASSERT_NE(doc, nullptr);
    const int n = static_cast<int>(fields.size());
    // The library takes the field array over and frees it with the document.
    auto* pf = static_cast<pxfield_t*>(doc->malloc(doc, sizeof(pxfield_t) * n, "fields"));
    for (int i = 0; i < n; ++i) {
        pf[i].px_fname = PX_strdup(doc, fields[i].name.c_str());
        pf[i].px_ftype = static_cast<char>(fields[i].type);
        pf[i].px_flen = fields[i].length;
        pf[i].px_fdc = fields[i].decimals;
    }
    ASSERT_EQ(PX_create_file(doc, pf, n, path.c_str(),
                             keyFields ? pxfFileTypIndexDB : pxfFileTypNonIndexDB),
              0)
        << path;
    PX_set_parameter(doc, "codepage", std::to_string(codePage).c_str());
    if (!password.empty())
        PX_set_parameter(doc, "password", password.c_str());
    doc->px_head->px_primarykeyfields = keyFields;
    for (const auto& row : rows) {
        ASSERT_EQ(static_cast<int>(row.size()), n);
        auto** values = static_cast<pxval_t**>(doc->malloc(doc, sizeof(pxval_t*) * n, "row"));
        for (int i = 0; i < n; ++i) {
            MAKE_PXVAL(doc, values[i]);
            values[i]->type = fields[i].type;
            values[i]->isnull = row[i].kind == PxCell::Null;
            values[i]->value.lval = row[i].l;
            if (row[i].kind == PxCell::Double)
                values[i]->value.dval = row[i].d;
            if (row[i].kind == PxCell::Text) {
                // The writer crashes on a value longer than its field.
                ASSERT_LE(static_cast<int>(row[i].s.size()), fields[i].length);
                values[i]->value.str.val = PX_strdup(doc, row[i].s.c_str());
                values[i]->value.str.len = static_cast<int>(row[i].s.size());
            }
        }
        EXPECT_GE(PX_insert_record(doc, values), 0);
        for (int i = 0; i < n; ++i) {
            if (row[i].kind == PxCell::Text)
                doc->free(doc, values[i]->value.str.val);
            doc->free(doc, values[i]);
        }
        doc->free(doc, values);
    }
    PX_close(doc);
    PX_delete(doc);
}

namespace {
unsigned U16(const std::string& b, size_t at) {
    return static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8);
}
void PutU32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (8 * i));
}
void PutU16(std::string& b, size_t at, unsigned v) {
    b[at] = static_cast<char>(v);
    b[at + 1] = static_cast<char>(v >> 8);
}
}  // namespace

int64_t PxRecordOffset(const std::string& db, int n) {
    return U16(db, 2) + 6 + static_cast<int64_t>(n) * U16(db, 0);
}

PxLayout PxLayoutOf(const std::string& db) {
    PxLayout l;
    l.recordSize = static_cast<int>(U16(db, 0));
    l.headerSize = static_cast<int>(U16(db, 2));
    l.blockSize = static_cast<unsigned char>(db[5]) * 1024;
    l.blocks = static_cast<int>((db.size() - l.headerSize) / l.blockSize);
    return l;
}

int64_t PxLayout::RecordsIn(const std::string& db, int number) const {
    const auto at = static_cast<size_t>(BlockOffset(number));
    const auto last = static_cast<int16_t>(U16(db, at + 4));
    return last < 0 ? 0 : last / recordSize + 1;
}

void PxScramble(const std::string& dbPath, uint32_t key) {
    std::string db = ReadWholeFile(dbPath);
    const PxLayout l = PxLayoutOf(db);
    for (int n = 1; n <= l.blocks; ++n) {
        auto* block = reinterpret_cast<unsigned char*>(db.data() + l.BlockOffset(n));
        px_encrypt_db_block(block, block, key, static_cast<unsigned long>(l.blockSize),
                            static_cast<unsigned long>(n));
    }
    PutU32(db, 0x5C, key);
    WriteWholeFile(dbPath, db);
}

std::string PxMemoFile(const std::vector<std::string>& own, const std::vector<std::string>& shared,
                       uint32_t key, std::vector<uint32_t>& pointers) {
    constexpr size_t kChunk = 4096;
    std::string mb(kChunk, '\0');
    PutU16(mb, 1, 1);  // the header: type 0, one chunk
    for (const auto& blob : own) {
        const size_t chunks = (9 + blob.size() + kChunk - 1) / kChunk;
        std::string block(chunks * kChunk, '\0');
        block[0] = 2;
        PutU16(block, 1, static_cast<unsigned>(chunks));
        PutU32(block, 3, static_cast<uint32_t>(blob.size()));
        PutU16(block, 7, 1);
        block.replace(9, blob.size(), blob);
        pointers.push_back(static_cast<uint32_t>(mb.size()) | 0xFF);
        mb += block;
    }
    if (!shared.empty()) {
        std::string block(kChunk, '\0');
        block[0] = 3;
        PutU16(block, 1, 1);
        size_t at = 0x150;      // the first 16-byte unit after the pointer table
        unsigned index = 0x3F;  // entries are used from the last one down
        for (const auto& blob : shared) {
            const size_t units = (blob.size() + 15) / 16;
            const size_t entry = 12 + 5 * index;
            block[entry] = static_cast<char>(at / 16);
            block[entry + 1] = static_cast<char>(units);
            PutU16(block, entry + 2, 1);
            block[entry + 4] = static_cast<char>(blob.size() - (units - 1) * 16);
            block.replace(at, blob.size(), blob);
            pointers.push_back(static_cast<uint32_t>(mb.size()) | index);
            at += units * 16;
            --index;
        }
        mb += block;
    }
    if (key) {
        auto* bytes = reinterpret_cast<unsigned char*>(mb.data());
        px_encrypt_mb_block(bytes, bytes, key, mb.size());
    }
    return mb;
}

void PxPointMemo(const std::string& dbPath, int n, int fieldOffset, int fieldLength,
                 uint32_t pointer, const std::string& text) {
    std::string db = ReadWholeFile(dbPath);
    const size_t at = static_cast<size_t>(PxRecordOffset(db, n) + fieldOffset);
    const size_t leader = static_cast<size_t>(fieldLength - 10);
    db.replace(at, leader, std::string(leader, '\0'));
    db.replace(at, std::min(leader, text.size()), text.substr(0, leader));
    PutU32(db, at + leader, pointer);
    PutU32(db, at + leader + 4, static_cast<uint32_t>(text.size()));
    PutU16(db, at + leader + 8, 1);
    WriteWholeFile(dbPath, db);
}

std::vector<PxField> PxTransactionFields() {
    using namespace db::paradox;
    return {{"SeqNo", kNumber, 8}, {"Device Name", kAlpha, 30}, {"Date", kDate, 4},
            {"Time", kTime, 4},    {"Location", kAlpha, 20},    {"Card No", kAlpha, 10},
            {"Name", kAlpha, 40},  {"user1", kAlpha, 30},       {"user2", kAlpha, 30},
            {"user3", kAlpha, 30}, {"Staff No", kAlpha, 15},    {"Trans Code", kAlpha, 1},
            {"Type", kAlpha, 1}};
}

std::vector<PxCell> PxTransaction(double seq, const std::string& device, int day, int hour,
                                  int minute, const std::string& card, const std::string& name) {
    return {PxDouble(seq),
            PxText(device),
            PxDate(2008, 12, day),
            PxTime(hour, minute, 0),
            PxText("."),
            PxText(card),
            PxText(name),
            PxNull(),
            PxNull(),
            PxNull(),
            PxNull(),
            PxText("1"),
            PxText("0")};
}

}  // namespace tallon::test
