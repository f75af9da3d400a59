#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>

#include "recovery/card_holder.h"

namespace tallon {

// A reader (device) lookup: the unit as looked up, and for the external
// writer the reader identification it was matched with (empty: the lookup
// of readers without one). The local writer asks by unit alone.
struct DeviceKey {
    std::string unit;
    std::optional<std::string> readerId;
    bool operator==(const DeviceKey&) const = default;
};

// A card-holder lookup: the table asked and the card number as asked.
struct CardKey {
    enum class Table { Cards, Sample };
    Table table = Table::Cards;
    std::string card;
    bool operator==(const CardKey&) const = default;
};

struct DeviceKeyHash {
    size_t operator()(const DeviceKey& k) const {
        const std::hash<std::string> h;
        return h(k.unit) ^ (k.readerId ? h(*k.readerId) * 31 + 1 : 0);
    }
};
struct CardKeyHash {
    size_t operator()(const CardKey& k) const {
        return std::hash<std::string>()(k.card) * 2 + static_cast<size_t>(k.table);
    }
};

// What the writers' reader and card lookups answered, "not found" included,
// so that a run asks the database about each reader and each card once
// instead of once per line. A run starts with it empty: a reader or card
// edited between runs is seen by the next run. A cache given a maximum age
// (continuous intake, which never ends) forgets every answer once it is
// that old, so a reader or card added meanwhile is seen at the next line.
class LookupCache {
  public:
    // Beyond this many answers of one kind the cache starts afresh, so a run
    // over very many distinct cards keeps a bounded footprint.
    static constexpr size_t kMaxEntries = 100000;
    using Clock = std::chrono::steady_clock;

    // Zero: answers are kept as long as the cache.
    explicit LookupCache(Clock::duration maxAge = {}) : maxAge_(maxAge) {}

    // The device name for `key` (nullopt: no such reader), asked of `ask`
    // the first time only.
    template <class Ask>
    std::optional<std::string> Device(const DeviceKey& key, Ask ask) {
        return Answer(devices_, key, ask);
    }
    // The card holder for `key` (nullopt: no such card), likewise.
    template <class Ask>
    std::optional<CardHolder> Holder(const CardKey& key, Ask ask) {
        return Answer(holders_, key, ask);
    }

    void Clear() {
        devices_.clear();
        holders_.clear();
        started_ = Clock::now();
    }

  private:
    template <class Map, class Key, class Ask>
    typename Map::mapped_type Answer(Map& map, const Key& key, Ask& ask) {
        if (maxAge_ != Clock::duration{} && Clock::now() - started_ >= maxAge_) {
            Clear();
        }
        if (auto it = map.find(key); it != map.end()) {
            return it->second;
        }
        auto answer = ask();
        if (map.size() >= kMaxEntries) {
            map.clear();
        }
        map.emplace(key, answer);
        return answer;
    }

    std::unordered_map<DeviceKey, std::optional<std::string>, DeviceKeyHash> devices_;
    std::unordered_map<CardKey, std::optional<CardHolder>, CardKeyHash> holders_;
    Clock::duration maxAge_;
    Clock::time_point started_ = Clock::now();
};

}  // namespace tallon
