// Small things the tests share: byte strings and call logs joined with +,
// whole files, hex text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
    for (const T& item : b) a.push_back(item);
    return a;
}

inline std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline Bytes file_bytes(const std::string& path) {
    const std::string text = file_text(path);
    return {text.begin(), text.end()};
}

inline std::string hex(const char* format, unsigned value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}
