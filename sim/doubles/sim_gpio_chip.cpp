#include "sim/doubles/sim_gpio_chip.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int fail(int error) {
    errno = error;
    return -1;
}

bool zeroed(const void* bytes, std::size_t size) {
    const auto* b = static_cast<const std::uint8_t*>(bytes);
    return std::all_of(b, b + size, [](std::uint8_t x) { return x == 0; });
}

// The flags a line of a request gets: the last attribute of flags whose
// mask holds its bit, else the request's own.
std::uint64_t flags_of(const gpio_v2_line_config& config, std::uint32_t index) {
    std::uint64_t flags = config.flags;
    for (std::uint32_t i = 0; i < config.num_attrs; ++i)
        if (config.attrs[i].attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS && (config.attrs[i].mask >> index & 1))
            flags = config.attrs[i].attr.flags;
    return flags;
}

// The value an output starts at: the last values attribute that covers it, else low.
bool start_value(const gpio_v2_line_config& config, std::uint32_t index) {
    bool value = false;
    for (std::uint32_t i = 0; i < config.num_attrs; ++i)
        if (config.attrs[i].attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES && (config.attrs[i].mask >> index & 1))
            value = (config.attrs[i].attr.values >> index & 1) != 0;
    return value;
}

bool config_valid(const gpio_v2_line_config& config, std::uint32_t num_lines) {
    if (config.num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX || !zeroed(config.padding, sizeof config.padding)) return false;
    for (std::uint32_t i = 0; i < config.num_attrs; ++i) {
        const gpio_v2_line_attribute& attr = config.attrs[i].attr;
        if (attr.padding != 0) return false;
        if (attr.id != GPIO_V2_LINE_ATTR_ID_FLAGS && attr.id != GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES &&
            attr.id != GPIO_V2_LINE_ATTR_ID_DEBOUNCE)
            return false;
    }
    for (std::uint32_t i = 0; i < num_lines; ++i)
        if (!gpio_flags_valid(flags_of(config, i))) return false;
    return true;
}

}  // namespace

bool gpio_flags_valid(std::uint64_t flags) {
    constexpr std::uint64_t valid = GPIO_V2_LINE_FLAG_ACTIVE_LOW | GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT |
                                    GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING |
                                    GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE |
                                    GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                                    GPIO_V2_LINE_FLAG_BIAS_DISABLED | GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME |
                                    GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE;
    constexpr std::uint64_t edges = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    constexpr std::uint64_t drives = GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE;
    constexpr std::uint64_t biases = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                                     GPIO_V2_LINE_FLAG_BIAS_DISABLED;
    constexpr std::uint64_t clocks = GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME | GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE;
    const bool input = flags & GPIO_V2_LINE_FLAG_INPUT, output = flags & GPIO_V2_LINE_FLAG_OUTPUT;
    if ((flags & ~valid) || (input && output) || ((flags & edges) && !input) || (flags & drives) == drives) return false;
    if ((flags & drives) && !output) return false;
    if ((flags & biases) && !(input || output)) return false;
    if ((flags & clocks) == clocks) return false;
    return std::popcount(flags & biases) <= 1;
}

void SimGpioChip::hold(std::uint32_t offset, std::string consumer) {
    Line& l = lines_.at(offset);
    l.used = true;
    l.consumer = std::move(consumer);
}

// Offsets out of range and padding refused; a line in use shows
// GPIO_V2_LINE_FLAG_USED and its consumer.
int SimGpioChip::line_info(gpio_v2_line_info& info) const {
    if (info.offset >= lines_.size() || !zeroed(info.padding, sizeof info.padding)) return fail(EINVAL);
    const std::uint32_t offset = info.offset;
    const Line& l = lines_[offset];
    info = gpio_v2_line_info{};
    info.offset = offset;
    std::snprintf(info.name, sizeof info.name, "GPIO%u", offset);
    std::strncpy(info.consumer, l.consumer.c_str(), sizeof info.consumer - 1);
    info.flags = l.flags | (l.used ? GPIO_V2_LINE_FLAG_USED : 0);
    if (!(info.flags & (GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT))) info.flags |= GPIO_V2_LINE_FLAG_INPUT;
    return 0;
}

// Every check first, then every line taken: a refused request takes none.
int SimGpioChip::request(gpio_v2_line_request& r, int first_fd) {
    if (r.num_lines == 0 || r.num_lines > GPIO_V2_LINES_MAX || !zeroed(r.padding, sizeof r.padding) ||
        !config_valid(r.config, r.num_lines))
        return fail(EINVAL);
    for (std::uint32_t i = 0; i < r.num_lines; ++i)
        if (r.offsets[i] >= lines_.size()) return fail(EINVAL);
    for (std::uint32_t i = 0; i < r.num_lines; ++i) {
        const bool twice = std::find(r.offsets, r.offsets + i, r.offsets[i]) != r.offsets + i;
        if (twice || lines_[r.offsets[i]].used) return fail(EBUSY);
    }
    first_fd_ = first_fd;
    Request made{.offsets = std::vector<std::uint32_t>(r.offsets, r.offsets + r.num_lines), .open = true};
    const int number = static_cast<int>(requests_.size());
    for (std::uint32_t i = 0; i < r.num_lines; ++i) {
        Line& l = lines_[r.offsets[i]];
        l.used = true;
        l.owner = number;
        l.flags = flags_of(r.config, i);
        l.consumer = r.consumer[0] ? std::string(r.consumer, strnlen(r.consumer, sizeof r.consumer)) : "?";
        if (l.flags & GPIO_V2_LINE_FLAG_OUTPUT)
            l.high = start_value(r.config, i) != ((l.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) != 0);
    }
    requests_.push_back(std::move(made));
    r.fd = first_fd + number;
    if (on_output) on_output();
    return 0;
}

bool SimGpioChip::owns(int fd) const {
    return fd >= first_fd_ && fd < first_fd_ + static_cast<int>(requests_.size()) &&
           requests_[static_cast<std::size_t>(fd - first_fd_)].open;
}

SimGpioChip::Request* SimGpioChip::request_of(int fd) {
    return owns(fd) ? &requests_[static_cast<std::size_t>(fd - first_fd_)] : nullptr;
}

// Bits of the request's lines in order; only outputs may be set.
int SimGpioChip::set_values(int fd, const gpio_v2_line_values& values) {
    Request* r = request_of(fd);
    if (!r) return fail(EBADF);
    ++value_calls_;
    if (values.mask == 0) return fail(EINVAL);
    for (std::size_t i = 0; i < r->offsets.size(); ++i)
        if ((values.mask >> i & 1) && !(lines_[r->offsets[i]].flags & GPIO_V2_LINE_FLAG_OUTPUT)) return fail(EPERM);
    for (std::size_t i = 0; i < r->offsets.size(); ++i) {
        if (!(values.mask >> i & 1)) continue;
        Line& l = lines_[r->offsets[i]];
        l.high = ((values.bits >> i & 1) != 0) != ((l.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) != 0);
    }
    if (on_output) on_output();
    return 0;
}

bool SimGpioChip::read_line(std::uint32_t offset) const {
    const Line& l = lines_[offset];
    if (l.flags & GPIO_V2_LINE_FLAG_OUTPUT) return l.high;
    return input_level ? input_level(offset, (l.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_UP) != 0)
                       : (l.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_UP) != 0;
}

// Lines outside the mask read 0; a line's value is its level, flipped when active low.
int SimGpioChip::get_values(int fd, gpio_v2_line_values& values) {
    Request* r = request_of(fd);
    if (!r) return fail(EBADF);
    ++value_calls_;
    if (values.mask == 0) return fail(EINVAL);
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < r->offsets.size(); ++i) {
        if (!(values.mask >> i & 1)) continue;
        const std::uint32_t offset = r->offsets[i];
        const bool active_low = (lines_[offset].flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW) != 0;
        if (read_line(offset) != active_low) bits |= std::uint64_t{1} << i;
    }
    values.bits = bits;
    return 0;
}

// Closing a request gives its lines back; outputs keep their level.
int SimGpioChip::close(int fd) {
    Request* r = request_of(fd);
    if (!r) return fail(EBADF);
    for (std::uint32_t offset : r->offsets) {
        Line& l = lines_[offset];
        l.used = false;
        l.owner = -1;
        l.consumer.clear();
        l.flags &= GPIO_V2_LINE_FLAG_OUTPUT;
    }
    r->open = false;
    return 0;
}

bool SimGpioChip::level(std::uint32_t offset) const { return offset < lines_.size() && read_line(offset); }
bool SimGpioChip::requested(std::uint32_t offset) const { return offset < lines_.size() && lines_[offset].owner >= 0; }
