#include <chrono>
#include <optional>

#include "base/clock.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/local/directory_database.h"
#include "db/query.h"
#include "log/activity_log.h"
#include "recovery/card_holder.h"
#include "recovery/lookup.h"
#include "recovery/raw_record.h"
#include "recovery/recovery_core.h"
#include "recovery/sequence_number.h"
#include "recovery/statements.h"
#include "recovery/table_files.h"

namespace tallon {

using db::Statement;
using db::Value;

bool RecoveryCore::InsertThisOne(const std::string& unitCode, const std::string& defaultDevice,
                                 const std::string& recordText) {
    bool decoded = false;
    try {
        const RawRecord rec = DecodeRawRecord(unitCode, recordText);
        decoded = true;

        std::string deviceName = defaultDevice;
        if (host_.FromTranChecked()) {
            deviceName = "CTRL" + rec.UnitCode;
        } else {
            // Within a run each unit is looked up once: "F" and the name
            // found, or "N" for a unit the table does not hold.
            const std::string key = "local|" + rec.UnitCode;
            const std::string* known = running_ ? lookups_.Device(key) : nullptr;
            std::string answer;
            if (known) {
                answer = *known;
            } else {
                if (RunLookup(Query1, Statement{"rdrmain",
                                                statements::kDeviceLookup,
                                                {Value::Text(rec.UnitCode)}})) {
                    // Appended, not "F" + temporary: GCC 12 at -O3 warns
                    // falsely about that form.
                    answer = "F";
                    answer += Query1.FieldAsString("tag_name");
                } else {
                    answer = "N";
                }
                if (running_) {
                    lookups_.KeepDevice(key, answer);
                }
            }
            if (answer[0] == 'F') {
                deviceName = answer.substr(1);
            }
        }

        CardHolder holder;
        if (!Trim(rec.cardNumber).empty()) {
            const bool fromSample = host_.FromTranChecked();
            // Within a run each card is looked up once in each table.
            const std::string key = (fromSample ? "sample|" : "cards|") + rec.cardNumber;
            const std::optional<CardHolder>* known = running_ ? lookups_.Holder(key) : nullptr;
            std::optional<CardHolder> found;
            if (known) {
                found = *known;
            } else {
                const Statement lookup = fromSample ? Statement{"TranSamp",
                                                                statements::kSampleCardLookup,
                                                                {Value::Text(rec.cardNumber)}}
                                                    : Statement{"cards",
                                                                statements::kCardLookup,
                                                                {Value::Text(rec.cardNumber)}};
                if (RunLookup(Query1, lookup)) {
                    CardHolder h;
                    h.name = Query1.FieldAsString("Name");
                    h.staffNumber = Query1.FieldAsString(fromSample ? "Staff No" : "Staff_number");
                    h.user1 = Query1.FieldAsString("User1");
                    h.user2 = Query1.FieldAsString("User2");
                    h.user3 = Query1.FieldAsString("User3");
                    found = std::move(h);
                }
                if (running_) {
                    lookups_.KeepHolder(key, found);
                }
            }
            if (!found) {
                const std::string line = "Card: " + rec.cardNumber + " not found";
                host_.AddMemoLine(line);
                LogLine(line);
                return Refuse(LineOutcome::UnknownCard, line);
            }
            holder = *found;
        }

        // Another process may commit a table between its duplicate check
        // and the append (it waited for us and we let it go first): the
        // check no longer holds and is made again, within the bounded wait.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(engine_.LockWaitMs());
        for (;;) {
            try {
                return CheckAndAppend(rec, deviceName, holder);
            } catch (const EDatabaseError& e) {
                if (e.Code() != DatabaseErrorCode::CheckOvertaken ||
                    std::chrono::steady_clock::now() >= deadline) {
                    throw;
                }
                TransTable.Close();
            }
        }
    } catch (const Exception& e) {
        // A record that failed after the table was opened lets go of it.
        TransTable.Close();
        const std::string line = e.Message() + " s=[" + recordText + "]";
        Refuse(decoded ? LineOutcome::Failed : LineOutcome::Undecodable, line);
        LogLine(line);
        return false;
    }
}

bool RecoveryCore::CheckAndAppend(const RawRecord& rec, const std::string& deviceName,
                                  const CardHolder& holder) {
    if (host_.MergeChecked()) {
        host_.SetTableName(DailyTable(rec.eventDate));
        const std::string table = host_.TableName();
        db::local::DirectoryDatabase& tables = engine_.Directory(programDirectory_);
        if (!tables.FileExists(table + ".db")) {
            LogLine("Create new table: " + table);
            CreateNewFromTemplate(engine_, programDirectory_, table);
        }
        if (!tables.FileExists(table + ".px")) {
            Reindex();
            LogLine("Reindex " + table);
        }
        // The check and the append that follows are one step for other
        // processes: the table is locked for writing before the check.
        // The card number is compared as it is stored, blanks included,
        // so a repeated event with a blank in its card field is found.
        // The time is the event time as stored (the regional long time
        // text reads back as the same time).
        if (table != duplicateCheckTable_) {
            duplicateCheckTable_ = table;
            duplicateCheckText_ = db::WithTable(statements::kDuplicateCheck, table);
        }
        if (RunLookup(Query1, Statement{table,
                                        duplicateCheckText_,
                                        {Value::Text(deviceName), Value::Text(rec.cardNumber),
                                         Value::Text(rec.transCode), Value::Time(rec.eventTime)},
                                        Statement::Intent::ReadBeforeWrite})) {
            const std::string line = "Duplicate record: " + table + " " + deviceName + " " +
                                     rec.cardNumber + " " + rec.transCode + " " +
                                     FormatDateTime("hh:mm", rec.eventTime);
            LogLine(line);
            return Refuse(LineOutcome::Duplicate, line);
        }
    }

    TransTable.Close();
    TransTable.SetTableName(host_.TableName());
    TransTable.Open();

    SequenceGenerator generator(ActiveClock().UtcMillisecondsOfDay());
    double seqNo = generator.NextSequenceNumber();
    const auto keyTaken = [&] {
        try {
            return TransTable.FindKey(seqNo, rec.eventTime, rec.cardNumber);
        } catch (const Exception&) {
            return false;  // no usable primary index: keep the number drawn
        }
    };
    // Where the primary index refuses a repeated key, the record is
    // posted first and the key searched only when the post is refused:
    // the same numbers as searching first, without a search per record.
    const bool refusesRepeats = TransTable.PrimaryKeyRefusesRepeats();
    while (!refusesRepeats && keyTaken()) {
        seqNo = generator.NextSequenceNumber();
    }

    TransTable.Append();
    TransTable.SetFieldFloat("SeqNo", seqNo);
    TransTable.SetFieldText("Device Name", deviceName);
    TransTable.SetFieldDate("Date", rec.eventDate);
    TransTable.SetFieldTime("Time", rec.eventTime);
    TransTable.SetFieldText("Location", ".");
    TransTable.SetFieldText("Card No", rec.cardNumber);
    TransTable.SetFieldText("Name", holder.name);
    TransTable.SetFieldText("user1", holder.user1);
    TransTable.SetFieldText("user2", holder.user2);
    TransTable.SetFieldText("user3", holder.user3);
    TransTable.SetFieldText("Staff No", holder.staffNumber);
    TransTable.SetFieldText("Trans Code", rec.transCode);
    TransTable.SetFieldText("Type", "0");
    for (;;) {
        try {
            lineHolder_ = TransTable.Post();
            break;
        } catch (const EDatabaseError& e) {
            // Only a repeated key is drawn again; any other refusal (a
            // duplicate check overtaken by another process's commit
            // among them) is the caller's.
            if (e.Code() != DatabaseErrorCode::UniqueViolation || !refusesRepeats || !keyTaken()) {
                throw;
            }
            seqNo = generator.NextSequenceNumber();
            TransTable.SetFieldFloat("SeqNo", seqNo);
        }
    }
    TransTable.Close();
    return true;
}

}  // namespace tallon
