#include "link/ftdi_bridge.h"

#include <array>

namespace spi {

namespace {

constexpr unsigned char bitmode_reset = 0x00;

// What libftdi's open returns.
constexpr int open_not_found = -3;
constexpr int open_failed = -4;   // libusb_open() failed: most often no permission
constexpr int claim_failed = -5;  // the interface is held, or the chip has none of that name
constexpr int open_denied = -8;   // inappropriate permissions on device

// What to do when the bridge cannot be opened: on Linux the device's
// permissions and the kernel's serial driver; on Windows, FTDI's driver
// lets one program at a time have it.
#ifdef _WIN32
constexpr const char* no_permission_advice = "; is FTDI's D2XX driver installed for it (Device Manager)?";
constexpr const char* held_advice = "; another program holds it: end the other program";
#else
constexpr const char* no_permission_advice =
    "; no permission: add a udev rule that gives you the device (such as SUBSYSTEM==\"usb\", "
    "ATTR{idVendor}==\"0403\", MODE=\"0666\"), plug it in again, or run as root";
constexpr const char* held_advice =
    "; the kernel's ftdi_sio driver or another program holds it: unbind ftdi_sio (echo the interface, such as "
    "1-1:1.0, > /sys/bus/usb/drivers/ftdi_sio/unbind) or end the other program";
#endif

// Interfaces on each chip, by libftdi's chip type (0: not one of these).
struct ChipName {
    int type;
    const char* name;
    int interfaces;
};
constexpr std::array<ChipName, 8> chip_names{{
    {0, "FT232AM", 1},
    {1, "FT232BM", 1},
    {ftdi_chip::ft2232d, "FT2232D", 2},
    {ftdi_chip::ft232r, "FT232R", 1},
    {ftdi_chip::ft2232h, "FT2232H", 2},
    {ftdi_chip::ft4232h, "FT4232H", 4},
    {ftdi_chip::ft232h, "FT232H", 1},
    {ftdi_chip::ft230x, "FT230X/FT231X", 1},
}};

const ChipName* chip_of(int type) {
    for (const ChipName& chip : chip_names)
        if (chip.type == type) return &chip;
    return nullptr;
}

std::string hex4(int value) {
    constexpr char digits[] = "0123456789abcdef";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = digits[value & 0xF];
    return text;
}

}  // namespace

std::string ftdi_chip_name(int type) {
    const ChipName* chip = chip_of(type);
    return chip ? chip->name : "chip of libftdi type " + std::to_string(type);
}

std::string ftdi_ids(int product) { return hex4(ftdi_vendor) + ":" + hex4(product); }

FtdiBridge::~FtdiBridge() {
    lock_.give_back();
    if (!ftdi_) return;
    (void)ftdi_calls.set_bitmode(ftdi_, 0, bitmode_reset);
    close();
}

void FtdiBridge::close() {
    lock_.give_back();
    if (!ftdi_) return;
    (void)ftdi_calls.close(ftdi_);
    ftdi_calls.free_context(ftdi_);
    ftdi_ = nullptr;
}

Outcome FtdiBridge::open(const FtdiWanted& wanted, std::span<const int> products, const std::string& kind) {
    ftdi_ = ftdi_calls.new_context();
    if (!ftdi_) return Outcome::failed(std::string("no FTDI support: ") + ftdi_calls.error_string(nullptr));
    Outcome opened = open_first(wanted, products, kind);
    if (opened && wanted.lock) opened = lock_place(wanted);
    // Not opened, or another run holds the bridge: let go of it untouched.
    if (!opened) close();
    return opened;
}

Outcome FtdiBridge::open_first(const FtdiWanted& wanted, std::span<const int> products, const std::string& kind) {
    if (ftdi_calls.set_interface(ftdi_, wanted.interface) < 0)
        return Outcome::failed(std::string("FTDI interface: ") + ftdi_calls.error_string(ftdi_));
    const char* serial = wanted.serial.empty() ? nullptr : wanted.serial.c_str();
    none_found_ = false;
    for (int product : products) {
        const int result = ftdi_calls.open(ftdi_, ftdi_vendor, product, serial);
        if (result == 0) {
            product_ = product;
            return Outcome::ok();
        }
        if (result != open_not_found) return why_not_opened(wanted, product, result);
    }
    none_found_ = true;
    std::string looked_for = "no " + kind + " found (looked for";
    for (int product : products) looked_for.append(" ").append(ftdi_ids(product));
    if (serial) looked_for.append(" with serial ").append(wanted.serial);
    return Outcome::failed(looked_for.append(")"));
}

// libftdi's words, and what to do about them. A claim that fails on
// interface B may mean a chip with interface A only: opened on A, it says.
Outcome FtdiBridge::why_not_opened(const FtdiWanted& wanted, int product, int result) {
    const std::string said = "cannot open the FTDI bridge " + ftdi_ids(product) + ": " + ftdi_calls.error_string(ftdi_);
    if (result == open_failed || result == open_denied) return Outcome::failed(said + no_permission_advice);
    if (result != claim_failed) return Outcome::failed(said);
    if (wanted.interface > 1 && ftdi_calls.set_interface(ftdi_, 1) == 0 &&
        ftdi_calls.open(ftdi_, ftdi_vendor, product, wanted.serial.empty() ? nullptr : wanted.serial.c_str()) == 0) {
        const int type = ftdi_calls.chip_type(ftdi_);
        const ChipName* chip = chip_of(type);
        (void)ftdi_calls.close(ftdi_);
        if (chip && chip->interfaces < wanted.interface)
            return Outcome::failed("the FTDI bridge is an " + ftdi_chip_name(type) + ": it has no interface " +
                                   static_cast<char>('A' + wanted.interface - 1) + " (give interface=A)");
    }
    return Outcome::failed(said + held_advice);
}

// Locked by the bridge's place on the USB, so that every way of naming one
// bridge takes one lock, whichever link drives it.
Outcome FtdiBridge::lock_place(const FtdiWanted& wanted) {
    char place[64];
    const std::string where = ftdi_calls.usb_place(ftdi_, place, sizeof place) == 0
                                  ? std::string("usb-") + place
                                  : (wanted.serial.empty() ? std::string("first") : wanted.serial);
    return lock_.take("ftdi-" + where + "-" + static_cast<char>('A' + wanted.interface - 1));
}

}  // namespace spi
