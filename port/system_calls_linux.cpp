#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "port/system_calls.h"

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

// The handler only has to exist: its arrival makes the blocked call fail with EINTR.
int alarm_ms(unsigned ms) {
    struct sigaction action{};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    if (ms && sigaction(SIGALRM, &action, nullptr) != 0) return -1;
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    return setitimer(ITIMER_REAL, &timer, nullptr);
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
    };
}

SystemCalls system_calls = system_calls_real();
