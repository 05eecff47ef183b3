// What the program prints, built from the dialogue's fixed texts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/test_util.h"

namespace expected {

inline const std::string opened = "Vantacle\n\nOpen GIVEIO for WinNT/2K/XP : Win95/98/Me\nInitialize MMC Card for SPI mode:";
inline const std::string prompt = "Read Sector?(CR=NEXT,SPC=ADDRESS,E=END)";
inline const std::string ask = "\nInput Sector Number(HEX)?";
inline const std::string closing = "\nGIVEIO close: \n";

inline std::string read_ok(unsigned sector, const std::uint8_t* bytes) {
    std::string s = hex("\nRead Sector %06XH :OK", sector);
    for (unsigned i = 0; i < 512; ++i) {
        if (i % 16 == 0) s += hex("\n%03X=", i);
        s += hex("%02X ", bytes[i]);
    }
    return s + "\n";
}

inline std::string read_error(unsigned sector) { return hex("\nRead Sector %06XH :Error\n", sector); }

// What the terminal shows: line breaks become CR LF.
inline std::string on_terminal(const std::string& text) {
    std::string s;
    for (char c : text) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return s;
}

}  // namespace expected
