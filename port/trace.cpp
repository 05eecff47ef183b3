#include "port/trace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/safe_file.h"
#include "port/vcd.h"

namespace {

constexpr std::size_t buffer_size = 1 << 16;

bool names_a_dump(std::string_view path) {
    constexpr std::string_view suffix = ".vcd";
    if (path.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), path.end() - suffix.size(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

PortTrace::PortTrace(LineDriver& inner) : inner_(inner) {}

PortTrace::~PortTrace() { (void)stop(); }

void PortTrace::log_access(char kind, std::uint8_t value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const char line[5] = {kind, ' ', hex[value >> 4], hex[value & 0x0F], '\n'};
    std::fwrite(line, 1, sizeof line, out_);
}

void PortTrace::write_data(std::uint8_t lines) {
    inner_.write_data(lines);
    if (dump_) dump_->wrote(lines);
    else if (out_) log_access('W', lines);
}

std::uint8_t PortTrace::read_status() {
    const std::uint8_t value = inner_.read_status();
    if (dump_) dump_->read(value);
    else if (out_) log_access('R', value);
    return value;
}

Outcome PortTrace::cannot_write(const std::string& path) {
    Outcome failed = Outcome::failed("cannot write trace " + path + ": " + std::strerror(errno));
    if (out_) (void)std::fclose(out_);
    out_ = nullptr;
    dump_.reset();
    return failed;
}

Outcome PortTrace::start(const std::string& path, TraceClock clock) {
    // Opened without waiting: a FIFO that nothing reads is refused.
    if (Outcome created = create_stream(path, "trace", {.in_place = true}, false, out_); !created) return created;
    buffer_ = std::make_unique<char[]>(buffer_size);
    std::setvbuf(out_, buffer_.get(), _IOFBF, buffer_size);
    if (names_a_dump(path)) {
        dump_ = std::make_unique<VcdWriter>();
        if (!dump_->begin(out_, clock)) return cannot_write(path);
    }
    return Outcome::ok();
}

bool PortTrace::stop() {
    if (!out_) return true;
    if (dump_) dump_->end();
    dump_.reset();
    const bool written = !std::ferror(out_);
    const bool closed = std::fclose(out_) == 0;
    out_ = nullptr;
    return written && closed;
}
