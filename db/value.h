#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "base/date_time.h"

namespace tallon::db {

// One value bound to a statement placeholder or set into a record field,
// carried with its kind so nothing has to be parsed back from text. Dates
// and times are kept as date-time values; the store that receives them
// writes them in its own form.
class Value {
  public:
    enum class Kind { Null, Integer, Float, Text, Date, Time };

    Value() = default;
    static Value Text(std::string text) { return Value(Kind::Text, std::move(text)); }
    static Value Float(double v) {
        Value x(Kind::Float, {});
        x.number_ = v;
        return x;
    }
    static Value Integer(int64_t v) {
        Value x(Kind::Integer, {});
        x.integer_ = v;
        return x;
    }
    static Value Date(DateTime v) {
        Value x(Kind::Date, {});
        x.number_ = v.value;
        return x;
    }
    static Value Time(DateTime v) {
        Value x(Kind::Time, {});
        x.number_ = v.value;
        return x;
    }

    Kind kind() const { return kind_; }
    bool IsNull() const { return kind_ == Kind::Null; }
    const std::string& text() const { return text_; }
    double number() const { return number_; }
    int64_t integer() const { return integer_; }
    DateTime dateTime() const { return DateTime{number_}; }

  private:
    Value(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_ = Kind::Null;
    std::string text_;
    double number_ = 0;
    int64_t integer_ = 0;
};

}  // namespace tallon::db
