#include "base/ftdi_calls.h"

// Built without libftdi1: no bridge can be opened.
FtdiCalls ftdi_calls_real() {
    return {
        [] { return static_cast<ftdi_context*>(nullptr); },
        [](ftdi_context*) {},
        [](ftdi_context*, int) { return -1; },
        [](ftdi_context*, int, int, const char*) { return -1; },
        [](ftdi_context*) { return 0; },
        [](ftdi_context*) { return -1; },
        [](ftdi_context*, unsigned char) { return -1; },
        [](ftdi_context*, unsigned char, unsigned char) { return -1; },
        [](ftdi_context*, int) { return -1; },
        [](ftdi_context*) { return -1; },
        [](ftdi_context*, const unsigned char*, int) { return -1; },
        [](ftdi_context*, unsigned char*, int) { return -1; },
        [](ftdi_context*) { return "this vantacle was built without libftdi1"; },
        [](ftdi_context*) { return std::uint64_t{0}; },
        [](ftdi_context*, std::uint64_t) {},
        [](ftdi_context*, char*, int) { return -1; },
    };
}

FtdiCalls ftdi_calls = ftdi_calls_real();
