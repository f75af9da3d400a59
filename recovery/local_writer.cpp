#include "recovery/local_writer.h"

#include <chrono>

#include "base/clock.h"
#include "base/errors.h"
#include "base/text.h"
#include "db/local/directory_database.h"
#include "log/activity_log.h"
#include "recovery/lookup.h"
#include "recovery/reindex.h"
#include "recovery/sequence_number.h"
#include "recovery/statements.h"
#include "recovery/table_files.h"
#include "recovery/writer_failure.h"

namespace tallon {

using db::Statement;
using db::Value;

LocalWriter::LocalWriter(db::Engine& engine, Host& host, db::Table& transTable, db::Query& query,
                         std::string programDirectory, LookupCache* lookups, Report report)
    : engine_(engine),
      host_(host),
      transTable_(transTable),
      query_(query),
      programDirectory_(std::move(programDirectory)),
      lookups_(lookups),
      report_(std::move(report)) {}

void LocalWriter::Take(ReadLine line) {
    const RawLine pieces = SplitRawLine(line.text);
    LineResult result;
    try {
        result = InsertThisOne(pieces.unitCode, host_.FallbackDevice(), pieces.recordText);
    } catch (const std::exception& e) {
        // The writer could not report its line (the log failed): the line is
        // still accounted, as failed, before the error ends the run.
        try {
            report_(line, LineResult::NotAdded(LineOutcome::Failed, e.what()));
        } catch (...) {
        }
        throw;
    }
    report_(line, result);
}

LineResult LocalWriter::InsertThisOne(const std::string& unitCode, const std::string& defaultDevice,
                                      const std::string& recordText) {
    bool decoded = false;
    try {
        const RawRecord rec = DecodeRawRecord(unitCode, recordText);
        decoded = true;
        const std::string deviceName = DeviceName(rec, defaultDevice);
        CardHolder holder;
        if (!Trim(rec.cardNumber).empty()) {
            std::optional<CardHolder> found = HolderOf(rec.cardNumber);
            if (!found) {
                return Refuse(LineOutcome::UnknownCard, "Card: " + rec.cardNumber + " not found",
                              true);
            }
            holder = std::move(*found);
        }
        return CheckedAppend(rec, deviceName, holder);
    } catch (const Exception& e) {
        // A record that failed after the table was opened lets go of it.
        transTable_.Close();
        return Refuse(decoded ? LineOutcome::Failed : LineOutcome::Undecodable,
                      LocalFailureLine(e.Message(), recordText), false);
    }
}

LineResult LocalWriter::Refuse(LineOutcome outcome, const std::string& line, bool inMemo) {
    if (inMemo) {
        host_.AddMemoLine(line);
    }
    LogLine(line);
    return LineResult::NotAdded(outcome, line);
}

std::string LocalWriter::DeviceName(const RawRecord& rec, const std::string& defaultDevice) {
    if (host_.FromTranChecked()) {
        return "CTRL" + rec.UnitCode;
    }
    const auto ask = [&]() -> std::optional<std::string> {
        if (RunLookup(
                query_,
                Statement{"rdrmain", statements::kDeviceLookup, {Value::Text(rec.UnitCode)}})) {
            return query_.FieldAsString("tag_name");
        }
        return std::nullopt;
    };
    const DeviceKey key{rec.UnitCode, std::nullopt};
    return (lookups_ ? lookups_->Device(key, ask) : ask()).value_or(defaultDevice);
}

std::optional<CardHolder> LocalWriter::HolderOf(const std::string& cardNumber) {
    const bool fromSample = host_.FromTranChecked();
    const auto ask = [&]() -> std::optional<CardHolder> {
        const Statement lookup{fromSample ? "TranSamp" : "cards",
                               fromSample ? statements::kSampleCardLookup : statements::kCardLookup,
                               {Value::Text(cardNumber)}};
        if (!RunLookup(query_, lookup)) {
            return std::nullopt;
        }
        return CardHolder{query_.FieldAsString("Name"),
                          query_.FieldAsString(fromSample ? "Staff No" : "Staff_number"),
                          query_.FieldAsString("User1"), query_.FieldAsString("User2"),
                          query_.FieldAsString("User3")};
    };
    const CardKey key{fromSample ? CardKey::Table::Sample : CardKey::Table::Cards, cardNumber};
    return lookups_ ? lookups_->Holder(key, ask) : ask();
}

LineResult LocalWriter::CheckedAppend(const RawRecord& rec, const std::string& deviceName,
                                      const CardHolder& holder) {
    // Another process may commit a table between its duplicate check and
    // the append (it waited for us and we let it go first): the check no
    // longer holds and is made again, within the bounded wait.
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
            transTable_.Close();
        }
    }
}

LineResult LocalWriter::CheckAndAppend(const RawRecord& rec, const std::string& deviceName,
                                       const CardHolder& holder) {
    if (host_.MergeChecked()) {
        host_.SetTableName(DailyTable(rec.eventDate));
        const std::string table = host_.TableName();
        PrepareDailyTable(table);
        if (IsDuplicate(table, rec, deviceName)) {
            return Refuse(LineOutcome::Duplicate,
                          "Duplicate record: " + table + " " + deviceName + " " + rec.cardNumber +
                              " " + rec.transCode + " " + FormatDateTime("hh:mm", rec.eventTime),
                          false);
        }
    }
    return LineResult::Added(Append(rec, deviceName, holder));
}

void LocalWriter::PrepareDailyTable(const std::string& table) {
    db::local::DirectoryDatabase& tables = engine_.Directory(programDirectory_);
    if (!tables.FileExists(table + ".db")) {
        LogLine("Create new table: " + table);
        CreateNewFromTemplate(engine_, programDirectory_, table);
    }
    if (!tables.FileExists(table + ".px")) {
        ReindexTable(transTable_, host_);
        LogLine("Reindex " + table);
    }
}

bool LocalWriter::IsDuplicate(const std::string& table, const RawRecord& rec,
                              const std::string& deviceName) {
    // The check and the append that follows are one step for other
    // processes: the table is locked for writing before the check. The card
    // number is compared as it is stored, blanks included, so a repeated
    // event with a blank in its card field is found. The time is the event
    // time as stored (the regional long time text reads back as the same
    // time).
    if (table != duplicateCheckTable_) {
        duplicateCheckTable_ = table;
        duplicateCheckText_ = db::WithTable(statements::kDuplicateCheck, table);
    }
    return RunLookup(query_, Statement{table,
                                       duplicateCheckText_,
                                       {Value::Text(deviceName), Value::Text(rec.cardNumber),
                                        Value::Text(rec.transCode), Value::Time(rec.eventTime)},
                                       Statement::Intent::ReadBeforeWrite});
}

const db::BatchMember* LocalWriter::Append(const RawRecord& rec, const std::string& deviceName,
                                           const CardHolder& holder) {
    transTable_.Close();
    transTable_.SetTableName(host_.TableName());
    transTable_.Open();

    SequenceGenerator generator(ActiveClock().UtcMillisecondsOfDay());
    double seqNo = generator.NextSequenceNumber();
    const auto keyTaken = [&] {
        try {
            return transTable_.FindKey(seqNo, rec.eventTime, rec.cardNumber);
        } catch (const Exception&) {
            return false;  // no usable primary index: keep the number drawn
        }
    };
    // Where the primary index refuses a repeated key, the record is posted
    // first and the key searched only when the post is refused: the same
    // numbers as searching first, without a search per record.
    const bool refusesRepeats = transTable_.PrimaryKeyRefusesRepeats();
    while (!refusesRepeats && keyTaken()) {
        seqNo = generator.NextSequenceNumber();
    }

    transTable_.Append();
    transTable_.SetFieldFloat("SeqNo", seqNo);
    transTable_.SetFieldText("Device Name", deviceName);
    transTable_.SetFieldDate("Date", rec.eventDate);
    transTable_.SetFieldTime("Time", rec.eventTime);
    transTable_.SetFieldText("Location", ".");
    transTable_.SetFieldText("Card No", rec.cardNumber);
    transTable_.SetFieldText("Name", holder.name);
    transTable_.SetFieldText("user1", holder.user1);
    transTable_.SetFieldText("user2", holder.user2);
    transTable_.SetFieldText("user3", holder.user3);
    transTable_.SetFieldText("Staff No", holder.staffNumber);
    transTable_.SetFieldText("Trans Code", rec.transCode);
    transTable_.SetFieldText("Type", "0");
    for (;;) {
        try {
            const db::BatchMember* holderMember = transTable_.Post();
            transTable_.Close();
            return holderMember;
        } catch (const EDatabaseError& e) {
            // Only a repeated key is drawn again; any other refusal (a
            // duplicate check overtaken by another process's commit among
            // them) is the caller's.
            if (e.Code() != DatabaseErrorCode::UniqueViolation || !refusesRepeats || !keyTaken()) {
                throw;
            }
            seqNo = generator.NextSequenceNumber();
            transTable_.SetFieldFloat("SeqNo", seqNo);
        }
    }
}

}  // namespace tallon
