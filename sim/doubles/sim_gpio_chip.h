// A GPIO chip as the kernel's GPIO character device (uAPI v2) presents it:
// line information, line requests of several lines at once, values set and
// read by mask, with gpiolib's checks: offsets in range and none twice,
// flags that agree, zeroed padding, lines in use refused with EBUSY,
// setting only outputs (EPERM), no empty mask (EINVAL).
#pragma once

#include <linux/gpio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class SimGpioChip {
public:
    SimGpioChip() : SimGpioChip(32) {}
    explicit SimGpioChip(std::uint32_t lines) : lines_(lines) {}

    // A line a kernel driver holds, under its consumer's name.
    void hold(std::uint32_t offset, std::string consumer);

    // What the chip does when one of its outputs changes level, and the
    // level an input line sees (nothing driving it: its bias, else low).
    std::function<void()> on_output;
    std::function<bool(std::uint32_t offset, bool pulled_up)> input_level;

    // GPIO_V2_GET_LINEINFO_IOCTL, GPIO_V2_GET_LINE_IOCTL (the request's fd
    // is first_fd plus its number), and a request's ioctls and close.
    int line_info(gpio_v2_line_info& info) const;
    int request(gpio_v2_line_request& request, int first_fd);
    int set_values(int fd, const gpio_v2_line_values& values);
    int get_values(int fd, gpio_v2_line_values& values);
    int close(int fd);
    [[nodiscard]] bool owns(int fd) const;

    // A line's physical level: what an output drives (outputs not
    // requested keep the level they had).
    [[nodiscard]] bool level(std::uint32_t offset) const;
    [[nodiscard]] bool requested(std::uint32_t offset) const;
    // Set and get ioctls made so far.
    [[nodiscard]] std::uint64_t value_calls() const { return value_calls_; }

private:
    struct Line {
        std::string consumer;
        bool used = false;
        std::uint64_t flags = 0;
        bool high = false;
        int owner = -1;
    };
    struct Request {
        std::vector<std::uint32_t> offsets;
        bool open = false;
    };

    [[nodiscard]] Request* request_of(int fd);
    [[nodiscard]] bool read_line(std::uint32_t offset) const;

    std::vector<Line> lines_;
    std::vector<Request> requests_;
    int first_fd_ = 0;
    std::uint64_t value_calls_ = 0;
};

// The flags gpiolib takes for a line, and how they may combine.
[[nodiscard]] bool gpio_flags_valid(std::uint64_t flags);
