#include <optional>

#include "base/clock.h"
#include "base/errors.h"
#include "base/int_conversion.h"
#include "base/text.h"
#include "db/query.h"
#include "log/activity_log.h"
#include "recovery/card_holder.h"
#include "recovery/lookup.h"
#include "recovery/raw_record.h"
#include "recovery/recovery_core.h"
#include "recovery/statements.h"

namespace tallon {
namespace {

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

}  // namespace

bool RecoveryCore::CV_InsertThisOne(RunMode mode, const std::string& unitCode,
                                    const std::string& /*defaultDevice*/,
                                    const std::string& recordText) {
    bool decoded = false;
    try {
        RawRecord rec = DecodeRawRecord(unitCode, recordText);
        decoded = true;
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

        const Statement readerLookup =
            !rec.readerId.empty() ? Statement{"rdrmain",
                                              statements::kReaderLookupWithId,
                                              {point, pointWithZero, Value::Text(rec.readerId)}}
                                  : Statement{"rdrmain",
                                              statements::kReaderLookupWithoutId,
                                              {point, pointWithZero, Value::Text("")}};
        // Within a run each reader is asked once (see ExternalLookups).
        const std::string readerKey =
            (rec.readerId.empty() ? "-" : "+") + unitNumber + '\0' + rec.readerId;
        if (const std::string* known = running_ ? lookups_.Device(readerKey) : nullptr) {
            deviceName = *known;
        } else {
            if (RunLookup(Query1, readerLookup)) {
                deviceName = Query1.FieldAsString("tag_name");
            }
            if (running_) {
                lookups_.KeepDevice(readerKey, deviceName);
            }
        }
        if (deviceName.empty()) {
            const std::string line = "Device for unit: " + rec.UnitCode +
                                     " not found: " + rec.UnitCode + "," + rec.readerId;
            LogLine(line);
            return Refuse(LineOutcome::UnknownReader, line);
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
                const std::string line = "Card: " + rec.cardNumber + " not found";
                host_.AddMemoLine(line);
                LogLine(line);
                return Refuse(LineOutcome::UnknownCard, line);
            } else {
                holder.name = "Unknown";
                holder.staffNumber = "STF" + rec.cardNumber;
                holder.user1 = "Dept1";
                holder.user2 = "Post1";
            }
        }

        const std::string recordId = recordIds_.Issue(ActiveClock().Now());
        const std::string holderName = Trim(holder.name);
        static const std::string kLocation = ".", kEmpty, kType = "0";
        const std::string eventDate = FormatDateTime("yyyymmdd", rec.eventDate);
        const std::string eventTime = FormatDateTime("hhmm", rec.eventTime) + "00";

        if (RunLookup(Query1, Statement{"trans",
                                        statements::kExternalDuplicateCheck,
                                        {Value::Text(deviceName), Value::Text(eventDate),
                                         Value::Text(eventTime), Value::Text(rec.cardNumber),
                                         Value::Text(rec.transCode)},
                                        Statement::Intent::ReadBeforeWrite})) {
            const std::string line = "Dup: " + rec.unitCodeAsRead + ", " + recordText;
            host_.AddMemoLine(line);
            LogLine(line);
            return Refuse(LineOutcome::Duplicate, line);
        }

        Statement insert{"trans", statements::kInsertTrans, {}, Statement::Intent::Write};
        for (const std::string* v : std::initializer_list<const std::string*>{
                 &recordId, &eventTime, &rec.cardNumber, &eventDate, &deviceName, &kLocation,
                 &holderName, &holder.staffNumber, &holder.user1, &holder.user2, &holder.user3,
                 &kEmpty, &rec.transCode, &kEmpty, &kType}) {
            insert.values.push_back(Value::Text(*v));
        }
        // Another machine, or a run from before ids were shared, may hold the
        // record id already: the insert is tried again with the next.
        for (int attempt = 1;; ++attempt) {
            try {
                Query1.Close();
                Query1.Clear();
                Query1.ExecSQL(insert);
                break;
            } catch (const EDatabaseError& e) {
                if (e.Code() != DatabaseErrorCode::UniqueViolation ||
                    attempt == kRecordIdAttempts) {
                    throw;
                }
                insert.values[0] = Value::Text(recordIds_.Issue(ActiveClock().Now()));
            }
        }
        Query1.Close();
        return true;
    } catch (const Exception& e) {
        const std::string line = "CV.Insert" + e.Message() + " s=[" + recordText + "]";
        Refuse(decoded ? LineOutcome::Failed : LineOutcome::Undecodable, line);
        LogLine(line);
        return false;
    }
}

}  // namespace tallon
