// Text from outside the program (file names, process names, export names,
// bytes from a card) as it may be shown: printable ASCII as it is, every
// other byte as \xNN, so that nothing shown can drive the terminal. A
// backslash stays as it is only where it cannot be read as an escape.
#pragma once

#include <string>
#include <string_view>

[[nodiscard]] inline bool shows_as_is(unsigned char byte) { return byte >= 0x20 && byte < 0x7F && byte != '\\'; }

[[nodiscard]] inline std::string escaped(std::string_view bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const bool plain_backslash =
            byte == '\\' && i + 1 < bytes.size() && shows_as_is(static_cast<unsigned char>(bytes[i + 1])) && bytes[i + 1] != 'x';
        if (shows_as_is(byte) || plain_backslash) {
            text += bytes[i];
            continue;
        }
        text += "\\x";
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}
