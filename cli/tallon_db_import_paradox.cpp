// tallon-db import-paradox: a site's Paradox tables become engine tables.

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/paradox/import.h"

namespace tallon {

// Exit status 1 when any table failed, 2 for wrong usage (raised as
// std::invalid_argument for the caller's usage handling).
int ImportParadoxCommand(const std::vector<std::string>& args) {
    db::paradox::ImportOptions options;
    std::vector<std::string> paths;
    for (const auto& a : args) {
        if (a == "--check") {
            options.check = true;
        } else if (a == "--replace") {
            options.replace = true;
        } else if (a.rfind("--", 0) == 0) {
            throw std::invalid_argument("unknown option " + a);
        } else {
            paths.push_back(a);
        }
    }
    if (paths.empty() || paths.size() > 2)
        throw std::invalid_argument("import-paradox needs SOURCE [DEST]");
    int converted = 0, failed = 0, skipped = 0;
    // Each table's line is out (and flushed) as soon as the table is done,
    // so whatever stops the run, the tables already converted are reported.
    const auto printLine = [&](const db::paradox::TableReport& r) {
        std::cout << db::paradox::SummaryLine(r, options.check) << std::endl;
        if (r.failed) {
            ++failed;
        } else if (r.skipped) {
            ++skipped;
        } else {
            ++converted;
        }
    };
    db::paradox::ImportParadox(paths[0], paths.size() == 2 ? paths[1] : "", options, printLine);
    std::cout << converted << (options.check ? " tables readable, " : " tables imported, ")
              << failed << " failed";
    if (skipped)
        std::cout << ", " << skipped << " already engine tables";
    std::cout << "\n";
    if (!options.check && converted)
        std::cout << "The Paradox files are in " << db::paradox::kOriginalsFolder << "/\n";
    return failed ? 1 : 0;
}

}  // namespace tallon
