#include "recovery/external_writer.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "base/errors.h"
#include "base/int_conversion.h"
#include "base/text.h"
#include "log/activity_log.h"
#include "recovery/lookup.h"
#include "recovery/raw_record.h"
#include "recovery/statements.h"
#include "recovery/writer_failure.h"

namespace tallon {
namespace {

using db::CheckedWriteOutcome;
using db::Statement;
using db::Value;

// PostgreSQL text cannot hold a NUL byte, and a value cut at one would be
// stored (and checked for duplicates) as another value: such a line is
// refused whole, on every alias alike.
void RefuseNul(const std::string& value, const char* field) {
    if (value.find('\0') != std::string::npos) {
        throw EDatabaseError(std::string("Field ") + field +
                             " holds a NUL byte, which the database cannot store");
    }
}

// Tries of one insert whose record id is already taken.
constexpr int kRecordIdAttempts = 5;

// The duplicate check's values loosened the ways a database may compare
// them as equal (blank padding, case, leading zeros of a number), so lines
// that could find each other always share a key. Lines that share one only
// by the loosening merely run in separate calls.
std::string DuplicateKey(const Statement& check) {
    std::string key;
    for (const Value& v : check.values) {
        const std::string& text = v.text();
        size_t b = 0, e = text.size();
        while (b < e && (text[b] == ' ' || text[b] == '0')) {
            ++b;
        }
        while (e > b && text[e - 1] == ' ') {
            --e;
        }
        for (size_t i = b; i < e; ++i) {
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        }
        key += '\x1f';
    }
    return key;
}

void Decide(ExternalLine& line, LineOutcome outcome, std::string message, bool inMemo) {
    line.waiting = false;
    line.outcome = outcome;
    line.message = std::move(message);
    line.inMemo = inMemo;
}

// The values of the row inserted into trans, in the table's column order.
std::vector<Value> TransRow(const std::string& recordId, const RawRecord& rec,
                            const std::string& eventDate, const std::string& eventTime,
                            const std::string& deviceName, const CardHolder& holder) {
    static const std::string kLocation = ".", kEmpty, kType = "0";
    const std::string holderName = Trim(holder.name);
    std::vector<Value> row;
    row.reserve(15);
    for (const std::string* v : std::initializer_list<const std::string*>{
             &recordId, &eventTime, &rec.cardNumber, &eventDate, &deviceName, &kLocation,
             &holderName, &holder.staffNumber, &holder.user1, &holder.user2, &holder.user3, &kEmpty,
             &rec.transCode, &kEmpty, &kType}) {
        row.push_back(Value::Text(*v));
    }
    return row;
}

}  // namespace

ExternalWriter::ExternalWriter(Host& host, db::Query& query, RecordIdIssuer& recordIds,
                               Settings settings, LookupCache* lookups)
    : host_(host), query_(query), recordIds_(recordIds), settings_(settings), lookups_(lookups) {}

LineResult ExternalWriter::CV_InsertThisOne(RunMode mode, const std::string& unitCode,
                                            const std::string& /*defaultDevice*/,
                                            const std::string& recordText) {
    ExternalLine line = Prepare(mode, unitCode, recordText);
    if (line.waiting) {
        ExternalLine* one = &line;
        Write(std::span<ExternalLine*>(&one, 1));
    }
    return Report(line);
}

size_t ExternalWriter::LinesPerWrite() {
    try {
        return std::max<size_t>(1, query_.CheckedWritesPerCall());
    } catch (const Exception&) {
        return 1;  // the first line's statements will say why
    }
}

ExternalLine ExternalWriter::Prepare(RunMode mode, const std::string& unitCode,
                                     const std::string& recordText) {
    ExternalLine out;
    out.recordText = recordText;
    bool decoded = false;
    try {
        RawRecord rec = DecodeRawRecord(unitCode, recordText);
        decoded = true;
        out.unitCodeAsRead = rec.unitCodeAsRead;
        // The second external system keeps ten-digit card numbers.
        if (mode == RunMode::Velora) {
            rec.cardNumber = "0000" + rec.cardNumber;
        }
        RefuseNul(rec.cardNumber, "card_no");
        RefuseNul(rec.transCode, "trans_code");
        RefuseNul(rec.readerId, "spare3");

        query_.Close();
        query_.Clear();
        const std::string unitNumber = IntToStr(StrToInt(rec.UnitCode));
        const std::optional<std::string> deviceName = TagName(rec, unitNumber);
        if (!deviceName) {
            Decide(out, LineOutcome::UnknownReader,
                   "Device for unit: " + rec.UnitCode + " not found: " + rec.UnitCode + "," +
                       rec.readerId,
                   false);
            return out;
        }
        CardHolder holder;
        if (!Trim(rec.cardNumber).empty()) {
            if (std::optional<CardHolder> found = HolderOf(rec.cardNumber)) {
                holder = std::move(*found);
            } else if (!settings_.allowUnknownCards) {
                Decide(out, LineOutcome::UnknownCard, "Card: " + rec.cardNumber + " not found",
                       true);
                return out;
            } else {
                holder = CardHolder{"Unknown", "STF" + rec.cardNumber, "Dept1", "Post1", ""};
            }
        }
        query_.Close();
        Statements(out, rec, *deviceName, holder);
        return out;
    } catch (const Exception& e) {
        query_.Close();
        Decide(out, decoded ? LineOutcome::Failed : LineOutcome::Undecodable,
               ExternalFailureLine(e.Message(), recordText), false);
        return out;
    }
}

std::optional<std::string> ExternalWriter::TagName(const RawRecord& rec,
                                                   const std::string& unitNumber) {
    const auto ask = [&]() -> std::optional<std::string> {
        const Value point = Value::Text(unitNumber);
        const Value pointWithZero = Value::Text("0" + unitNumber);
        const Statement lookup = !rec.readerId.empty()
                                     ? Statement{"rdrmain",
                                                 statements::kReaderLookupWithId,
                                                 {point, pointWithZero, Value::Text(rec.readerId)}}
                                     : Statement{"rdrmain",
                                                 statements::kReaderLookupWithoutId,
                                                 {point, pointWithZero, Value::Text("")}};
        if (!RunLookup(query_, lookup)) {
            return std::nullopt;
        }
        // A reader whose tag name is empty names no device either.
        std::string tag = query_.FieldAsString("tag_name");
        return tag.empty() ? std::nullopt : std::optional<std::string>(std::move(tag));
    };
    const DeviceKey key{unitNumber, rec.readerId};
    return lookups_ ? lookups_->Device(key, ask) : ask();
}

std::optional<CardHolder> ExternalWriter::HolderOf(const std::string& cardNumber) {
    const auto ask = [&]() -> std::optional<CardHolder> {
        if (!RunLookup(
                query_,
                Statement{"cards", statements::kExternalCardLookup, {Value::Text(cardNumber)}})) {
            return std::nullopt;
        }
        return CardHolder{query_.FieldAsString("Name"), query_.FieldAsString("Staff_number"),
                          query_.FieldAsString("User1"), query_.FieldAsString("User2"),
                          query_.FieldAsString("User3")};
    };
    const CardKey key{CardKey::Table::Cards, cardNumber};
    return lookups_ ? lookups_->Holder(key, ask) : ask();
}

void ExternalWriter::Statements(ExternalLine& out, const RawRecord& rec,
                                const std::string& deviceName, const CardHolder& holder) {
    const std::string recordId = recordIds_.Issue(ActiveClock().Now());
    const std::string eventDate = FormatDateTime("yyyymmdd", rec.eventDate);
    const std::string eventTime = FormatDateTime("hhmm", rec.eventTime) + "00";
    out.unit.check =
        Statement{"trans",
                  statements::kExternalDuplicateCheck,
                  {Value::Text(deviceName), Value::Text(eventDate), Value::Text(eventTime),
                   Value::Text(rec.cardNumber), Value::Text(rec.transCode)},
                  Statement::Intent::ReadBeforeWrite};
    out.unit.write = Statement{"trans", statements::kInsertTrans,
                               TransRow(recordId, rec, eventDate, eventTime, deviceName, holder),
                               Statement::Intent::Write};
    out.duplicateKey = DuplicateKey(out.unit.check);
    out.waiting = true;
}

void ExternalWriter::Write(std::span<ExternalLine*> lines) {
    std::vector<ExternalLine*> todo(lines.begin(), lines.end());
    std::vector<db::CheckedWrite> units;
    std::vector<CheckedWriteOutcome> outcomes;
    while (!todo.empty()) {
        // The statements travel to the call and back without copies.
        units.clear();
        for (ExternalLine* line : todo) {
            units.push_back(std::move(line->unit));
        }
        try {
            query_.RunCheckedWrites(units, outcomes);
        } catch (const Exception& e) {
            outcomes.assign(todo.size(), CheckedWriteOutcome{});
            for (CheckedWriteOutcome& o : outcomes) {
                o.message = e.Message();
            }
        }
        std::vector<ExternalLine*> again;
        for (size_t i = 0; i < todo.size(); ++i) {
            todo[i]->unit = std::move(units[i]);
            DecideWritten(*todo[i], outcomes[i], again);
        }
        todo.swap(again);
    }
}

void ExternalWriter::DecideWritten(ExternalLine& line, const CheckedWriteOutcome& o,
                                   std::vector<ExternalLine*>& again) {
    switch (o.result) {
        case CheckedWriteOutcome::Result::Written:
            Decide(line, LineOutcome::Added, "", false);
            return;
        case CheckedWriteOutcome::Result::Found:
            Decide(line, LineOutcome::Duplicate,
                   "Dup: " + line.unitCodeAsRead + ", " + line.recordText, true);
            return;
        case CheckedWriteOutcome::Result::Failed:
            break;
    }
    // Another machine, or a run from before ids were shared, may hold the
    // record id already: the insert is tried again with the next.
    if (o.code == DatabaseErrorCode::UniqueViolation && ++line.insertAttempts < kRecordIdAttempts) {
        line.unit.write.values[0] = Value::Text(recordIds_.Issue(ActiveClock().Now()));
        again.push_back(&line);
        return;
    }
    Decide(line, LineOutcome::Failed, ExternalFailureLine(o.message, line.recordText), false);
}

LineResult ExternalWriter::Report(const ExternalLine& line) {
    if (line.outcome == LineOutcome::Added) {
        // The alias connection is the batch's only member.
        return LineResult::Added(nullptr);
    }
    if (line.inMemo) {
        host_.AddMemoLine(line.message);
    }
    LogLine(line.message);
    return LineResult::NotAdded(line.outcome, line.message);
}

}  // namespace tallon
