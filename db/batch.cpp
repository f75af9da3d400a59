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
    return !members_.empty() &&
           (std::chrono::steady_clock::now() - opened_ >= age_ || staged_ >= kStagedPerBatch);
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

void Batch::MarkLost(const BatchMember* member, const std::string& message) {
    lost_.push_back({member, message});
    if (failure_.empty()) {
        failure_ = message;
    }
}

std::vector<CommitRound> Batch::TakeRounds() {
    std::vector<CommitRound> rounds;
    rounds.swap(rounds_);
    return rounds;
}

void Batch::Commit() {
    const auto started = std::chrono::steady_clock::now();
    // Members leave as they commit; copy first.
    const auto members = members_;
    members_.clear();
    staged_ = 0;
    CommitRound round;
    round.losses.swap(lost_);
    for (BatchMember* m : members) {
        try {
            m->CommitBatch();
        } catch (const Exception& e) {
            round.losses.push_back({m, e.Message()});
        }
    }
    // A member that lost its work while committing (a server gone for good)
    // has said so in this round already.
    std::erase_if(lost_, [&](const CommitRound::Loss& l) {
        return std::any_of(round.losses.begin(), round.losses.end(),
                           [&](const CommitRound::Loss& r) { return r.member == l.member; });
    });
    engine_.BatchCommitted();
    ++commits_;
    const auto took = std::chrono::steady_clock::now() - started;
    age_ = std::clamp<std::chrono::steady_clock::duration>(kCommitShare * took, kBatchAge,
                                                           kLongestBatch);
    const std::string error = round.losses.empty() ? "" : round.losses.front().message;
    rounds_.push_back(std::move(round));
    if (!error.empty()) {
        if (failure_.empty()) {
            failure_ = error;
        }
        throw EDatabaseError(error);
    }
}

const std::string* CommitRound::LossOf(const BatchMember* member) const {
    for (const Loss& loss : losses) {
        if (loss.member == member || member == nullptr) {
            return &loss.message;
        }
    }
    return nullptr;
}

}  // namespace tallon::db
