#include "recovery/run_mode.h"

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

}  // namespace tallon
