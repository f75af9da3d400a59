#include "db/batch.h"

#include <algorithm>

#include "base/errors.h"
#include "db/engine.h"

namespace tallon::db {

Batch::Batch(Engine& engine) : engine_(engine) {
    engine_.BeginBatch(this);
}

Batch::~Batch() {
    const auto members = members_;
    members_.clear();
    for (BatchMember* m : members) {
        m->AbandonBatch();
    }
    engine_.EndBatch(this);
}

bool Batch::Due() const {
    return !members_.empty() && std::chrono::steady_clock::now() - opened_ >= kBatchAge;
}

void Batch::Join(BatchMember* member) {
    if (std::find(members_.begin(), members_.end(), member) != members_.end()) {
        return;
    }
    if (members_.empty()) {
        opened_ = std::chrono::steady_clock::now();
    }
    members_.push_back(member);
}

void Batch::Leave(BatchMember* member) noexcept {
    std::erase(members_, member);
}

void Batch::MarkFailed(const std::string& message) {
    if (failure_.empty()) {
        failure_ = message;
    }
}

void Batch::Commit() {
    // Members leave as they commit; copy first.
    const auto members = members_;
    members_.clear();
    std::string error;
    for (BatchMember* m : members) {
        if (!error.empty()) {
            m->AbandonBatch();
            continue;
        }
        try {
            m->CommitBatch();
        } catch (const Exception& e) {
            error = e.Message();
        }
    }
    engine_.BatchCommitted();
    if (!error.empty()) {
        if (failure_.empty()) {
            failure_ = error;
        }
        throw EDatabaseError(error);
    }
    ++commits_;
}

}  // namespace tallon::db
