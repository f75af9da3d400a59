#pragma once

#include <optional>
#include <string>
#include <unordered_map>

#include "recovery/card_holder.h"

namespace tallon {

// What the writers' device, reader and card lookups answered during one
// run, "not found" included, so that a run asks the database about each
// reader and each card once instead of once per line (keys carry the table
// they were asked of). A run starts with it
// empty: a reader or card edited between runs is seen by the next run.
// Edits made while a run goes on are not seen by that run.
class ExternalLookups {
  public:
    // Beyond this many answers the cache starts afresh, so a run over very
    // many distinct cards keeps a bounded footprint.
    static constexpr size_t kMaxEntries = 100000;

    void Clear() {
        devices_.clear();
        holders_.clear();
    }

    // The device name found for a reader ("" when none), keyed by the
    // statement that looked it up and its values.
    const std::string* Device(const std::string& key) const {
        auto it = devices_.find(key);
        return it == devices_.end() ? nullptr : &it->second;
    }
    void KeepDevice(const std::string& key, const std::string& deviceName) {
        Bound(devices_);
        devices_[key] = deviceName;
    }

    // nullptr when the card was not asked yet; otherwise the holder found, or
    // nullopt for a card the table does not hold.
    const std::optional<CardHolder>* Holder(const std::string& cardNumber) const {
        auto it = holders_.find(cardNumber);
        return it == holders_.end() ? nullptr : &it->second;
    }
    void KeepHolder(const std::string& cardNumber, std::optional<CardHolder> holder) {
        Bound(holders_);
        holders_[cardNumber] = std::move(holder);
    }

  private:
    template <class Map>
    static void Bound(Map& map) {
        if (map.size() >= kMaxEntries) {
            map.clear();
        }
    }

    std::unordered_map<std::string, std::string> devices_;
    std::unordered_map<std::string, std::optional<CardHolder>> holders_;
};

}  // namespace tallon
