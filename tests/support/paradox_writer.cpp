#include "tests/support/paradox_writer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "db/paradox/reader.h"

extern "C" {
#include <paradox.h>
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
                       const std::vector<std::vector<PxCell>>& rows, int keyFields, int codePage) {
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
