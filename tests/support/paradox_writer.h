#pragma once

// Paradox tables written with the Paradox library's own writer, for the
// import tests. Short values only: the writer does not check lengths.

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
PxCell PxText(const std::string& v);
PxCell PxDate(int year, int month, int day);
PxCell PxTime(int hour, int minute, int second);
PxCell PxTimestamp(int year, int month, int day, int hour, int minute, int second);

// Writes path (NAME.DB); the first keyFields fields form the primary key.
void WriteParadoxTable(const std::string& path, const std::vector<PxField>& fields,
                       const std::vector<std::vector<PxCell>>& rows, int keyFields = 0,
                       int codePage = 1252);

// The fields of the transaction template, as a site's Paradox tran_tpl has
// them, and a record of it.
std::vector<PxField> PxTransactionFields();
std::vector<PxCell> PxTransaction(double seq, const std::string& device, int day, int hour,
                                  int minute, const std::string& card, const std::string& name);

}  // namespace tallon::test
