// What the simulated card holds: an image file, or the built-in demo card.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>

#include "base/outcome.h"
#include "sim/settings.h"

// The card's blocks, as the model and its storage see them.
inline constexpr std::size_t sector_bytes = 512;
using SectorSpan = std::span<std::uint8_t, sector_bytes>;
using ConstSectorSpan = std::span<const std::uint8_t, sector_bytes>;

class Storage {
public:
    Storage() = default;
    ~Storage() { close(); }
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // Opens the image named in settings (read-only unless writable), or the
    // demo card when none is named.
    Outcome open(const SimSettings& settings);
    void close();
    [[nodiscard]] std::uint32_t sectors() const { return sectors_; }
    // True when path names the open image file itself (by any name or link).
    [[nodiscard]] bool is_file(const std::string& path) const;
    [[nodiscard]] bool read(std::uint32_t sector, SectorSpan out);
    // True when the card was opened for writing.
    [[nodiscard]] bool writable() const { return writable_; }
    // Writes one sector through to the image (or the demo card's memory).
    [[nodiscard]] bool write(std::uint32_t sector, ConstSectorSpan data);

private:
    Outcome fail(std::string why);
    Outcome fail(Outcome failed);

    std::FILE* image_ = nullptr;
    std::uint32_t sectors_ = 0;
    bool writable_ = false;
    // Sectors written to the demo card, which has no file behind it.
    std::map<std::uint32_t, std::array<std::uint8_t, sector_bytes>> demo_written_;
};

// True when path names the image of the simulated card open now, so that
// the program never writes its own output over the card.
[[nodiscard]] bool storage_is_file(const std::string& path);
