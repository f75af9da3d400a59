#include "recovery/host.h"

namespace tallon {

void MemoryHost::EnterExternalMode(RunMode mode) {
    caption += CaptionSuffixOf(mode);
    memo.clear();
    externalLayout = true;
}

}  // namespace tallon
