#include "port/trace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/safe_file.h"
#include "port/port.h"
#include "port/vcd.h"

namespace {

PortOps inner{};
std::FILE* out = nullptr;
bool dumping = false;
char buffer[1 << 16];

void log_access(char kind, std::uint8_t value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const char line[5] = {kind, ' ', hex[value >> 4], hex[value & 0x0F], '\n'};
    std::fwrite(line, 1, sizeof line, out);
}

// The two forms of trace: the access log and the Value Change Dump.
struct AccessLog {
    static void wrote(std::uint8_t value) { log_access('W', value); }
    static void read(std::uint8_t value) { log_access('R', value); }
};

struct ValueChangeDump {
    static void wrote(std::uint8_t value) { vcd_wrote(value); }
    static void read(std::uint8_t value) { vcd_read(value); }
};

template <class Form>
void traced_write(std::uint8_t value) {
    inner.write_data(value);
    Form::wrote(value);
}

template <class Form>
std::uint8_t traced_read() {
    const std::uint8_t value = inner.read_status();
    Form::read(value);
    return value;
}

template <class Form>
PortOps traced_ops() {
    return {traced_write<Form>, traced_read<Form>, port_generic_movers()};
}

bool names_a_dump(std::string_view path) {
    constexpr std::string_view suffix = ".vcd";
    if (path.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), path.end() - suffix.size(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

Outcome cannot_write(const std::string& path) {
    Outcome failed = Outcome::failed("cannot write trace " + path + ": " + std::strerror(errno));
    if (out) (void)std::fclose(out);
    out = nullptr;
    return failed;
}

}  // namespace

Outcome trace_start(const std::string& path, TraceClock clock) {
    // Opened without waiting: a FIFO that nothing reads is refused.
    if (Outcome created = create_stream(path, "trace", {.in_place = true}, false, out); !created) return created;
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    dumping = names_a_dump(path);
    if (dumping && !vcd_begin(out, clock)) return cannot_write(path);
    inner = port_swap_ops(dumping ? traced_ops<ValueChangeDump>() : traced_ops<AccessLog>());
    return Outcome::ok();
}

bool trace_stop() {
    if (!out) return true;
    port_swap_ops(inner);
    if (dumping) vcd_end();
    const bool written = !std::ferror(out);
    const bool closed = std::fclose(out) == 0;
    out = nullptr;
    return written && closed;
}
