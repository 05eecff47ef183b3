// Bytes that depend on a seed: written to a sector, they show a write that
// landed on another sector, or did not land at all.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>

inline void fill_pattern(std::span<std::uint8_t> bytes, std::uint32_t seed) {
    for (auto& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
}

// Little-endian 32-bit numbers inside a sector's bytes (its header).
inline void put_le32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t get_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[at + i]} << (8 * i);
    return value;
}

// The seed of a sector's pattern in one run.
constexpr std::uint32_t pattern_seed(std::uint32_t sector, std::uint32_t run) { return sector * 2654435761u ^ run; }

// A value that tells this run's patterns from any an earlier run left behind.
inline std::uint32_t new_run_tag() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::random_device{}() ^ static_cast<std::uint32_t>(now);
}
