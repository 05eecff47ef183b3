// Port trace: every data-register write and status-register read of a line
// driver, in order, while passing them through unchanged.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "port/line_driver.h"

// How a waveform trace stamps its accesses: one microsecond per access (a
// simulated card, whose accesses take no real time), or the time measured
// on the clock (a real port).
enum class TraceClock : std::uint8_t { per_access, measured };

class VcdWriter;

class PortTrace final : public LineDriver {
public:
    explicit PortTrace(LineDriver& inner);
    ~PortTrace() override;

    // Starts tracing to path. A path ending in ".vcd" gets a Value Change
    // Dump of the card's lines stamped by clock; any other path a log of one
    // access a line: "W XX" for a write, "R XX" for a read and the value it returned.
    Outcome start(const std::string& path, TraceClock clock);
    // Flushes and closes the trace; false when it could not be written completely.
    [[nodiscard]] bool stop();

    void write_data(std::uint8_t lines) override;
    std::uint8_t read_status() override;
    void settle(std::span<std::uint8_t> statuses) override { inner_.settle(statuses); }
    Outcome acquire() override { return inner_.acquire(); }
    [[nodiscard]] bool release() override { return inner_.release(); }
    [[nodiscard]] bool link_ok() override { return inner_.link_ok(); }
    [[nodiscard]] std::string fault() const override { return inner_.fault(); }
    [[nodiscard]] bool needs_io_privilege() const override { return inner_.needs_io_privilege(); }
    void set_clock(std::uint32_t hz) override { inner_.set_clock(hz); }
    [[nodiscard]] LineTraits traits() const override { return inner_.traits(); }
    [[nodiscard]] std::uint64_t now_ns() override { return inner_.now_ns(); }
    void pause_ns(std::uint64_t ns) override { inner_.pause_ns(ns); }

private:
    void log_access(char kind, std::uint8_t value);
    Outcome cannot_write(const std::string& path);

    LineDriver& inner_;
    std::FILE* out_ = nullptr;
    std::unique_ptr<VcdWriter> dump_;
    std::unique_ptr<char[]> buffer_;
};
