#pragma once

// Paradox tables written with the Paradox library's own writer, for the
// import tests. Short values only: the writer does not check lengths. What
// the writer cannot make (memos in a .MB file, damaged files) the tests
// write as bytes.

#include <cstdint>
#include <string>
#include <vector>

namespace tallon::test {

struct PxField {
    std::string name;
    int type = 0;  // db::paradox::FieldType
    int length = 0;
    int decimals = 0;
};

struct PxCell {
    enum Kind { Null, Long, Double, Text } kind = Null;
    long l = 0;
    double d = 0;
    std::string s;
};

PxCell PxNull();
PxCell PxLong(long v);
PxCell PxDouble(double v);
// Alpha, and BCD as its decimal text with all its decimals written out
// (pxlib reads past a BCD text that has fewer, and writes what it found).
PxCell PxText(const std::string& v);
PxCell PxDate(int year, int month, int day);
PxCell PxTime(int hour, int minute, int second);
PxCell PxTimestamp(int year, int month, int day, int hour, int minute, int second);

// Writes path (NAME.DB); the first keyFields fields form the primary key.
// A password makes a password-protected (scrambled) table.
void WriteParadoxTable(const std::string& path, const std::vector<PxField>& fields,
                       const std::vector<std::vector<PxCell>>& rows, int keyFields = 0,
                       int codePage = 1252, const std::string& password = "");

// Where the bytes of a table's records are: the file offset of record `n`
// (0-based) of the first block.
int64_t PxRecordOffset(const std::string& dbBytes, int n);

// The layout of a table file, as its header gives it.
struct PxLayout {
    int headerSize = 0;
    int recordSize = 0;
    int blockSize = 0;
    int blocks = 0;  // blocks in the file
    int64_t BlockOffset(int number) const {
        return headerSize + static_cast<int64_t>(number - 1) * blockSize;
    }
    // The records block `number` (1 for the first) says it holds.
    int64_t RecordsIn(const std::string& dbBytes, int number) const;
};
PxLayout PxLayoutOf(const std::string& dbBytes);

// Scrambles every data block of a table with `key` and records the key in
// its header, as a password-protected table has them.
void PxScramble(const std::string& dbPath, uint32_t key);

// A .MB file as Paradox writes one: the 4 KB header, each of `own` in a block
// of its own, then `shared` (each under 2 KB) together in one shared block;
// scrambled with `key` (the table's, from its header) unless 0. `pointers`
// gets where each blob is, `own` first, as a record holds it.
std::string PxMemoFile(const std::vector<std::string>& own, const std::vector<std::string>& shared,
                       uint32_t key, std::vector<uint32_t>& pointers);

// Makes the memo field at `fieldOffset` (length `fieldLength`, its last 10
// bytes the pointer) of record `n` hold `text`: its leader gets the first
// bytes, the pointer `pointer` and the length. Works on tables that are not
// password-protected.
void PxPointMemo(const std::string& dbPath, int n, int fieldOffset, int fieldLength,
                 uint32_t pointer, const std::string& text);

// The fields of the transaction template, as a site's Paradox tran_tpl has
// them, and a record of it.
std::vector<PxField> PxTransactionFields();
std::vector<PxCell> PxTransaction(double seq, const std::string& device, int day, int hour,
                                  int minute, const std::string& card, const std::string& name);

}  // namespace tallon::test
