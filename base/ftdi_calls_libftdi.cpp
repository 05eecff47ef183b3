#include <ftdi.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "base/ftdi_calls.h"

namespace {

std::uint64_t monotonic_ns() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

void sleep_for(std::uint64_t ns) {
    timespec left{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

FtdiCalls ftdi_calls_real() {
    return {
        ftdi_new,
        ftdi_free,
        [](ftdi_context* f, int interface) { return ftdi_set_interface(f, static_cast<ftdi_interface>(interface)); },
        [](ftdi_context* f, int vendor, int product, const char* serial) {
            return ftdi_usb_open_desc(f, vendor, product, nullptr, serial);
        },
        ftdi_usb_close,
        ftdi_set_latency_timer,
        ftdi_set_bitmode,
        ftdi_tcioflush,
        ftdi_write_data,
        ftdi_read_data,
        [](ftdi_context* f) -> const char* { return ftdi_get_error_string(f); },
        monotonic_ns,
        sleep_for,
    };
}

FtdiCalls ftdi_calls = ftdi_calls_real();
