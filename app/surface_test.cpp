#include "app/surface_test.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/console.h"
#include "card/mmc_spi.h"

namespace {

using Sector = std::array<std::uint8_t, sector_size>;
using Clock = std::chrono::steady_clock;

constexpr int restore_attempts = 3;
constexpr auto progress_interval = std::chrono::milliseconds(250);

Sector saved;
Sector pattern;
Sector read_back;

// The sector number in its first four bytes, then bytes that depend on it,
// so that a write landing on the wrong sector shows.
void make_pattern(std::uint32_t sector) {
    std::uint32_t x = sector * 2654435761u ^ 0x5A5AA5A5u;
    for (auto& byte : pattern) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    for (int i = 0; i < 4; ++i) pattern[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sector >> (24 - 8 * i));
}

std::string code_text(const char* step, CardResult result) {
    return std::string(step) + " failed (card result " + std::to_string(static_cast<int>(result)) + ")";
}

// Reads the sector back and compares it with data; empty when they match.
std::string verify(std::uint32_t sector, const Sector& data) {
    if (const CardResult r = spi_read(sector, read_back); r != CardResult::ok) return code_text("read back", r);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (read_back[i] != data[i]) {
            char text[48];
            std::snprintf(text, sizeof text, "read back differs at offset %03X", static_cast<unsigned>(i));
            return text;
        }
    }
    return {};
}

std::string write_and_verify(std::uint32_t sector, const Sector& data) {
    if (const CardResult r = spi_write(sector, data); r != CardResult::ok) return code_text("write", r);
    return verify(sector, data);
}

// Puts the saved contents back unless the sector still holds them.
std::string restore(std::uint32_t sector) {
    std::string problem = verify(sector, saved);
    for (int attempt = 0; attempt < restore_attempts && !problem.empty(); ++attempt)
        problem = write_and_verify(sector, saved);
    return problem;
}

// Empty when the sector passed; otherwise what went wrong.
std::string test_sector(std::uint32_t sector) {
    if (const CardResult r = spi_read(sector, saved); r != CardResult::ok) return code_text("read", r);
    make_pattern(sector);
    const std::string problem = write_and_verify(sector, pattern);
    const std::string restored = restore(sector);
    if (!restored.empty()) return "original contents NOT restored: " + restored;
    return problem.empty() ? problem : "pattern " + problem;
}

class Progress {
public:
    Progress() : shown_(console_shows_progress()) {}
    void update(std::uint32_t sector, std::uint32_t done, std::uint32_t total) {
        if (!shown_ || Clock::now() - last_ < progress_interval) return;
        last_ = Clock::now();
        std::fprintf(stderr, "\rtesting sector %06X, %u of %u ", static_cast<unsigned>(sector), done + 1, total);
    }
    void clear() {
        if (shown_) std::fputs("\r                                        \r", stderr);
    }

private:
    bool shown_;
    Clock::time_point last_{};
};

}  // namespace

int surface_test(SectorRange range) {
    const auto started = Clock::now();
    Progress progress;
    std::uint32_t tested = 0;
    std::uint32_t bad = 0;
    for (; tested < range.count && !console_signal_pending(); ++tested) {
        const std::uint32_t sector = range.start + tested;
        progress.update(sector, tested, range.count);
        const std::string problem = test_sector(sector);
        if (problem.empty()) continue;
        ++bad;
        progress.clear();
        std::printf("bad sector %06X: %s\n", static_cast<unsigned>(sector), problem.c_str());
        std::fflush(stdout);
    }
    progress.clear();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("tested %u sectors, %u bad, %.0f bytes/s\n", tested, bad,
                seconds > 0 ? tested * static_cast<double>(sector_size) / seconds : 0.0);
    return bad == 0 ? 0 : 1;
}
