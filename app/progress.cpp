#include "app/progress.h"

#include <cstdio>

#include "app/console.h"
#include "card/mmc_spi.h"

namespace {

constexpr auto interval = std::chrono::milliseconds(250);
constexpr int line_width = 60;

}  // namespace

Progress::Progress(std::uint64_t total) : shown_(console_shows_progress()), total_(total), started_(Clock::now()) {}

void Progress::update(std::uint64_t done) {
    const auto now = Clock::now();
    if (!shown_ || now - last_ < interval) return;
    last_ = now;
    const double rate = sector_rate(done, started_);
    char text[line_width + 8];
    int n = std::snprintf(text, sizeof text, "\r%llu", static_cast<unsigned long long>(done));
    if (total_ != 0) n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " of %llu",
                                        static_cast<unsigned long long>(total_));
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " sectors, %.0f KB/s", rate / 1024);
    if (total_ > done && rate > 0) {
        const auto left = static_cast<unsigned long long>(static_cast<double>((total_ - done) * sector_size) / rate);
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ", %llu:%02llu left  ", left / 60, left % 60);
    }
    std::fputs(text, stderr);
    drawn_ = true;
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
    std::printf("%s %06X%s\n", what, static_cast<unsigned>(sector), detail);
    std::fflush(stdout);
}
