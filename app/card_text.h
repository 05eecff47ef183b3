// Bytes from the card shown as text: printable ASCII as it is, every other
// byte as \xNN, so that a card can never drive the terminal.
#pragma once

#include <string>
#include <string_view>

[[nodiscard]] inline std::string card_text(std::string_view bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            text += c;
            continue;
        }
        text += "\\x";
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}
