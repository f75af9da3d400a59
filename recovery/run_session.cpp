#include "recovery/run_session.h"

namespace tallon {

RunSession::RunSession(const Setting& setting, const WriterFactory& makeWriter, RunTotals& totals,
                       LineWriter::Report report)
    : batch_(setting.engine),
      accounts_(batch_, setting.mode, totals, setting.rejects),
      lookups_(setting.lookupAge) {
    if (!report) {
        report = [this](const ReadLine& line, const LineResult& result) {
            accounts_.Account(line, result);
        };
    }
    writer_ = makeWriter(batch_, lookups_, std::move(report));
}

}  // namespace tallon
