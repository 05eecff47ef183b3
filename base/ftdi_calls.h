// The calls an FTDI bridge is driven through (libftdi1's, one for one, plus
// the clock), in one table that a stand-in can replace. Each returns what
// the libftdi function it names returns: negative on failure.
#pragma once

#include <cstdint>

struct ftdi_context;

struct FtdiCalls {
    ftdi_context* (*new_context)();
    void (*free_context)(ftdi_context* ftdi);
    int (*set_interface)(ftdi_context* ftdi, int interface);  // 1: A, 2: B, 3: C, 4: D
    // ftdi_usb_open_desc with no description; serial may be null.
    int (*open)(ftdi_context* ftdi, int vendor, int product, const char* serial);
    int (*close)(ftdi_context* ftdi);
    // The chip of the open bridge, as libftdi tells it from the device
    // descriptor (its ftdi_chip_type; see ftdi_chip below).
    int (*chip_type)(ftdi_context* ftdi);
    int (*set_latency_timer)(ftdi_context* ftdi, unsigned char ms);
    int (*set_bitmode)(ftdi_context* ftdi, unsigned char pins, unsigned char mode);
    // The pace of the bit-bang modes: libftdi scales the rate given for them.
    int (*set_baudrate)(ftdi_context* ftdi, int baudrate);
    int (*purge)(ftdi_context* ftdi);
    int (*write)(ftdi_context* ftdi, const unsigned char* data, int size);
    int (*read)(ftdi_context* ftdi, unsigned char* data, int size);
    const char* (*error_string)(ftdi_context* ftdi);
    // The clock the bridge's waits are measured on and a sleep, in
    // nanoseconds: the system's monotonic clock for a real one.
    std::uint64_t (*now_ns)(ftdi_context* ftdi);
    void (*sleep_ns)(ftdi_context* ftdi, std::uint64_t ns);
    // The open bridge's place on the USB, however it was found: its bus and
    // port numbers ("1-2.4") into text, at most size bytes; negative when unknown.
    int (*usb_place)(ftdi_context* ftdi, char* text, int size);
};

// libftdi's ftdi_chip_type values: the chips with an MPSSE, and the USB
// serial chips with synchronous bit-bang only.
namespace ftdi_chip {
inline constexpr int ft2232d = 2;  // TYPE_2232C: the FT2232C, D and L
inline constexpr int ft232r = 3;   // TYPE_R: the FT232R and FT245R
inline constexpr int ft2232h = 4;
inline constexpr int ft4232h = 5;
inline constexpr int ft232h = 6;
inline constexpr int ft230x = 7;   // TYPE_230X: the FT-X series (FT230X, FT231X, ...)
}  // namespace ftdi_chip

extern FtdiCalls ftdi_calls;

// The table that drives real bridges through libftdi1; its open fails
// when the program was built without it.
FtdiCalls ftdi_calls_real();
