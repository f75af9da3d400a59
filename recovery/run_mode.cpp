#include "recovery/run_mode.h"

#include "base/text.h"

namespace tallon {

std::string AliasOf(RunMode mode) {
    switch (mode) {
        case RunMode::Corvane:
            return "Brindle";
        case RunMode::Velora:
            return "VeloraDB";
        case RunMode::Local:
            break;
    }
    return "KD1";
}

std::string CaptionSuffixOf(RunMode mode) {
    switch (mode) {
        case RunMode::Corvane:
            return " (Corvane)";
        case RunMode::Velora:
            return " (Velora)";
        case RunMode::Local:
            break;
    }
    return "";
}

RunMode RunModeFromArguments(const std::vector<std::string>& arguments) {
    const std::string first = arguments.empty() ? std::string() : UpperCase(arguments.front());
    return first == "/CV" ? RunMode::Corvane : first == "/VL" ? RunMode::Velora : RunMode::Local;
}

}  // namespace tallon
