#include <cctype>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "base/errors.h"
#include "base/int_conversion.h"
#include "base/text.h"
#include "db/query.h"
#include "log/activity_log.h"
#include "recovery/card_holder.h"
#include "recovery/external_line.h"
#include "recovery/lookup.h"
#include "recovery/raw_record.h"
#include "recovery/recovery_core.h"
#include "recovery/statements.h"

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

}  // namespace

bool RecoveryCore::CV_InsertThisOne(RunMode mode, const std::string& unitCode,
                                    const std::string& /*defaultDevice*/,
                                    const std::string& recordText) {
    ExternalLine line = PrepareExternalLine(mode, unitCode, recordText);
    if (line.waiting) {
        ExternalLine* one = &line;
        WriteExternalLines(std::span<ExternalLine*>(&one, 1));
    }
    return ReportExternalLine(line);
}

ExternalLine RecoveryCore::PrepareExternalLine(RunMode mode, const std::string& unitCode,
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

        CardHolder holder;
        std::string deviceName;

        Query1.Close();
        Query1.Clear();
        const std::string unitNumber = IntToStr(StrToInt(rec.UnitCode));
        const Value point = Value::Text(unitNumber);
        const Value pointWithZero = Value::Text("0" + unitNumber);

        // Within a run each reader is asked once (see ExternalLookups).
        const std::string readerKey =
            (rec.readerId.empty() ? "-" : "+") + unitNumber + '\0' + rec.readerId;
        if (const std::string* known = running_ ? lookups_.Device(readerKey) : nullptr) {
            deviceName = *known;
        } else {
            const Statement readerLookup =
                !rec.readerId.empty() ? Statement{"rdrmain",
                                                  statements::kReaderLookupWithId,
                                                  {point, pointWithZero, Value::Text(rec.readerId)}}
                                      : Statement{"rdrmain",
                                                  statements::kReaderLookupWithoutId,
                                                  {point, pointWithZero, Value::Text("")}};
            if (RunLookup(Query1, readerLookup)) {
                deviceName = Query1.FieldAsString("tag_name");
            }
            if (running_) {
                lookups_.KeepDevice(readerKey, deviceName);
            }
        }
        if (deviceName.empty()) {
            Decide(out, LineOutcome::UnknownReader,
                   "Device for unit: " + rec.UnitCode + " not found: " + rec.UnitCode + "," +
                       rec.readerId,
                   false);
            return out;
        }

        if (!Trim(rec.cardNumber).empty()) {
            std::optional<CardHolder> found;
            if (const auto* known = running_ ? lookups_.Holder(rec.cardNumber) : nullptr) {
                found = *known;
            } else {
                if (RunLookup(Query1, Statement{"cards",
                                                statements::kExternalCardLookup,
                                                {Value::Text(rec.cardNumber)}})) {
                    found = CardHolder{Query1.FieldAsString("Name"),
                                       Query1.FieldAsString("Staff_number"),
                                       Query1.FieldAsString("User1"), Query1.FieldAsString("User2"),
                                       Query1.FieldAsString("User3")};
                }
                if (running_) {
                    lookups_.KeepHolder(rec.cardNumber, found);
                }
            }
            if (found) {
                holder = *found;
            } else if (!AllowUnknownCards) {
                Decide(out, LineOutcome::UnknownCard, "Card: " + rec.cardNumber + " not found",
                       true);
                return out;
            } else {
                holder.name = "Unknown";
                holder.staffNumber = "STF" + rec.cardNumber;
                holder.user1 = "Dept1";
                holder.user2 = "Post1";
            }
        }
        Query1.Close();

        const std::string recordId = recordIds_.Issue(ActiveClock().Now());
        const std::string holderName = Trim(holder.name);
        static const std::string kLocation = ".", kEmpty, kType = "0";
        const std::string eventDate = FormatDateTime("yyyymmdd", rec.eventDate);
        const std::string eventTime = FormatDateTime("hhmm", rec.eventTime) + "00";

        out.unit.check =
            Statement{"trans",
                      statements::kExternalDuplicateCheck,
                      {Value::Text(deviceName), Value::Text(eventDate), Value::Text(eventTime),
                       Value::Text(rec.cardNumber), Value::Text(rec.transCode)},
                      Statement::Intent::ReadBeforeWrite};
        Statement& insert = out.unit.write;
        insert = Statement{"trans", statements::kInsertTrans, {}, Statement::Intent::Write};
        insert.values.reserve(15);
        for (const std::string* v : std::initializer_list<const std::string*>{
                 &recordId, &eventTime, &rec.cardNumber, &eventDate, &deviceName, &kLocation,
                 &holderName, &holder.staffNumber, &holder.user1, &holder.user2, &holder.user3,
                 &kEmpty, &rec.transCode, &kEmpty, &kType}) {
            insert.values.push_back(Value::Text(*v));
        }
        out.duplicateKey = DuplicateKey(out.unit.check);
        out.waiting = true;
        return out;
    } catch (const Exception& e) {
        Query1.Close();
        Decide(out, decoded ? LineOutcome::Failed : LineOutcome::Undecodable,
               "CV.Insert" + e.Message() + " s=[" + recordText + "]", false);
        return out;
    }
}

void RecoveryCore::WriteExternalLines(std::span<ExternalLine*> lines) {
    std::vector<ExternalLine*> todo(lines.begin(), lines.end());
    std::vector<db::CheckedWrite> units;
    std::vector<CheckedWriteOutcome> outcomes;
    while (!todo.empty()) {
        // The statements travel to the call and back without copies.
        units.clear();
        for (ExternalLine* line : todo) {
            units.push_back(std::move(line->unit));
        }
        std::vector<ExternalLine*> again;
        try {
            Query1.RunCheckedWrites(units, outcomes);
        } catch (const Exception& e) {
            outcomes.assign(todo.size(), CheckedWriteOutcome{});
            for (CheckedWriteOutcome& o : outcomes) {
                o.message = e.Message();
            }
        }
        for (size_t i = 0; i < todo.size(); ++i) {
            ExternalLine& line = *todo[i];
            line.unit = std::move(units[i]);
            const CheckedWriteOutcome& o = outcomes[i];
            switch (o.result) {
                case CheckedWriteOutcome::Result::Written:
                    Decide(line, LineOutcome::Added, "", false);
                    break;
                case CheckedWriteOutcome::Result::Found:
                    Decide(line, LineOutcome::Duplicate,
                           "Dup: " + line.unitCodeAsRead + ", " + line.recordText, true);
                    break;
                case CheckedWriteOutcome::Result::Failed:
                    // Another machine, or a run from before ids were shared,
                    // may hold the record id already: the insert is tried
                    // again with the next.
                    if (o.code == DatabaseErrorCode::UniqueViolation &&
                        ++line.insertAttempts < kRecordIdAttempts) {
                        line.unit.write.values[0] =
                            Value::Text(recordIds_.Issue(ActiveClock().Now()));
                        again.push_back(&line);
                        break;
                    }
                    Decide(line, LineOutcome::Failed,
                           "CV.Insert" + o.message + " s=[" + line.recordText + "]", false);
                    break;
            }
        }
        todo.swap(again);
    }
}

bool RecoveryCore::ReportExternalLine(const ExternalLine& line) {
    if (line.outcome == LineOutcome::Added) {
        return true;
    }
    if (line.inMemo) {
        host_.AddMemoLine(line.message);
    }
    LogLine(line.message);
    return Refuse(line.outcome, line.message);
}

}  // namespace tallon
