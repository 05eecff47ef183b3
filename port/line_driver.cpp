#include "port/line_driver.h"

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <ctime>
#endif

std::uint64_t LineDriver::now_ns() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

void LineDriver::pause_ns(std::uint64_t ns) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>((ns + 999'999) / 1'000'000));
#else
    timespec left{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
#endif
}
