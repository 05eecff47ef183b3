#include "sim/adapter_settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <utility>

namespace {

template <typename T>
bool set_number(std::string_view text, T min, T max, T& field) {
    T n{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (text.empty() || ec != std::errc() || ptr != end || n < min || n > max) return false;
    field = n;
    return true;
}

template <typename T, std::size_t N>
bool set_named(std::string_view value, const std::array<std::pair<std::string_view, T>, N>& names, T& field) {
    for (const auto& [name, meaning] : names) {
        if (value != name) continue;
        field = meaning;
        return true;
    }
    return false;
}

// The kernel rounds to a power of two.
bool set_align(std::string_view value, std::size_t& field) {
    std::size_t n = 0;
    if (!set_number<std::size_t>(value, 1, 4096, n) || (n & (n - 1)) != 0) return false;
    field = n;
    return true;
}

bool set_unplug(std::string_view value, SimSettings& s) {
    std::uint64_t n = 0;
    if (!set_number<std::uint64_t>(value, 0, 1'000'000'000, n)) return false;
    s.ftdi.unplug_after = n;
    return true;
}

struct Setting {
    std::string_view name;
    std::string_view range;
    bool (*apply)(std::string_view value, SimSettings& s);
};

// A USB serial as FTDI's EEPROM holds it: up to 15 letters and digits.
bool set_serial(std::string_view value, SimSettings& s) {
    const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    });
    if (value.empty() || value.size() > 15 || !plain) return false;
    s.ftdi.serial = std::string(value);
    return true;
}

constexpr std::array<Setting, 14> adapter_settings{{
    {"bufsiz", "64 to 65536", [](std::string_view v, SimSettings& s) { return set_number<std::size_t>(v, 64, 65536, s.spidev.bufsiz); }},
    {"align", "a power of two from 1 to 4096", [](std::string_view v, SimSettings& s) { return set_align(v, s.spidev.align); }},
    {"link-align", "a power of two from 1 to 4096", [](std::string_view v, SimSettings& s) {
         std::size_t n = 0;
         if (!set_align(v, n)) return false;
         s.spidev.link_align = n;
         return true;
     }},
    {"controller", "no-cs, cs-high or plain", [](std::string_view v, SimSettings& s) {
         constexpr std::array<std::pair<std::string_view, SpiController>, 3> names{
             {{"no-cs", SpiController::no_cs}, {"cs-high", SpiController::cs_high}, {"plain", SpiController::plain}}};
         return set_named(v, names, s.spidev.controller);
     }},
    {"spi-min", "1000 to 10000000 Hz", [](std::string_view v, SimSettings& s) { return set_number<std::uint32_t>(v, 1000, 10'000'000, s.spidev.min_hz); }},
    {"spi-max", "400000 to 100000000 Hz", [](std::string_view v, SimSettings& s) { return set_number<std::uint32_t>(v, 400'000, 100'000'000, s.spidev.max_hz); }},
    {"chip", "ft232h, ft2232h, ft4232h, ft2232d, ft232r, ft230x or ft231x", [](std::string_view v, SimSettings& s) {
         constexpr std::array<std::pair<std::string_view, FtdiChip>, 7> names{{{"ft232h", FtdiChip::ft232h},
                                                                               {"ft2232h", FtdiChip::ft2232h},
                                                                               {"ft4232h", FtdiChip::ft4232h},
                                                                               {"ft2232d", FtdiChip::ft2232d},
                                                                               {"ft232r", FtdiChip::ft232r},
                                                                               {"ft230x", FtdiChip::ft230x},
                                                                               {"ft231x", FtdiChip::ft231x}}};
         FtdiChip chip{};
         if (!set_named(v, names, chip)) return false;
         s.ftdi.chip = chip;
         return true;
     }},
    {"interface", "A or B", [](std::string_view v, SimSettings& s) {
         constexpr std::array<std::pair<std::string_view, int>, 2> names{{{"A", 1}, {"B", 2}}};
         return set_named(v, names, s.ftdi.interface);
     }},
    {"serial", "up to 15 letters and digits", set_serial},
    {"usb", "denied or busy", [](std::string_view v, SimSettings& s) {
         constexpr std::array<std::pair<std::string_view, UsbFault>, 2> names{{{"denied", UsbFault::denied}, {"busy", UsbFault::busy}}};
         return set_named(v, names, s.ftdi.open_fault);
     }},
    {"unplug", "a count of USB transfers", set_unplug},
    {"gpio-busy", "a line of the GPIO chip", [](std::string_view v, SimSettings& s) {
         std::uint32_t n = 0;
         if (!set_number<std::uint32_t>(v, 0, s.gpio.lines - 1, n)) return false;
         s.gpio.busy.push_back(n);
         return true;
     }},
    {"gpio-power", "a line of the GPIO chip", [](std::string_view v, SimSettings& s) {
         std::uint32_t n = 0;
         if (!set_number<std::uint32_t>(v, 0, s.gpio.lines - 1, n)) return false;
         s.gpio.power = n;
         return true;
     }},
    {"round-trip", "1 to 100000 us", [](std::string_view v, SimSettings& s) {
         std::uint64_t us = 0;
         if (!set_number<std::uint64_t>(v, 1, 100'000, us)) return false;
         s.ftdi.round_trip_ns = us * 1000;
         return true;
     }},
}};

}  // namespace

std::optional<Outcome> sim_adapter_setting(std::string_view name, std::string_view value, SimSettings& s) {
    for (const Setting& setting : adapter_settings) {
        if (setting.name != name) continue;
        if (setting.apply(value, s)) return Outcome::ok();
        return Outcome::failed("bad value '" + std::string(value) + "' for simulated-card setting " + std::string(name) +
                               " (" + std::string(setting.range) + ")");
    }
    return std::nullopt;
}

const char* const sim_adapter_settings_help =
    "  with via=spidev, the stand-in spidev device and its controller:\n"
    "  bufsiz=N      the kernel's buffer for one message (default 4096)\n"
    "  align=N       each transfer rounded up to N bytes in it (default 128)\n"
    "  link-align=N  the alignment the link is given (default: align's)\n"
    "  controller=no-cs|cs-high|plain  mode bits the controller has: SPI_NO_CS\n"
    "                and SPI_CS_HIGH (default), SPI_CS_HIGH only, or neither\n"
    "  spi-min=HZ, spi-max=HZ  the controller's clock range (default 100000 to\n"
    "                50000000)\n"
    "  with via=ftdi or via=ftdi-bitbang, the stand-in bridge:\n"
    "  chip=CHIP     ft232h (via=ftdi's default), ft2232h, ft4232h, ft2232d,\n"
    "                ft232r (via=ftdi-bitbang's default), ft230x or ft231x\n"
    "  interface=A|B the interface opened (default A)\n"
    "  serial=S      the bridge's USB serial; a station's sockets giving one\n"
    "                serial are interfaces of one chip (default: a bridge each)\n"
    "  usb=denied|busy  opening fails: no permission, or ftdi_sio holds it\n"
    "  unplug=N      the bridge is pulled out after N USB transfers\n"
    "  round-trip=US a USB round trip to the idle bridge (default 1000)\n"
    "  with via=gpio, the stand-in GPIO chip gpiochip0 (54 lines; the card on\n"
    "  SCK 11, MOSI 10, MISO 9, CS 8, its supply always on):\n"
    "  gpio-busy=N   line N is held by a kernel driver (\"spi0 CS0\")\n"
    "  gpio-power=N  line N switches the card's supply (high: on)\n";
