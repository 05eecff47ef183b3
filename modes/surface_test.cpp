#include "modes/surface_test.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>

#include "base/text_out.h"
#include "report/card_report.h"
#include "report/run_record.h"
#include "base/operator.h"
#include "base/exit_status.h"
#include "modes/progress.h"
#include "modes/sector_pattern.h"
#include "disk/saving_device.h"
#include "modes/put_back.h"
#include "base/outcome.h"

namespace {

using Sector = std::array<std::uint8_t, sector_size>;

constexpr std::uint32_t surface_run = 0x5A5AA5A5;

enum class Tested { passed, failed, past_end };

// One sector at a time over a device that saves it before the pattern goes
// in and puts it back after: the pattern, and what was read back.
class SectorTest {
public:
    explicit SectorTest(SavingDevice& device) : device_(device) {}

    // The sector's outcome, and what went wrong in problem.
    Tested test(std::uint32_t sector, std::string& problem) {
        std::uint32_t saved = 0;
        if (const CardResult r = device_.save(sector, 1, saved); r != CardResult::ok) {
            problem = failed_step("read").why();
            device_.restore();
            return r == CardResult::out_of_range ? Tested::past_end : Tested::failed;
        }
        make_pattern(sector);
        const bool written = device_.write_sector(sector, pattern_) == CardResult::ok;
        const Outcome checked = written ? verify(sector, pattern_) : failed_step("write");
        const std::size_t lost_before = device_.unrestored().size();
        device_.restore();
        if (device_.unrestored().size() != lost_before) problem = "original contents NOT restored: " + device_.failure_text();
        else if (!checked) problem = "pattern " + checked.why();
        return problem.empty() ? Tested::passed : Tested::failed;
    }

private:
    // The sector number in its first four bytes, then bytes that depend on it,
    // so that a write landing on the wrong sector shows.
    void make_pattern(std::uint32_t sector) {
        fill_pattern(pattern_, pattern_seed(sector, surface_run));
        for (int i = 0; i < 4; ++i) pattern_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sector >> (24 - 8 * i));
    }

    Outcome failed_step(const char* step) { return Outcome::failed(std::string(step) + " failed: " + device_.failure_text()); }

    // Reads the sector back and compares it with data.
    Outcome verify(std::uint32_t sector, const Sector& data) {
        if (device_.read_sector(sector, read_back_) != CardResult::ok) return failed_step("read back");
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (read_back_[i] != data[i]) {
                char text[48];
                std::snprintf(text, sizeof text, "read back differs at offset %03X", static_cast<unsigned>(i));
                return Outcome::failed(text);
            }
        }
        return Outcome::ok();
    }

    SavingDevice& device_;
    Sector pattern_{};
    Sector read_back_{};
};

// The whole card, when it says its capacity.
std::optional<SectorRange> whole_card(SectorDevice& device) {
    const std::uint64_t capacity = device.sectors();
    if (capacity == 0) return std::nullopt;
    return SectorRange{0, static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, 0xFFFFFFFF))};
}

}  // namespace

int surface_test(ModeRun& run, const std::optional<SectorRange>& given) {
    SectorDevice& device = run.device;
    const std::optional<SectorRange> chosen = given ? given : whole_card(device);
    if (!chosen) return fail("the card does not say its capacity: give --range=START:COUNT");
    const SectorRange range = *chosen;
    const auto started = std::chrono::steady_clock::now();
    const std::uint32_t rereads_before = device.rereads();
    Progress progress(run.console, range.count);
    std::uint32_t tested = 0;
    std::uint32_t bad = 0;
    bool past_end = false;
    SavingDevice saver(device);
    SectorTest sectors(saver);
    for (; tested < range.count && !run.console.stop_requested(); ++tested) {
        const std::uint32_t sector = range.start + tested;
        progress.update(tested);
        std::string problem;
        const std::uint32_t rereads = device.rereads();
        const Tested result = sectors.test(sector, problem);
        if (CardReport* report = run.report; report && result != Tested::past_end) {
            const bool reread = device.rereads() != rereads;
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
        if (!run.console.flush()) break;
    }
    progress.clear();
    text_printf("tested %u sectors, %u bad, %.0f bytes/s", static_cast<unsigned>(tested), static_cast<unsigned>(bad),
                sector_rate(tested, started));
    if (tested < range.count && !past_end)
        text_printf(", stopped before sector 0x%X", static_cast<unsigned>(range.start + tested));
    text_printf("\n");
    const bool all_back = keep_unrestored(run, saver);
    if (RunRecord* record = run.record) {
        record->sectors = tested;
        record->bad = bad;
        record->reread = device.rereads() - rereads_before;
        record->interrupted = tested < range.count && !past_end;
    }
    return bad == 0 && !past_end && all_back ? ExitStatus::ok : ExitStatus::failed;
}
