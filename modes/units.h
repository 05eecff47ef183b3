// Numbers as the program's lines show them: sizes in decimal MB or GB beside
// the byte count, durations as h:mm:ss (with days when they run that long).
#pragma once

#include <cstdint>
#include <string>

// "2.10 MB", "7.97 GB": decimal units, three significant figures.
[[nodiscard]] std::string size_text(std::uint64_t bytes);
// "0:03:07", "26:40:00", "3 days 2:40:00".
[[nodiscard]] std::string duration_text(std::uint64_t seconds);
// "0x1F": a sector number in the newer modes' lines.
[[nodiscard]] std::string sector_text(std::uint64_t sector);
