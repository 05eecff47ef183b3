#include "modes/progress.h"

#include <cstdio>

#include "base/operator.h"
#include "base/text_out.h"
#include "modes/units.h"
#include "card/card_types.h"

namespace {

constexpr auto interval = std::chrono::milliseconds(250);
constexpr int line_width = 79;

}  // namespace

Progress::Progress(const Operator& console, std::uint64_t total)
    : shown_(console.shows_progress()), total_(total), started_(Clock::now()) {}

void Progress::update(std::uint64_t done) {
    if (TextSink* sink = current_text_sink()) return sink->progress(done, total_);
    const auto now = Clock::now();
    if (!shown_ || now - last_ < interval) return;
    last_ = now;
    std::fputs(progress_text(done, total_, std::chrono::duration<double>(now - started_).count()).c_str(), stderr);
    drawn_ = true;
}

std::string progress_text(std::uint64_t done, std::uint64_t total, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(done * sector_size) / seconds : 0.0;
    char part[64];
    std::snprintf(part, sizeof part, "\r%llu", static_cast<unsigned long long>(done));
    std::string text = part;
    if (total != 0) {
        std::snprintf(part, sizeof part, " of %llu sectors (%.1f%%)", static_cast<unsigned long long>(total),
                      100.0 * static_cast<double>(done) / static_cast<double>(total));
        text += part;
    } else {
        text += " sectors";
    }
    std::snprintf(part, sizeof part, ", %s elapsed, %.1f kB/s", duration_text(static_cast<std::uint64_t>(seconds)).c_str(),
                  rate / 1000);
    text += part;
    if (total > done && rate > 0)
        text += ", " + duration_text(static_cast<std::uint64_t>(static_cast<double>((total - done) * sector_size) / rate)) + " left";
    return text + "  ";
}

void Progress::clear() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r%*s\r", line_width, "");
    drawn_ = false;
}

double sector_rate(std::uint64_t sectors, std::chrono::steady_clock::time_point started) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return seconds > 0 ? static_cast<double>(sectors * sector_size) / seconds : 0.0;
}

void report_sector(const char* what, std::uint32_t sector, const char* detail) {
    text_printf("%s 0x%X%s\n", what, static_cast<unsigned>(sector), detail);
    text_flush();
}
