#include "app/surface_test.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>

#include "app/card_report.h"
#include "app/console.h"
#include "app/exit_status.h"
#include "app/progress.h"
#include "app/sector_pattern.h"
#include "card/mmc_spi.h"
#include "base/outcome.h"

namespace {

using Sector = std::array<std::uint8_t, sector_size>;

constexpr int restore_attempts = 3;
constexpr std::uint32_t surface_run = 0x5A5AA5A5;

Sector saved;
Sector pattern;
Sector read_back;

// The sector number in its first four bytes, then bytes that depend on it,
// so that a write landing on the wrong sector shows.
void make_pattern(std::uint32_t sector) {
    fill_pattern(pattern, pattern_seed(sector, surface_run));
    for (int i = 0; i < 4; ++i) pattern[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sector >> (24 - 8 * i));
}

Outcome failed_step(const char* step, CardResult) {
    return Outcome::failed(std::string(step) + " failed: " + card_failure_text());
}

// True when the last check failed only because the sector could not be read back.
bool unreadable = false;

// Reads the sector back and compares it with data.
Outcome verify(std::uint32_t sector, const Sector& data) {
    unreadable = false;
    if (const CardResult r = spi_read(sector, read_back); r != CardResult::ok) {
        unreadable = true;
        return failed_step("read back", r);
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (read_back[i] != data[i]) {
            char text[48];
            std::snprintf(text, sizeof text, "read back differs at offset %03X", static_cast<unsigned>(i));
            return Outcome::failed(text);
        }
    }
    return Outcome::ok();
}

Outcome write_and_verify(std::uint32_t sector, const Sector& data) {
    unreadable = false;
    if (const CardResult r = spi_write(sector, data); r != CardResult::ok) return failed_step("write", r);
    return verify(sector, data);
}

// Puts the saved contents back: written at once after a pattern that went
// in, checked first after one that may not have.
Outcome restore(std::uint32_t sector, bool pattern_written) {
    Outcome restored = pattern_written ? write_and_verify(sector, saved) : verify(sector, saved);
    for (int attempt = 1; attempt < restore_attempts && !restored; ++attempt) restored = write_and_verify(sector, saved);
    return restored;
}

enum class Tested { passed, failed, past_end };

// A card transfer of one sector, timed for the report.
CardResult timed(Transfer kind, std::uint32_t sector, Sector& data) {
    CardReport* report = run_report();
    const std::uint64_t started = report ? card_clock_ns() : 0;
    const CardResult r = kind == Transfer::read ? spi_read(sector, data) : spi_write(sector, data);
    if (report) report->time(sector, 1, kind, card_clock_ns() - started);
    return r;
}

// The sector's outcome, and what went wrong in problem.
Tested test_sector(std::uint32_t sector, std::string& problem) {
    if (const CardResult r = timed(Transfer::read, sector, saved); r != CardResult::ok) {
        problem = failed_step("read", r).why();
        return r == CardResult::out_of_range ? Tested::past_end : Tested::failed;
    }
    make_pattern(sector);
    const CardResult written = timed(Transfer::write, sector, pattern);
    const Outcome checked = written == CardResult::ok ? verify(sector, pattern) : failed_step("write", written);
    // A sector whose read-back failed may well hold its contents again: it
    // could not be checked, which is not the same as not restored.
    if (const Outcome restored = restore(sector, written == CardResult::ok); !restored)
        problem = (unreadable ? "original contents could not be checked: " : "original contents NOT restored: ") +
                  restored.why();
    else if (!checked) problem = "pattern " + checked.why();
    return problem.empty() ? Tested::passed : Tested::failed;
}

// The whole card, when it says its capacity.
std::optional<SectorRange> whole_card() {
    const std::uint64_t capacity = card_capacity_sectors();
    if (capacity == 0) return std::nullopt;
    return SectorRange{0, static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, 0xFFFFFFFF))};
}

}  // namespace

int surface_test(const std::optional<SectorRange>& given) {
    const std::optional<SectorRange> chosen = given ? given : whole_card();
    if (!chosen) return fail("the card does not say its capacity: give --range=START:COUNT");
    const SectorRange range = *chosen;
    const auto started = std::chrono::steady_clock::now();
    Progress progress(range.count);
    std::uint32_t tested = 0;
    std::uint32_t bad = 0;
    bool past_end = false;
    for (; tested < range.count && !console_signal_pending(); ++tested) {
        const std::uint32_t sector = range.start + tested;
        progress.update(tested);
        std::string problem;
        const std::uint32_t rereads = spi_rereads();
        const Tested result = test_sector(sector, problem);
        if (CardReport* report = run_report(); report && result != Tested::past_end) {
            const bool reread = spi_rereads() != rereads;
            report->add(sector, 1, result == Tested::failed ? SectorState::bad : reread ? SectorState::reread : SectorState::good);
        }
        if (result == Tested::passed) continue;
        progress.clear();
        past_end = result == Tested::past_end;
        if (past_end) {
            report_sector("end of card at sector", sector);
            break;
        }
        ++bad;
        report_sector("bad sector", sector, (": " + problem).c_str());
        if (!console_flush()) break;
    }
    progress.clear();
    std::printf("tested %u sectors, %u bad, %.0f bytes/s", static_cast<unsigned>(tested), static_cast<unsigned>(bad),
                sector_rate(tested, started));
    if (tested < range.count && !past_end)
        std::printf(", stopped before sector 0x%X", static_cast<unsigned>(range.start + tested));
    std::printf("\n");
    return bad == 0 && !past_end ? ExitStatus::ok : ExitStatus::failed;
}
