#include "db/connection.h"

namespace tallon::db {

void Connection::RunCheckedWrites(std::span<const CheckedWrite> units,
                                  std::vector<CheckedWriteOutcome>& outcomes) {
    outcomes.assign(units.size(), {});
    Rows rows;
    for (size_t i = 0; i < units.size(); ++i) {
        CheckedWriteOutcome& out = outcomes[i];
        try {
            Run(units[i].check, &rows);
            if (!rows.empty()) {
                out.result = CheckedWriteOutcome::Result::Found;
                continue;
            }
            Run(units[i].write, nullptr);
            out.result = CheckedWriteOutcome::Result::Written;
        } catch (const EDatabaseError& e) {
            out.message = e.Message();
            out.code = e.Code();
        } catch (const Exception& e) {
            out.message = e.Message();
        }
    }
}

}  // namespace tallon::db
