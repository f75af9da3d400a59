#include "db/local/schema.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "base/date_time.h"
#include "base/errors.h"
#include "base/text.h"

namespace tallon::db::local {

const char* KindName(FieldKind kind) {
    switch (kind) {
        case FieldKind::Text:
            return "text";
        case FieldKind::Float:
            return "float";
        case FieldKind::Date:
            return "date";
        case FieldKind::Time:
            return "time";
        case FieldKind::Integer:
            return "integer";
    }
    return "text";
}

std::optional<FieldKind> KindFromName(const std::string& name) {
    const std::string n = LowerCase(Trim(name));
    if (n == "text")
        return FieldKind::Text;
    if (n == "float")
        return FieldKind::Float;
    if (n == "date")
        return FieldKind::Date;
    if (n == "time")
        return FieldKind::Time;
    if (n == "integer")
        return FieldKind::Integer;
    return std::nullopt;
}

std::string DeclaredType(const FieldDef& field) {
    switch (field.kind) {
        case FieldKind::Text:
            return field.size > 0 ? "TEXT(" + std::to_string(field.size) + ")" : "TEXT";
        case FieldKind::Float:
            return "REAL";
        case FieldKind::Date:
            return "DATE TEXT";
        case FieldKind::Time:
            return "TIME TEXT";
        case FieldKind::Integer:
            return "INTEGER";
    }
    return "TEXT";
}

FieldDef FieldFromDeclared(const std::string& name, const std::string& declared) {
    FieldDef f;
    f.name = name;
    const std::string d = UpperCase(Trim(declared));
    if (d.rfind("DATE", 0) == 0) {
        f.kind = FieldKind::Date;
    } else if (d.rfind("TIME", 0) == 0) {
        f.kind = FieldKind::Time;
    } else if (d.find("INT") != std::string::npos) {
        f.kind = FieldKind::Integer;
    } else if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
               d.find("DOUB") != std::string::npos || d.find("NUM") != std::string::npos) {
        f.kind = FieldKind::Float;
    } else {
        f.kind = FieldKind::Text;
        const auto open = d.find('(');
        if (open != std::string::npos) {
            f.size = std::atoi(d.c_str() + open + 1);
        }
    }
    return f;
}

namespace {

// Written digit by digit: these run several times for every record, where
// snprintf's format parsing was a measurable share of the work.
void PutDigits(char* out, int value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

}  // namespace

std::string StoredDate(double v) {
    const DateParts p = DecodeDate(DateTime{v});
    std::string out = "0000-00-00";
    PutDigits(out.data(), p.year, 4);
    PutDigits(out.data() + 5, p.month, 2);
    PutDigits(out.data() + 8, p.day, 2);
    return out;
}

std::string StoredTime(double v) {
    const TimeParts t = DecodeTime(TimePart(DateTime{v}));
    std::string out = "00:00:00";
    PutDigits(out.data(), t.hour % 24, 2);
    PutDigits(out.data() + 3, t.minute, 2);
    PutDigits(out.data() + 6, t.second, 2);
    return out;
}

namespace {
bool ReadNumber(const std::string& s, size_t& pos, int maxDigits, int& out) {
    const size_t start = pos;
    out = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' &&
           pos - start < static_cast<size_t>(maxDigits)) {
        out = out * 10 + (s[pos] - '0');
        ++pos;
    }
    return pos > start;
}
}  // namespace

bool ParseDateLiteral(const std::string& text, std::string& stored) {
    const std::string s = Trim(text);
    int y = 0, m = 0, d = 0;
    size_t pos = 0;
    if (s.size() == 10 && s[4] == '-' && s[7] == '-') {
        if (!ReadNumber(s, pos, 4, y) || pos != 4)
            return false;
        ++pos;
        if (!ReadNumber(s, pos, 2, m) || pos != 7)
            return false;
        ++pos;
        if (!ReadNumber(s, pos, 2, d) || pos != 10)
            return false;
    } else {
        if (!ReadNumber(s, pos, 2, m) || pos >= s.size() || s[pos] != '/')
            return false;
        ++pos;
        if (!ReadNumber(s, pos, 2, d) || pos >= s.size() || s[pos] != '/')
            return false;
        ++pos;
        const size_t ys = pos;
        if (!ReadNumber(s, pos, 4, y) || pos != s.size() || pos - ys != 4)
            return false;
    }
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m))
        return false;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    stored = buf;
    return true;
}

bool ParseTimeLiteral(const std::string& text, std::string& stored) {
    TimeParts t;
    if (!ParseTimeText(Trim(text), t, Regional()))
        return false;
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 ||
        t.second > 59) {
        return false;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    stored = buf;
    return true;
}

std::string RealText(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string QuoteIdent(const std::string& name) {
    return QuotedWith(name, '"');
}

namespace {

bool WholeNumber(const std::string& s, double& out) {
    const std::string t = Trim(s);
    if (t.empty())
        return false;
    char* end = nullptr;
    out = std::strtod(t.c_str(), &end);
    return end && *end == '\0';
}

Value FromNumber(FieldKind kind, double v) {
    switch (kind) {
        case FieldKind::Float:
            return Value::Float(v);
        case FieldKind::Integer:
            return Value::Integer(std::llround(v));
        case FieldKind::Date:
            return Value::Text(StoredDate(v));
        case FieldKind::Time:
            return Value::Text(StoredTime(v));
        case FieldKind::Text:
            break;
    }
    return Value::Text(RealText(v));
}

}  // namespace

Value StoredValue(FieldKind kind, Value value, const std::string& owner) {
    std::string stored;
    double number = 0;
    switch (value.kind()) {
        case Value::Kind::Null:
            return value;
        case Value::Kind::Integer:
            return FromNumber(kind, static_cast<double>(value.integer()));
        case Value::Kind::Float:
            return FromNumber(kind, value.number());
        case Value::Kind::Date:
            return kind == FieldKind::Float || kind == FieldKind::Integer
                       ? FromNumber(kind, std::floor(value.number()))
                       : Value::Text(StoredDate(value.number()));
        case Value::Kind::Time:
            return kind == FieldKind::Float || kind == FieldKind::Integer
                       ? FromNumber(kind, value.number())
                       : Value::Text(StoredTime(value.number()));
        case Value::Kind::Text:
            break;
    }
    const std::string& text = value.text();
    switch (kind) {
        case FieldKind::Text:
            return value;
        case FieldKind::Date:
            if (!ParseDateLiteral(text, stored))
                throw EDatabaseError(owner + ": '" + text + "' is not a valid date");
            return Value::Text(stored);
        case FieldKind::Time:
            if (!ParseTimeLiteral(text, stored))
                throw EDatabaseError(owner + ": '" + text + "' is not a valid time");
            return Value::Text(stored);
        case FieldKind::Float:
        case FieldKind::Integer:
            if (Trim(text).empty())
                return Value();
            if (!WholeNumber(text, number))
                throw EDatabaseError(owner + ": '" + text + "' is not a valid number");
            return FromNumber(kind, number);
    }
    return value;
}

std::vector<FieldDef> ParseSchemaText(const std::string& text, const std::string& file) {
    std::vector<FieldDef> fields;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string t = Trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        const auto colon = t.rfind(':');
        auto bad = [&](const std::string& why) {
            return Exception(file + " line " + std::to_string(number) + ": " + why);
        };
        if (colon == std::string::npos)
            throw bad("expected NAME: KIND [SIZE]");
        FieldDef f;
        f.name = Trim(t.substr(0, colon));
        std::istringstream rest(t.substr(colon + 1));
        std::string kind, size, extra;
        rest >> kind >> size >> extra;
        if (f.name.empty())
            throw bad("missing field name");
        const auto k = KindFromName(kind);
        if (!k)
            throw bad("unknown kind '" + kind + "' (text, float, date, time, integer)");
        f.kind = *k;
        if (!size.empty()) {
            if (f.kind != FieldKind::Text)
                throw bad("only text fields have a size");
            char* end = nullptr;
            const long n = std::strtol(size.c_str(), &end, 10);
            if (*end || n < 1 || n > 65535)
                throw bad("invalid size '" + size + "'");
            f.size = static_cast<int>(n);
        }
        if (!extra.empty())
            throw bad("unexpected '" + extra + "'");
        fields.push_back(f);
    }
    return fields;
}

}  // namespace tallon::db::local
