// The server's stop, raised once by the thread that watches for ending
// signals: a pipe every client's wait polls, and the moment it came.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

using Clock = std::chrono::steady_clock;

class StopSignal {
public:
    StopSignal() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
    }
    ~StopSignal() {
        for (const int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void raise() {
        if (raised()) return;
        when_ = Clock::now();
        raised_.store(true, std::memory_order_release);
        [[maybe_unused]] const ssize_t n = ::write(fds_[1], "x", 1);
    }
    bool raised() const { return raised_.load(std::memory_order_acquire); }
    // Only after raised().
    Clock::time_point when() const { return when_; }
    // Readable once raised.
    int fd() const { return fds_[0]; }

private:
    int fds_[2];
    Clock::time_point when_{};
    std::atomic<bool> raised_{false};
};
