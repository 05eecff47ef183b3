// The system calls the real-port backends make, in one table that tests can
// replace to stand in for the system. Each behaves as the call it names:
// -1 with errno set on failure.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>

#include <cstddef>
#include <cstdint>

struct SystemCalls {
    int (*ioperm)(unsigned long from, unsigned long count, int on);
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    // stat: what the path names.
    int (*file_status)(const char* path, struct stat* info);
    // Interrupts a blocked call (it fails with EINTR) after ms; 0 cancels.
    int (*alarm_ms)(unsigned ms);
    uid_t (*getuid)();
    uid_t (*geteuid)();
    gid_t (*getgid)();
    const char* (*getenv)(const char* name);
    int (*setgroups)(std::size_t count, const gid_t* groups);
    int (*setresgid)(gid_t real, gid_t effective, gid_t saved);
    int (*setresuid)(uid_t real, uid_t effective, uid_t saved);
    ssize_t (*read)(int fd, void* buffer, std::size_t count);
    // clock_gettime(CLOCK_MONOTONIC) and nanosleep: the clock waits run on.
    int (*monotonic)(timespec* now);
    int (*nanosleep)(const timespec* length, timespec* left);
};

extern SystemCalls system_calls;

// The monotonic clock and a pause through the table, in nanoseconds; the
// pause sleeps its full length through interruptions.
[[nodiscard]] std::uint64_t system_clock_ns();
void system_pause_ns(std::uint64_t ns);

// The table that calls the system itself.
SystemCalls system_calls_real();
