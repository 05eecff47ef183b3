#include <fcntl.h>
#include <linux/gpio.h>

#include <cerrno>
#include <cstring>

#include "base/system_calls.h"
#include "port/gpio_lines.h"
#include "port/wiring.h"

namespace {

// Bits of the line request, in the order of offsets().
constexpr std::uint64_t sck_bit = 1 << 0, mosi_bit = 1 << 1, cs_bit = 1 << 2, miso_bit = 1 << 3, power_bit = 1 << 4;
constexpr const char* consumer = "vantacle";
// A failed read shows DO high, as an idle line does.
constexpr std::uint8_t idle_status = 0x00;

std::string line_name(std::uint32_t offset, const std::string& chip) {
    return "line " + std::to_string(offset) + " of " + chip;
}

}  // namespace

GpioLines::~GpioLines() {
    if (fd_ >= 0) (void)system_calls.close(fd_);
}

std::array<std::uint32_t, 5> GpioLines::offsets() const {
    return {target_.sck, target_.mosi, target_.cs, target_.miso, target_.power.value_or(0)};
}

// Any line a driver or program holds is named with its consumer, before
// the request that would fail with EBUSY alone.
Outcome GpioLines::check_free(int chip) const {
    const auto lines = offsets();
    for (std::uint32_t i = 0; i < line_count(); ++i) {
        gpio_v2_line_info info{};
        info.offset = lines[i];
        if (system_calls.ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info) != 0)
            return Outcome::failed("cannot use " + line_name(lines[i], target_.chip) + ": " + std::strerror(errno));
        if (info.flags & GPIO_V2_LINE_FLAG_USED) {
            const std::string by = info.consumer[0] ? std::string("\"") + info.consumer + "\"" : "another driver";
            return Outcome::failed("cannot use " + line_name(lines[i], target_.chip) + ": it is in use by " + by);
        }
    }
    return Outcome::ok();
}

// Outputs start with the card unpowered, CS and MOSI high, SCK low.
Outcome GpioLines::request(int chip) {
    gpio_v2_line_request r{};
    const auto lines = offsets();
    for (std::uint32_t i = 0; i < line_count(); ++i) r.offsets[i] = lines[i];
    r.num_lines = line_count();
    std::strncpy(r.consumer, consumer, sizeof r.consumer - 1);
    r.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    r.config.num_attrs = 2;
    r.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    r.config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    r.config.attrs[0].mask = miso_bit;
    r.config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    r.config.attrs[1].attr.values = mosi_bit | cs_bit;
    r.config.attrs[1].mask = sck_bit | mosi_bit | cs_bit | (target_.power ? power_bit : 0);
    if (system_calls.ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &r) != 0) {
        const int error = errno;
        if (error == EBUSY) return Outcome::failed("cannot use the lines of " + target_.chip + ": one of them is in use");
        return Outcome::failed("cannot request the lines of " + target_.chip + ": " + std::strerror(error));
    }
    fd_ = r.fd;
    last_bits_ = mosi_bit | cs_bit;
    return Outcome::ok();
}

Outcome GpioLines::acquire() {
    fault_.clear();
    const int chip = system_calls.open(target_.chip.c_str(), O_RDWR | O_CLOEXEC);
    if (chip < 0) {
        const int error = errno;
        const char* advice = error == EACCES || error == EPERM ? "; add your user to the gpio group and log in again" : "";
        return Outcome::failed("cannot open " + target_.chip + ": " + std::strerror(error) + advice);
    }
    Outcome taken = check_free(chip);
    if (taken) taken = request(chip);
    (void)system_calls.close(chip);
    return taken;
}

bool GpioLines::release() {
    if (fd_ < 0) return true;
    const bool closed = system_calls.close(fd_) == 0;
    fd_ = -1;
    return closed;
}

void GpioLines::failed(const char* call) {
    if (fault_.empty()) fault_ = std::string("gpio: ") + call + " on " + target_.chip + " failed: " + std::strerror(errno);
}

// The port's pattern onto the lines; an unchanged pattern costs no ioctl.
void GpioLines::write_data(std::uint8_t lines) {
    std::uint64_t bits = 0;
    if (lines & wiring::sck) bits |= sck_bit;
    if (lines & wiring::di) bits |= mosi_bit;
    if (lines & wiring::cs) bits |= cs_bit;
    if ((lines & wiring::supply) == wiring::supply) bits |= power_bit;
    if (!target_.power) bits &= ~power_bit;
    if (bits == last_bits_ || fd_ < 0) return;
    gpio_v2_line_values values{.bits = bits, .mask = sck_bit | mosi_bit | cs_bit | (target_.power ? power_bit : 0)};
    if (system_calls.ioctl(fd_, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) return failed("setting the lines");
    last_bits_ = bits;
}

// DO high reads as status bit 7 clear, as on the port.
std::uint8_t GpioLines::read_status() {
    gpio_v2_line_values values{.bits = 0, .mask = miso_bit};
    if (fd_ < 0 || system_calls.ioctl(fd_, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        failed("reading MISO");
        return idle_status;
    }
    return (values.bits & miso_bit) ? 0x00 : wiring::do_status;
}

// About a microsecond an ioctl, three a bit when lean: the clock the port reaches.
LineTraits GpioLines::traits() const { return {.switches_supply = target_.power.has_value()}; }

std::uint64_t GpioLines::now_ns() { return system_clock_ns(); }
void GpioLines::pause_ns(std::uint64_t ns) { system_pause_ns(ns); }
