// What the simulated card holds: an image file, or the built-in demo card.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "sim/settings.h"

using SectorSpan = std::span<std::uint8_t, 512>;

// Opens the image named in settings (read-only unless writable), or the demo
// card when none is named. On failure fills error with one line.
bool storage_open(const SimSettings& settings, std::string& error);
void storage_close();
std::uint32_t storage_sectors();
// True when path names the open image file itself (by any name or link).
bool storage_is_file(const std::string& path);
bool storage_read(std::uint32_t sector, SectorSpan out);
// True when the card was opened for writing.
bool storage_writable();
// Writes one sector through to the image (or the demo card's memory).
bool storage_write(std::uint32_t sector, std::span<const std::uint8_t, 512> data);
