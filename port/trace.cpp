#include "port/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port/port.h"

namespace {

PortOps inner{};
std::FILE* out = nullptr;
char buffer[1 << 16];

void log_access(char kind, std::uint8_t value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const char line[5] = {kind, ' ', hex[value >> 4], hex[value & 0x0F], '\n'};
    std::fwrite(line, 1, sizeof line, out);
}

void traced_write(std::uint8_t value) {
    inner.write_data(value);
    log_access('W', value);
}

std::uint8_t traced_read() {
    const std::uint8_t value = inner.read_status();
    log_access('R', value);
    return value;
}

}  // namespace

bool trace_start(const std::string& path, std::string& error) {
    out = std::fopen(path.c_str(), "w");
    if (!out) {
        error = "cannot write trace " + path + ": " + std::strerror(errno);
        return false;
    }
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    inner = port_swap_ops({traced_write, traced_read, port_generic_movers()});
    return true;
}

bool trace_stop() {
    if (!out) return true;
    port_swap_ops(inner);
    const bool written = !std::ferror(out);
    const bool closed = std::fclose(out) == 0;
    out = nullptr;
    return written && closed;
}
