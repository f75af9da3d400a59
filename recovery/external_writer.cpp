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

namespace tallon {
namespace {

using db::Quoted;

}  // namespace

bool RecoveryCore::CV_InsertThisOne(RunMode mode, const std::string& unitCode,
                                    const std::string& /*defaultDevice*/,
                                    const std::string& recordText) {
    try {
        RawRecord rec = DecodeRawRecord(unitCode, recordText);
        // The second external system keeps ten-digit card numbers.
        if (mode == RunMode::Velora) {
            rec.cardNumber = "0000" + rec.cardNumber;
        }

        CardHolder holder;
        std::string deviceName;

        Query1.Close();
        Query1.Clear();
        const std::string unitNumber = IntToStr(StrToInt(rec.UnitCode));
        const std::string pointList = Quoted(unitNumber) + "," + Quoted("0" + unitNumber);

        const std::string readerLookup =
            !rec.readerId.empty()
                ? "select tag_name from rdrmain where logical_point in (" + pointList +
                      ") and substring(spare3,1,12)=" + Quoted(rec.readerId)
                : "select tag_name from rdrmain where logical_point in (" + pointList +
                      ") and (spare3=" + Quoted("") + " or (spare3 is NULL))";
        if (RunLookup(Query1, readerLookup)) {
            deviceName = Query1.FieldAsString("tag_name");
        }
        if (deviceName.empty()) {
            LogLine("Device for unit: " + rec.UnitCode + " not found: " + rec.UnitCode + "," +
                    rec.readerId);
            return false;
        }

        if (!Trim(rec.cardNumber).empty()) {
            if (RunLookup(Query1,
                          "select * from cards where Card_Number=" + Quoted(rec.cardNumber))) {
                holder.name = Query1.FieldAsString("Name");
                holder.staffNumber = Query1.FieldAsString("Staff_number");
                holder.user1 = Query1.FieldAsString("User1");
                holder.user2 = Query1.FieldAsString("User2");
                holder.user3 = Query1.FieldAsString("User3");
            } else if (!AllowUnknownCards) {
                const std::string line = "Card: " + rec.cardNumber + " not found";
                host_.AddMemoLine(line);
                LogLine(line);
                return false;
            } else {
                holder.name = "Unknown";
                holder.staffNumber = "STF" + rec.cardNumber;
                holder.user1 = "Dept1";
                holder.user2 = "Post1";
            }
        }

        const std::string recordId = recordIds_.Issue(ActiveClock().Now());
        const std::string eventDate = FormatDateTime("yyyymmdd", rec.eventDate);
        const std::string eventTime = FormatDateTime("hhmm", rec.eventTime) + "00";

        if (RunLookup(Query1, "select * from trans where device_name=" + Quoted(deviceName) +
                                  " and date=" + Quoted(eventDate) + " and time=" +
                                  Quoted(eventTime) + " and card_no=" + Quoted(rec.cardNumber) +
                                  " and trans_code=" + Quoted(rec.transCode))) {
            const std::string line = "Dup: " + rec.unitCodeAsRead + ", " + recordText;
            host_.AddMemoLine(line);
            LogLine(line);
            return false;
        }

        const std::string values[] = {recordId,
                                      eventTime,
                                      rec.cardNumber,
                                      eventDate,
                                      deviceName,
                                      ".",
                                      Trim(holder.name),
                                      holder.staffNumber,
                                      holder.user1,
                                      holder.user2,
                                      holder.user3,
                                      "",
                                      rec.transCode,
                                      "",
                                      "0"};
        std::string insert = "insert into trans values(";
        for (size_t i = 0; i < std::size(values); ++i) {
            // Appended piecewise: "literal" + temporary trips GCC 12's -Wrestrict at -O3.
            if (i) {
                insert += ',';
            }
            insert += Quoted(values[i]);
        }
        insert += ")";

        Query1.Close();
        Query1.Clear();
        Query1.Add(insert);
        Query1.ExecSQL();
        Query1.Close();
        return true;
    } catch (const Exception& e) {
        LogLine("CV.Insert" + e.Message() + " s=[" + recordText + "]");
        return false;
    }
}

}  // namespace tallon
