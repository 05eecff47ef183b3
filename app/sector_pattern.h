// Bytes that depend on a seed: written to a sector, they show a write that
// landed on another sector, or did not land at all.
#pragma once

#include <cstdint>
#include <span>

inline void fill_pattern(std::span<std::uint8_t> bytes, std::uint32_t seed) {
    for (auto& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
}

// The seed of a sector's pattern in one run.
constexpr std::uint32_t pattern_seed(std::uint32_t sector, std::uint32_t run) { return sector * 2654435761u ^ run; }
