// A stand-in ftd2xx.dll for the tests: FTDI's D2XX calls, as the D2XX
// Programmer's Guide gives them, over one simulated FTDI chip (an MPSSE
// bridge, or an FT232R or FT-X in synchronous bit-bang) with the simulated
// card behind it. The bridge is set up from the environment
// variable VANTACLE_STANDIN_D2XX, which holds what --port=sim takes after
// "sim" (":card.img,write=on,chip=ft2232h"); without it, or empty, the
// driver finds no device. Strict as the driver: a device list before its entries, the
// chip's own interfaces as devices of their own (serial and description
// ending in the letter), one open handle per device, calls on a closed
// handle refused, parameters checked against the guide's ranges, reads
// that wait for the bytes asked for until the read timeout.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "base/d2xx.h"
#include "base/ftdi_calls.h"
#include "sim/doubles/sim_mpsse.h"
#include "sim/settings.h"

namespace {

using d2xx::Handle;
using d2xx::Status;
namespace status = d2xx::status;

constexpr const char* settings_variable = "VANTACLE_STANDIN_D2XX";
constexpr DWORD ftdi_vendor = 0x0403;
constexpr DWORD first_location = 0x1011;  // the interfaces' location ids count up from here
// FT_SetBitMode's modes: reset, asynchronous and synchronous bit-bang,
// MPSSE, MCU host bus, fast serial, CBUS bit-bang, synchronous FIFO.
constexpr std::array<UCHAR, 8> bit_modes{0x00, 0x01, 0x04, 0x02, 0x08, 0x10, 0x20, 0x40};
// FT_SetBaudRate takes the rate the chip's baud generator runs at; a
// bit-bang pin rate is a quarter of it, the rate libftdi is given.
constexpr ULONG bit_bang_rate_factor = 4;
constexpr ULONG least_baud = 300;
constexpr ULONG least_transfer = 64;     // FT_SetUSBParameters: multiples of 64 up to 64 KiB
constexpr ULONG most_transfer = 65536;
// An unbounded read gives up after this long on the card's clock, where the
// real driver would wait for ever: a hang guard for the tests.
constexpr std::uint64_t unbounded_read_ns = 60'000'000'000ull;

struct Interface {
    bool open = false;
};

// The driver's view of the one bridge: its interfaces, the bytes that have
// come in and wait to be read, and the handle's timeouts.
struct Driver {
    bool started = false;
    bool listed = false;  // FT_CreateDeviceInfoList has been called
    std::unique_ptr<SimMpsseBridge> bridge;
    std::array<Interface, 4> interfaces{};
    int open_interface = 0;  // 1-based; 0: none
    std::deque<std::uint8_t> received;
    ULONG read_timeout_ms = 0;  // 0: no timeout
};

Driver& driver() {
    static Driver d;
    if (!d.started) {
        d.started = true;
        const char* text = std::getenv(settings_variable);
        SimSettings settings;
        if (!text || !*text) return d;
        if (Outcome parsed = sim_parse_settings(text, settings); !parsed)
            std::fprintf(stderr, "stand-in ftd2xx.dll: %s: %s\n", settings_variable, parsed.why().c_str());
        else if (Outcome made = SimMpsseBridge::make(settings, sim_ftdi_serial, -1, d.bridge); !made)
            std::fprintf(stderr, "stand-in ftd2xx.dll: %s\n", made.why().c_str());
    }
    return d;
}

int interface_count(const Driver& d) { return d.bridge ? d.bridge->interfaces() : 0; }

DWORD device_type(const SimMpsseBridge& bridge) {
    switch (bridge.chip_type()) {
        case ftdi_chip::ft232h: return d2xx::device::ft232h;
        case ftdi_chip::ft2232h: return d2xx::device::ft2232h;
        case ftdi_chip::ft4232h: return d2xx::device::ft4232h;
        case ftdi_chip::ft232r: return d2xx::device::ft232r;
        case ftdi_chip::ft230x: return d2xx::device::ft_x_series;
        default: return d2xx::device::ft2232c;
    }
}

// A chip of several interfaces lists each with its letter; the FT232H has one.
std::string serial_of(const SimMpsseBridge& bridge, int interface) {
    return bridge.interfaces() > 1 ? bridge.serial() + static_cast<char>('A' + interface - 1) : bridge.serial();
}

std::string description_of(const SimMpsseBridge& bridge, int interface) {
    const char* base = bridge.chip_type() == ftdi_chip::ft232h    ? "Single RS232-HS"
                       : bridge.chip_type() == ftdi_chip::ft2232h ? "Dual RS232-HS"
                       : bridge.chip_type() == ftdi_chip::ft4232h ? "Quad RS232-HS"
                       : bridge.chip_type() == ftdi_chip::ft232r  ? "FT232R USB UART"
                       : bridge.chip_type() == ftdi_chip::ft230x  ? "FT230X Basic UART"
                                                                  : "Dual RS232";
    return bridge.interfaces() > 1 ? std::string(base) + ' ' + static_cast<char>('A' + interface - 1) : base;
}

// A handle is the address of its interface's slot while that is open.
Handle handle_of(Driver& d, int interface) { return &d.interfaces[static_cast<std::size_t>(interface - 1)]; }
bool valid(Driver& d, Handle h) { return d.open_interface > 0 && h == handle_of(d, d.open_interface); }

// The open handle's interface of the bridge.
SimMpsse& opened(Driver& d) { return d.bridge->mpsse(d.open_interface); }

// One poll of the USB: what the bridge brings is added to what waits.
bool poll(Driver& d) {
    std::array<unsigned char, most_transfer> in{};
    const int n = opened(d).read(in.data(), static_cast<int>(in.size()));
    if (n < 0) return false;
    d.received.insert(d.received.end(), in.begin(), in.begin() + n);
    return true;
}

template <class Field>
void put(Field* where, Field value) {
    if (where) *where = value;
}

}  // namespace

extern "C" {

__declspec(dllexport) Status WINAPI FT_CreateDeviceInfoList(DWORD* count) {
    Driver& d = driver();
    if (!count) return status::invalid_parameter;
    d.listed = true;
    *count = static_cast<DWORD>(interface_count(d));
    return status::ok;
}

__declspec(dllexport) Status WINAPI FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id,
                                                          DWORD* location, void* serial, void* description,
                                                          Handle* handle) {
    Driver& d = driver();
    if (!d.listed || index >= static_cast<DWORD>(interface_count(d))) return status::device_not_found;
    const int interface = static_cast<int>(index) + 1;
    const bool open = d.open_interface == interface;
    put(flags, open ? d2xx::flag_opened : DWORD{0});
    put(type, device_type(*d.bridge));
    put(id, ftdi_vendor << 16 | static_cast<DWORD>(d.bridge->product()));
    put(location, first_location + index);
    if (serial) std::snprintf(static_cast<char*>(serial), d2xx::serial_size, "%s", serial_of(*d.bridge, interface).c_str());
    if (description)
        std::snprintf(static_cast<char*>(description), d2xx::description_size, "%s",
                      description_of(*d.bridge, interface).c_str());
    put(handle, open ? handle_of(d, interface) : Handle{nullptr});
    return status::ok;
}

__declspec(dllexport) Status WINAPI FT_OpenEx(void* what, DWORD how, Handle* handle) {
    Driver& d = driver();
    if (!what || !handle) return status::invalid_parameter;
    for (int interface = 1; interface <= interface_count(d); ++interface) {
        const bool named =
            how == d2xx::open_by_serial_number ? serial_of(*d.bridge, interface) == static_cast<const char*>(what)
            : how == d2xx::open_by_description ? description_of(*d.bridge, interface) == static_cast<const char*>(what)
            : how == d2xx::open_by_location    ? reinterpret_cast<std::uintptr_t>(what) == first_location + interface - 1
                                               : false;
        if (!named) continue;
        const char* refused = "";
        if (d.open_interface != 0 || d.bridge->open(interface, refused) != 0) return status::device_not_opened;
        d.open_interface = interface;
        d.received.clear();
        d.read_timeout_ms = 0;
        *handle = handle_of(d, interface);
        return status::ok;
    }
    const bool known = how == d2xx::open_by_serial_number || how == d2xx::open_by_description || how == d2xx::open_by_location;
    return known ? status::device_not_found : status::invalid_parameter;
}

__declspec(dllexport) Status WINAPI FT_Close(Handle h) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    (void)opened(d).close();
    d.open_interface = 0;
    d.received.clear();
    return status::ok;
}

__declspec(dllexport) Status WINAPI FT_ResetDevice(Handle h) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    d.received.clear();
    return opened(d).purge() < 0 ? status::io_error : status::ok;
}

__declspec(dllexport) Status WINAPI FT_SetUSBParameters(Handle h, ULONG in_size, ULONG out_size) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    const auto fits = [](ULONG size) { return size >= least_transfer && size <= most_transfer && size % least_transfer == 0; };
    return fits(in_size) && (out_size == 0 || fits(out_size)) ? status::ok : status::invalid_parameter;
}

__declspec(dllexport) Status WINAPI FT_SetLatencyTimer(Handle h, UCHAR ms) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    // 2 to 255 ms; the Hi-Speed chips also take 1.
    const UCHAR least = device_type(*d.bridge) == d2xx::device::ft2232c ? 2 : 1;
    if (ms < least) return status::invalid_parameter;
    return opened(d).set_latency_timer(ms) < 0 ? status::io_error : status::ok;
}

__declspec(dllexport) Status WINAPI FT_SetBitMode(Handle h, UCHAR mask, UCHAR mode) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    if (std::find(bit_modes.begin(), bit_modes.end(), mode) == bit_modes.end()) return status::invalid_parameter;
    return opened(d).set_bitmode(mask, mode) < 0 ? status::io_error : status::ok;
}

// The chip's baud generator: from 300 baud to the chip's fastest.
__declspec(dllexport) Status WINAPI FT_SetBaudRate(Handle h, ULONG rate) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    if (rate < least_baud || rate > static_cast<ULONG>(d.bridge->top_baud())) return status::invalid_baud_rate;
    const ULONG asked = opened(d).bit_banging() ? std::max<ULONG>(rate / bit_bang_rate_factor, 1) : rate;
    return opened(d).set_baudrate(static_cast<int>(asked)) < 0 ? status::io_error : status::ok;
}

__declspec(dllexport) Status WINAPI FT_Purge(Handle h, ULONG mask) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    if (mask == 0 || (mask & ~(d2xx::purge_rx | d2xx::purge_tx)) != 0) return status::invalid_parameter;
    if (!(mask & d2xx::purge_rx)) return status::ok;
    d.received.clear();
    return opened(d).purge() < 0 ? status::io_error : status::ok;
}

__declspec(dllexport) Status WINAPI FT_SetTimeouts(Handle h, ULONG read_ms, ULONG) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    d.read_timeout_ms = read_ms;
    return status::ok;
}

__declspec(dllexport) Status WINAPI FT_Write(Handle h, void* data, DWORD size, DWORD* written) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    if (!written || (!data && size > 0)) return status::invalid_parameter;
    *written = 0;
    if (opened(d).write(static_cast<const unsigned char*>(data), static_cast<int>(size)) < 0) return status::io_error;
    *written = size;
    return status::ok;
}

__declspec(dllexport) Status WINAPI FT_GetQueueStatus(Handle h, DWORD* waiting) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    if (!waiting) return status::invalid_parameter;
    if (!poll(d)) return status::io_error;
    *waiting = static_cast<DWORD>(d.received.size());
    return status::ok;
}

// Waits until size bytes have come or the read timeout runs out on the
// card's clock; a timeout is no error, the bytes that came are returned.
__declspec(dllexport) Status WINAPI FT_Read(Handle h, void* data, DWORD size, DWORD* got) {
    Driver& d = driver();
    if (!valid(d, h)) return status::invalid_handle;
    if (!got || (!data && size > 0)) return status::invalid_parameter;
    *got = 0;
    const std::uint64_t limit = d.read_timeout_ms ? std::uint64_t{d.read_timeout_ms} * 1'000'000 : unbounded_read_ns;
    const std::uint64_t start = opened(d).now_ns();
    while (d.received.size() < size && opened(d).now_ns() - start < limit)
        if (!poll(d)) return status::io_error;
    const std::size_t n = std::min<std::size_t>(size, d.received.size());
    std::copy_n(d.received.begin(), n, static_cast<std::uint8_t*>(data));
    d.received.erase(d.received.begin(), d.received.begin() + static_cast<std::ptrdiff_t>(n));
    *got = static_cast<DWORD>(n);
    return status::ok;
}

}  // extern "C"
