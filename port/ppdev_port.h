// The parallel port behind a ppdev device node such as /dev/parport0: each
// data-register write and status-register read one ioctl.
#pragma once

#include <string>

#include "base/file_lock.h"
#include "port/line_driver.h"

class PpdevPort final : public LineDriver {
public:
    explicit PpdevPort(std::string device) : device_(std::move(device)) {}

    void write_data(std::uint8_t lines) override;
    std::uint8_t read_status() override;
    Outcome acquire() override;
    [[nodiscard]] bool release() override;
    [[nodiscard]] bool link_ok() override { return link_up_; }
    [[nodiscard]] std::uint64_t now_ns() override;
    void pause_ns(std::uint64_t ns) override;

private:
    Outcome open_device();
    void close_device();
    int claim_in_time();
    Outcome claim();
    Outcome acquire_locked();
    [[nodiscard]] const char* what_else() const;
    [[nodiscard]] std::string open_advice(int error) const;
    [[nodiscard]] std::string lock_name() const;

    std::string device_;
    int fd_ = -1;
    // Cleared by the first register access the kernel refuses: the card
    // layer then reports the link unusable.
    bool link_up_ = true;
    // Keeps a second run of the program off the port while this one has it.
    PortLock lock_;
};
