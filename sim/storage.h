// What the simulated card holds: an image file, or the built-in demo card.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/outcome.h"
#include "sim/settings.h"

// The card's blocks, as the model and its storage see them.
inline constexpr std::size_t sector_bytes = 512;
using SectorSpan = std::span<std::uint8_t, sector_bytes>;
using ConstSectorSpan = std::span<const std::uint8_t, sector_bytes>;

// Opens the image named in settings (read-only unless writable), or the demo
// card when none is named.
Outcome storage_open(const SimSettings& settings);
void storage_close();
[[nodiscard]] std::uint32_t storage_sectors();
// True when path names the open image file itself (by any name or link).
[[nodiscard]] bool storage_is_file(const std::string& path);
[[nodiscard]] bool storage_read(std::uint32_t sector, SectorSpan out);
// True when the card was opened for writing.
[[nodiscard]] bool storage_writable();
// Writes one sector through to the image (or the demo card's memory).
[[nodiscard]] bool storage_write(std::uint32_t sector, ConstSectorSpan data);
