// Draws from a fixed seed (splitmix64), so that every run of a noisy or
// slow simulated card sees the same flips and delays.
#pragma once

#include <cstdint>

class Draws {
public:
    explicit Draws(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A value from lo to hi (inclusive).
    std::uint64_t between(std::uint64_t lo, std::uint64_t hi) { return lo + next() % (hi - lo + 1); }

private:
    std::uint64_t state_;
};

// Line noise on one wire: each bit flips when a draw falls under the threshold.
class BitNoise {
    static constexpr double two_to_64 = 18446744073709551616.0;

public:
    BitNoise(double rate, std::uint64_t seed)
        : draws_(seed),
          threshold_(rate <= 0 ? 0 : rate >= 1 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(rate * two_to_64)) {}
    bool flips() { return threshold_ != 0 && draws_.next() < threshold_; }

private:
    Draws draws_;
    std::uint64_t threshold_;
};
