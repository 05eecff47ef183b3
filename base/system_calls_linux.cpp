#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "base/system_calls.h"

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#define VANTACLE_PORT_INSTRUCTIONS 1
#endif

namespace {

#ifdef VANTACLE_PORT_INSTRUCTIONS
int port_permission(unsigned long from, unsigned long count, int on) { return ::ioperm(from, count, on); }
#else
// No I/O port instructions on this machine.
int port_permission(unsigned long, unsigned long, int) {
    errno = ENOSYS;
    return -1;
}
#endif

void on_alarm(int) {}

// What SIGALRM meant before the alarm: its handler and whether it was blocked.
struct sigaction alarm_before{};
sigset_t mask_before;
bool armed = false;

// The handler only has to exist: its arrival makes the blocked call fail
// with EINTR. The signal is let through for the alarm's time, and what it
// meant before is restored when the alarm is cancelled.
int alarm_ms(unsigned ms) {
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    if (ms) {
        struct sigaction action{};
        action.sa_handler = on_alarm;
        sigemptyset(&action.sa_mask);
        if (!armed && sigaction(SIGALRM, &action, &alarm_before) != 0) return -1;
        if (!armed) sigprocmask(SIG_UNBLOCK, &alarm_only, &mask_before);
        armed = true;
    }
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    const int result = setitimer(ITIMER_REAL, &timer, nullptr);
    if (!ms && armed) {
        sigaction(SIGALRM, &alarm_before, nullptr);
        if (sigismember(&mask_before, SIGALRM)) sigprocmask(SIG_BLOCK, &alarm_only, nullptr);
        armed = false;
    }
    return result;
}

}  // namespace

SystemCalls system_calls_real() {
    return {
        port_permission,
        [](const char* path, int flags) { return ::open(path, flags); },
        ::close,
        [](int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); },
        [](const char* path, struct stat* info) { return ::stat(path, info); },
        alarm_ms,
        ::getuid,
        ::geteuid,
        ::getgid,
        [](const char* name) -> const char* { return std::getenv(name); },
        [](std::size_t count, const gid_t* groups) { return ::setgroups(count, groups); },
        ::setresgid,
        ::setresuid,
        ::read,
        [](timespec* now) { return ::clock_gettime(CLOCK_MONOTONIC, now); },
        ::nanosleep,
    };
}

SystemCalls system_calls = system_calls_real();

std::uint64_t system_clock_ns() {
    timespec now{};
    system_calls.monotonic(&now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(now.tv_nsec);
}

void system_pause_ns(std::uint64_t ns) {
    timespec left{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (system_calls.nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
