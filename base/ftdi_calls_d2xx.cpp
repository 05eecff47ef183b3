// The FTDI table over FTDI's D2XX driver on Windows: ftd2xx.dll, loaded
// when a bridge is wanted, each call looked up by name. Each context loads
// the DLL (the system counts the loads) and keeps its own handle and its
// last error, so several bridges can be open at once.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "base/d2xx.h"
#include "base/ftdi_calls.h"

namespace {

constexpr const char* library = "ftd2xx.dll";

struct Api {
    d2xx::CreateDeviceInfoList create_device_info_list;
    d2xx::GetDeviceInfoDetail get_device_info_detail;
    d2xx::OpenEx open_ex;
    d2xx::Close close;
    d2xx::ResetDevice reset_device;
    d2xx::SetUSBParameters set_usb_parameters;
    d2xx::SetLatencyTimer set_latency_timer;
    d2xx::SetBitMode set_bit_mode;
    d2xx::SetBaudRate set_baud_rate;  // looked up only for bit-bang use: may be missing
    d2xx::Purge purge;
    d2xx::Write write;
    d2xx::Read read;
    d2xx::GetQueueStatus get_queue_status;
    d2xx::SetTimeouts set_timeouts;
};

constexpr unsigned char bitmode_mpsse = 0x02;

// libftdi's results, which the link reads.
constexpr int not_found = -3;
constexpr int open_failed = -4;
constexpr int claim_failed = -5;

// Bulk transfers as large as the driver takes; a read that waits at most
// this long for its first byte; writes bounded likewise.
constexpr ULONG transfer_size = 65536;
constexpr ULONG read_timeout_ms = 100;
constexpr ULONG write_timeout_ms = 1000;
// The FT2232D's latency timer starts at 2 ms; the H chips' at 1.
constexpr UCHAR ft2232c_least_latency = 2;

// D2XX chip kinds as libftdi's ftdi_chip_type numbers; the chips with more
// than one interface list each as its own device, serial and description
// ending in the interface's letter.
struct Kind {
    DWORD device;
    int libftdi_type;
    bool lettered;
};
constexpr std::array<Kind, 6> kinds{{
    {d2xx::device::ft2232c, ftdi_chip::ft2232d, true},
    {d2xx::device::ft232r, ftdi_chip::ft232r, false},
    {d2xx::device::ft_x_series, ftdi_chip::ft230x, false},
    {d2xx::device::ft2232h, ftdi_chip::ft2232h, true},
    {d2xx::device::ft4232h, ftdi_chip::ft4232h, true},
    {d2xx::device::ft232h, ftdi_chip::ft232h, false},
}};

constexpr std::array<const char*, 20> status_names{
    "FT_OK", "FT_INVALID_HANDLE", "FT_DEVICE_NOT_FOUND", "FT_DEVICE_NOT_OPENED", "FT_IO_ERROR",
    "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER", "FT_INVALID_BAUD_RATE", "FT_DEVICE_NOT_OPENED_FOR_ERASE",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE", "FT_FAILED_TO_WRITE_DEVICE", "FT_EEPROM_READ_FAILED", "FT_EEPROM_WRITE_FAILED",
    "FT_EEPROM_ERASE_FAILED", "FT_EEPROM_NOT_PRESENT", "FT_EEPROM_NOT_PROGRAMMED", "FT_INVALID_ARGS",
    "FT_NOT_SUPPORTED", "FT_OTHER_ERROR", "FT_DEVICE_LIST_NOT_READY"};

struct Context {
    HMODULE dll = nullptr;
    Api api{};
    int interface = 1;
    d2xx::Handle handle = nullptr;
    const Kind* kind = nullptr;
    DWORD location = 0;
    bool bit_bang = false;  // a bit-bang mode is set: rates go to the chip as libftdi sends them
    std::string error;
};
Context& context(ftdi_context* ftdi) { return *reinterpret_cast<Context*>(ftdi); }

// A D2XX call's status, kept as the context's error when it failed.
bool succeeded(Context& c, const char* call, d2xx::Status status) {
    if (status == d2xx::status::ok) return true;
    c.error = std::string("D2XX ") + call + ": " +
              (status < status_names.size() ? status_names[status] : "status " + std::to_string(status));
    return false;
}

template <class Call>
bool look_up(HMODULE dll, const char* name, Call& call) {
    call = reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    return call != nullptr;
}

bool load(Context& c) {
    c.dll = LoadLibraryA(library);
    if (!c.dll) return false;
    Api& a = c.api;
    (void)look_up(c.dll, "FT_SetBaudRate", a.set_baud_rate);
    return look_up(c.dll, "FT_CreateDeviceInfoList", a.create_device_info_list) &&
           look_up(c.dll, "FT_GetDeviceInfoDetail", a.get_device_info_detail) && look_up(c.dll, "FT_OpenEx", a.open_ex) &&
           look_up(c.dll, "FT_Close", a.close) && look_up(c.dll, "FT_ResetDevice", a.reset_device) &&
           look_up(c.dll, "FT_SetUSBParameters", a.set_usb_parameters) &&
           look_up(c.dll, "FT_SetLatencyTimer", a.set_latency_timer) && look_up(c.dll, "FT_SetBitMode", a.set_bit_mode) &&
           look_up(c.dll, "FT_Purge", a.purge) && look_up(c.dll, "FT_Write", a.write) && look_up(c.dll, "FT_Read", a.read) &&
           look_up(c.dll, "FT_GetQueueStatus", a.get_queue_status) && look_up(c.dll, "FT_SetTimeouts", a.set_timeouts);
}

ftdi_context* new_context() {
    auto* c = new Context;
    if (load(*c)) return reinterpret_cast<ftdi_context*>(c);
    if (c->dll) FreeLibrary(c->dll);
    delete c;
    return nullptr;
}

void free_context(ftdi_context* ftdi) {
    if (!ftdi) return;
    Context* c = &context(ftdi);
    if (c->handle) (void)c->api.close(c->handle);
    FreeLibrary(c->dll);
    delete c;
}

const Kind* kind_of(DWORD device) {
    for (const Kind& kind : kinds)
        if (kind.device == device) return &kind;
    return nullptr;
}

// One entry of the driver's device list, as the guide's FT_GetDeviceInfoDetail gives it.
struct Entry {
    DWORD flags = 0, type = 0, id = 0, location = 0;
    std::array<char, d2xx::serial_size> serial{};
    std::array<char, d2xx::description_size> description{};
};

// An entry is the bridge asked for when its ids match and its serial does,
// less the interface letter a chip with several interfaces adds.
bool same_bridge(const Entry& entry, const Kind* kind, const char* serial) {
    if (!serial) return true;
    std::string own(entry.serial.data());
    if (kind && kind->lettered && !own.empty()) own.pop_back();
    return own == serial || std::string(entry.serial.data()) == serial;
}

char interface_letter(const Entry& entry, const Kind* kind) {
    const std::string own(entry.serial.data());
    return kind && kind->lettered && !own.empty() ? own.back() : 'A';
}

// Opens the entry and readies it: a reset, large transfers, bounded reads and writes.
int open_entry(Context& c, Entry& entry, const Kind* kind) {
    if (entry.flags & d2xx::flag_opened) {
        c.error = std::string("D2XX: the bridge ") + entry.serial.data() + " is open in another program";
        return claim_failed;
    }
    if (!succeeded(c, "FT_OpenEx", c.api.open_ex(entry.serial.data(), d2xx::open_by_serial_number, &c.handle))) {
        c.handle = nullptr;
        return open_failed;
    }
    c.kind = kind;
    c.location = entry.location;
    if (succeeded(c, "FT_ResetDevice", c.api.reset_device(c.handle)) &&
        succeeded(c, "FT_SetUSBParameters", c.api.set_usb_parameters(c.handle, transfer_size, transfer_size)) &&
        succeeded(c, "FT_SetTimeouts", c.api.set_timeouts(c.handle, read_timeout_ms, write_timeout_ms)))
        return 0;
    (void)c.api.close(c.handle);
    c.handle = nullptr;
    return open_failed;
}

int open(ftdi_context* ftdi, int vendor, int product, const char* serial) {
    Context& c = context(ftdi);
    DWORD count = 0;
    if (!succeeded(c, "FT_CreateDeviceInfoList", c.api.create_device_info_list(&count))) return not_found;
    c.error = "device not found";
    const DWORD wanted_id = static_cast<DWORD>(vendor) << 16 | static_cast<DWORD>(product);
    const char wanted_letter = static_cast<char>('A' + c.interface - 1);
    bool other_interface = false;
    for (DWORD i = 0; i < count; ++i) {
        Entry e;
        d2xx::Handle held = nullptr;
        if (c.api.get_device_info_detail(i, &e.flags, &e.type, &e.id, &e.location, e.serial.data(), e.description.data(),
                                         &held) != d2xx::status::ok ||
            e.id != wanted_id)
            continue;
        const Kind* kind = kind_of(e.type);
        if (!same_bridge(e, kind, serial)) continue;
        if (interface_letter(e, kind) == wanted_letter) return open_entry(c, e, kind);
        other_interface = true;
    }
    if (other_interface) c.error = std::string("the bridge has no interface ") + wanted_letter;
    return other_interface ? claim_failed : not_found;
}

int close(ftdi_context* ftdi) {
    Context& c = context(ftdi);
    if (!c.handle) return 0;
    const bool closed = succeeded(c, "FT_Close", c.api.close(c.handle));
    c.handle = nullptr;
    return closed ? 0 : -1;
}

// Calls on an open bridge: 0 when D2XX says FT_OK, else -1 with its status kept.
template <class Call, class... Args>
int on_open(ftdi_context* ftdi, const char* name, Call Api::*call, Args... args) {
    Context& c = context(ftdi);
    if (!c.handle) {
        c.error = "the FTDI bridge is not open";
        return -1;
    }
    return succeeded(c, name, (c.api.*call)(c.handle, args...)) ? 0 : -1;
}

int set_latency_timer(ftdi_context* ftdi, unsigned char ms) {
    const Kind* kind = context(ftdi).kind;
    if (kind && kind->device == d2xx::device::ft2232c && ms < ft2232c_least_latency) ms = ft2232c_least_latency;
    return on_open(ftdi, "FT_SetLatencyTimer", &Api::set_latency_timer, static_cast<UCHAR>(ms));
}

int write(ftdi_context* ftdi, const unsigned char* data, int size) {
    Context& c = context(ftdi);
    DWORD written = 0;
    if (!c.handle ||
        !succeeded(c, "FT_Write", c.api.write(c.handle, const_cast<unsigned char*>(data), static_cast<DWORD>(size), &written)))
        return -1;
    return static_cast<int>(written);
}

// What has come in, as libftdi's read gives it: when nothing waits, one
// byte is waited for (up to the read timeout), then whatever followed it.
int read(ftdi_context* ftdi, unsigned char* data, int size) {
    Context& c = context(ftdi);
    if (!c.handle) return -1;
    DWORD waiting = 0;
    DWORD got = 0;
    if (!succeeded(c, "FT_GetQueueStatus", c.api.get_queue_status(c.handle, &waiting))) return -1;
    if (waiting == 0) {
        if (size == 0) return 0;
        if (!succeeded(c, "FT_Read", c.api.read(c.handle, data, 1, &got))) return -1;
        if (got == 0 || !succeeded(c, "FT_GetQueueStatus", c.api.get_queue_status(c.handle, &waiting))) return static_cast<int>(got);
    }
    const DWORD more = std::min<DWORD>(waiting, static_cast<DWORD>(size) - got);
    DWORD rest = 0;
    if (more > 0 && !succeeded(c, "FT_Read", c.api.read(c.handle, data + got, more, &rest))) return -1;
    return static_cast<int>(got + rest);
}

int chip_type(ftdi_context* ftdi) {
    const Kind* kind = context(ftdi).kind;
    return kind ? kind->libftdi_type : -1;
}

const char* error_string(ftdi_context* ftdi) {
    if (!ftdi) return "cannot load ftd2xx.dll with the D2XX calls: install FTDI's D2XX driver for the bridge";
    return context(ftdi).error.c_str();
}

std::uint64_t now_ns(ftdi_context*) {
    LARGE_INTEGER ticks, per_second;
    QueryPerformanceCounter(&ticks);
    QueryPerformanceFrequency(&per_second);
    const auto t = static_cast<std::uint64_t>(ticks.QuadPart), f = static_cast<std::uint64_t>(per_second.QuadPart);
    return t / f * 1'000'000'000 + t % f * 1'000'000'000 / f;
}

void sleep_ns(ftdi_context*, std::uint64_t ns) { Sleep(static_cast<DWORD>((ns + 999'999) / 1'000'000)); }

// The driver's location id names the bridge's place on the USB.
int usb_place(ftdi_context* ftdi, char* text, int size) {
    const Context& c = context(ftdi);
    if (!c.handle) return -1;
    return std::snprintf(text, static_cast<std::size_t>(size), "loc%lx", static_cast<unsigned long>(c.location)) < size ? 0 : -1;
}

}  // namespace

FtdiCalls ftdi_calls_real() {
    return {
        new_context,
        free_context,
        [](ftdi_context* ftdi, int interface) {
            Context& c = context(ftdi);
            if (c.handle) return not_found;
            c.interface = interface;
            return interface >= 1 && interface <= 4 ? 0 : -1;
        },
        open,
        close,
        chip_type,
        set_latency_timer,
        [](ftdi_context* ftdi, unsigned char pins, unsigned char mode) {
            context(ftdi).bit_bang = mode != 0 && mode != bitmode_mpsse;
            return on_open(ftdi, "FT_SetBitMode", &Api::set_bit_mode, static_cast<UCHAR>(pins), static_cast<UCHAR>(mode));
        },
        [](ftdi_context* ftdi, int baudrate) {
            Context& c = context(ftdi);
            if (!c.api.set_baud_rate) {
                c.error = "ftd2xx.dll has no FT_SetBaudRate";
                return -1;
            }
            // libftdi multiplies a bit-bang rate by four; D2XX takes the chip's rate.
            const ULONG rate = static_cast<ULONG>(baudrate) * (c.bit_bang ? 4 : 1);
            return on_open(ftdi, "FT_SetBaudRate", &Api::set_baud_rate, rate);
        },
        [](ftdi_context* ftdi) { return on_open(ftdi, "FT_Purge", &Api::purge, d2xx::purge_rx | d2xx::purge_tx); },
        write,
        read,
        error_string,
        now_ns,
        sleep_ns,
        usb_place,
    };
}

FtdiCalls ftdi_calls = ftdi_calls_real();
