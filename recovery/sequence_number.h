#pragma once

#include <cstdint>

namespace tallon {

// The generator behind the local tables' sequence numbers: a 32-bit linear
// congruential generator stepped as seed * 134775813 + 1 (mod 2^32), whose
// value is the new seed divided by 2^32.
class SequenceGenerator {
  public:
    explicit SequenceGenerator(uint32_t seed) : seed_(seed) {}

    // A uniform value in [0, 1).
    double Next() {
        seed_ = seed_ * 134775813u + 1u;
        return static_cast<double>(seed_) / 4294967296.0;
    }

    // A sequence number from 1 up to but not including 1000000, with its
    // fractional part.
    double NextSequenceNumber() { return Next() * 999999.0 + 1.0; }

  private:
    uint32_t seed_;
};

}  // namespace tallon
