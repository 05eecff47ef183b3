// Progress of a long card run on standard error, when that is a terminal:
// sectors done, percent, time elapsed, speed in kB/s (1000 bytes) and time
// left (h:mm:ss, with days when needed), rewritten at most four times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class Operator;

class Progress {
public:
    // total: sectors the run will cover, or 0 when not known; drawn only
    // where the console shows progress.
    Progress(const Operator& console, std::uint64_t total);
    void update(std::uint64_t done);
    // Removes the line so that a report can take its place.
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    bool shown_;
    bool drawn_ = false;
    std::uint64_t total_;
    Clock::time_point started_;
    Clock::time_point last_{};
};

// The progress line after seconds with done of total sectors (0: not known).
[[nodiscard]] std::string progress_text(std::uint64_t done, std::uint64_t total, double seconds);

// One line about a sector on standard output, such as "bad sector 0x4:
// read failed", put out at once.
void report_sector(const char* what, std::uint32_t sector, const char* detail = "");

// Bytes per second for sectors moved since started.
[[nodiscard]] double sector_rate(std::uint64_t sectors, std::chrono::steady_clock::time_point started);
