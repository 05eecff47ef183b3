// Byte strings as the tests compare them, joined with +.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    for (std::uint8_t byte : b) a.push_back(byte);
    return a;
}
