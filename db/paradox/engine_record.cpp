#include "db/paradox/engine_record.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/date_time.h"

namespace tallon::db::paradox {

namespace {

std::string TimestampText(const FieldValue& v) {
    char buf[40];
    const int64_t s = v.ms / 1000;
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", v.year, v.month, v.day,
                  static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                  static_cast<int>(s % 60));
    return buf;
}

// Appends one stored key part; false for a part the index leaves out of
// its uniqueness (NULL, and a NaN the store keeps as NULL).
bool AppendPart(const db::Value& v, std::string& key) {
    switch (v.kind()) {
        case db::Value::Kind::Null:
            return false;
        case db::Value::Kind::Integer:
            key += 'i' + std::to_string(v.integer()) + ';';
            return true;
        case db::Value::Kind::Text:
            key += 't' + std::to_string(v.text().size()) + ':' + v.text();
            return true;
        default: {
            double d = v.number();
            if (std::isnan(d))
                return false;
            if (d == 0)
                d = 0;  // -0 and 0 are one key
            char bytes[sizeof d];
            std::memcpy(bytes, &d, sizeof d);
            key += 'f' + std::string(bytes, sizeof d);
            return true;
        }
    }
}

}  // namespace

db::Value EngineValue(const FieldValue& v) {
    switch (v.kind) {
        case FieldValue::Null:
            return {};
        case FieldValue::Int:
            return db::Value::Integer(v.i);
        case FieldValue::Real:
            return db::Value::Float(v.r);
        case FieldValue::Text:
            return db::Value::Text(v.s);
        case FieldValue::Date:
            return db::Value::Date(EncodeDate(v.year, v.month, v.day));
        case FieldValue::Time:
            return db::Value::Time(
                EncodeTime(static_cast<int>(v.ms / 3600000), static_cast<int>(v.ms / 60000 % 60),
                           static_cast<int>(v.ms / 1000 % 60), static_cast<int>(v.ms % 1000)));
        case FieldValue::Timestamp:
            return db::Value::Text(TimestampText(v));
    }
    return {};
}

KeyCheck::KeyCheck(std::vector<int> places, std::vector<local::FieldDef> fields)
    : places_(std::move(places)), fields_(std::move(fields)) {}

int64_t KeyCheck::Add(const std::vector<db::Value>& record, int64_t number) {
    if (places_.empty())
        return 0;
    std::string key;
    for (size_t i = 0; i < places_.size(); ++i) {
        const db::Value stored =
            local::StoredValue(fields_[i].kind, record[static_cast<size_t>(places_[i])], "key");
        if (!AppendPart(stored, key))
            return 0;
    }
    const auto [it, added] = seen_.emplace(std::move(key), number);
    return added ? 0 : it->second;
}

}  // namespace tallon::db::paradox
