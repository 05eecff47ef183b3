#include <ftdi.h>
#include <libusb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/ftdi_calls.h"

static_assert(ftdi_chip::ft2232d == TYPE_2232C && ftdi_chip::ft2232h == TYPE_2232H && ftdi_chip::ft4232h == TYPE_4232H &&
              ftdi_chip::ft232h == TYPE_232H && ftdi_chip::ft232r == TYPE_R &&
              ftdi_chip::ft230x == TYPE_230X);

namespace {

std::uint64_t monotonic_ns(ftdi_context*) {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

void sleep_for(ftdi_context*, std::uint64_t ns) {
    timespec left{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int usb_place(ftdi_context* f, char* text, int size) {
    libusb_device* device = f && f->usb_dev ? libusb_get_device(f->usb_dev) : nullptr;
    std::uint8_t ports[8];
    const int count = device ? libusb_get_port_numbers(device, ports, sizeof ports) : -1;
    if (count < 0) return -1;
    std::string place = std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < count; ++i) {
        place += i == 0 ? '-' : '.';
        place += std::to_string(ports[i]);
    }
    return std::snprintf(text, static_cast<std::size_t>(size), "%s", place.c_str()) < size ? 0 : -1;
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
        [](ftdi_context* f) { return static_cast<int>(f->type); },
        ftdi_set_latency_timer,
        ftdi_set_bitmode,
        ftdi_set_baudrate,
        ftdi_tcioflush,
        ftdi_write_data,
        ftdi_read_data,
        [](ftdi_context* f) -> const char* { return ftdi_get_error_string(f); },
        monotonic_ns,
        sleep_for,
        usb_place,
    };
}

FtdiCalls ftdi_calls = ftdi_calls_real();
