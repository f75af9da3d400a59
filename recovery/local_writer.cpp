#include "base/clock.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "base/text.h"
#include "db/query.h"
#include "log/activity_log.h"
#include "recovery/card_holder.h"
#include "recovery/lookup.h"
#include "recovery/raw_record.h"
#include "recovery/recovery_core.h"
#include "recovery/sequence_number.h"
#include "recovery/table_files.h"

namespace tallon {
namespace {

using db::Quoted;

}  // namespace

bool RecoveryCore::InsertThisOne(const std::string& unitCode, const std::string& defaultDevice,
                                 const std::string& recordText) {
    try {
        const RawRecord rec = DecodeRawRecord(unitCode, recordText);

        std::string deviceName = defaultDevice;
        if (host_.FromTranChecked()) {
            deviceName = "CTRL" + rec.UnitCode;
        } else if (RunLookup(Query1, "select tag_name from rdrmain where logical_point=" +
                                         Quoted(rec.UnitCode))) {
            deviceName = Query1.FieldAsString("tag_name");
        }

        CardHolder holder;
        if (!Trim(rec.cardNumber).empty()) {
            const bool fromSample = host_.FromTranChecked();
            const std::string statement =
                fromSample
                    ? "select * from TranSamp where TranSamp.\"Card No\"=" + Quoted(rec.cardNumber)
                    : "select * from cards where cards.\"Card_Number\"=" + Quoted(rec.cardNumber);
            if (!RunLookup(Query1, statement)) {
                const std::string line = "Card: " + rec.cardNumber + " not found";
                host_.AddMemoLine(line);
                LogLine(line);
                return false;
            }
            holder.name = Query1.FieldAsString("Name");
            holder.staffNumber = Query1.FieldAsString(fromSample ? "Staff No" : "Staff_number");
            holder.user1 = Query1.FieldAsString("User1");
            holder.user2 = Query1.FieldAsString("User2");
            holder.user3 = Query1.FieldAsString("User3");
        }

        if (host_.MergeChecked()) {
            const std::string timeText = LongTimeText(rec.eventTime);
            host_.SetTableName(DailyTable(rec.eventDate));
            const std::string table = host_.TableName();
            if (!FileExists(programDirectory_ + table + ".db")) {
                LogLine("Create new table: " + table);
                CreateFromTemplate(programDirectory_, table);
            }
            if (!FileExists(programDirectory_ + table + ".px")) {
                Reindex();
                LogLine("Reindex " + table);
            }
            // The card number is compared as it is stored, blanks included,
            // so a repeated event with a blank in its card field is found.
            const std::string duplicateCheck = "select * from " + table + " where " + table +
                                               ".\"device name\"=" + Quoted(deviceName) + " and " +
                                               table + ".\"card no\"=" + Quoted(rec.cardNumber) +
                                               " and " + table +
                                               ".\"trans code\"=" + Quoted(rec.transCode) +
                                               " and " + table + ".\"time\"=" + Quoted(timeText);
            if (RunLookup(Query1, duplicateCheck)) {
                LogLine("Duplicate record: " + table + " " + deviceName + " " + rec.cardNumber +
                        " " + rec.transCode + " " + FormatDateTime("hh:mm", rec.eventTime));
                return false;
            }
        }

        TransTable.Close();
        TransTable.SetTableName(host_.TableName());
        TransTable.Open();

        SequenceGenerator generator(ActiveClock().UtcMillisecondsOfDay());
        double seqNo = generator.NextSequenceNumber();
        try {
            while (TransTable.FindKey(seqNo, rec.eventTime, rec.cardNumber)) {
                seqNo = generator.NextSequenceNumber();
            }
        } catch (const Exception&) {
            // No usable primary index: keep the number drawn.
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
        TransTable.Post();
        TransTable.Close();
        return true;
    } catch (const Exception& e) {
        LogLine(e.Message() + " s=[" + recordText + "]");
        return false;
    }
}

}  // namespace tallon
