#include "app/options.h"

#include <charconv>
#include <string_view>

namespace {

bool starts_with(std::string_view text, std::string_view prefix, std::string_view& rest) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    rest = text.substr(prefix.size());
    return true;
}

// A base I/O port in hex, with or without 0x; base + 1 must be a port too.
bool parse_base(std::string_view text, std::uint16_t& base) {
    if (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X") text.remove_prefix(2);
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, 16);
    if (text.empty() || ec != std::errc() || ptr != end || value == 0 || value > 0xFFFE) return false;
    base = static_cast<std::uint16_t>(value);
    return true;
}

bool parse_port(std::string_view value, Options& o, std::string& error) {
    std::string_view rest;
    if (value == "direct") {
        o.port = Options::Port::direct;
        return true;
    }
    if (starts_with(value, "direct:", rest)) {
        o.port = Options::Port::direct;
        if (parse_base(rest, o.base)) return true;
        error = "bad port base '" + std::string(rest) + "' (a hex I/O port such as 378 or 0x278)";
        return false;
    }
    if (starts_with(value, "sim", rest) && (rest.empty() || rest[0] == ':' || rest[0] == ',')) {
        o.port = Options::Port::sim;
        o.sim = SimSettings{};
        return sim_parse_settings(rest, o.sim, error);
    }
    error = "unknown port '" + std::string(value) + "' (direct[:BASE] or sim[:IMAGE][,SETTING=VALUE...])";
    return false;
}

bool parse_one(std::string_view arg, Options& o, std::string& error) {
    std::string_view value;
    if (arg == "--help" || arg == "-h") {
        o.help = true;
        return true;
    }
    if (starts_with(arg, "--port=", value)) return parse_port(value, o, error);
    if (starts_with(arg, "--trace=", value) && !value.empty()) {
        o.trace = std::string(value);
        return true;
    }
    error = (arg.substr(0, 1) == "-" ? "unknown option '" : "unexpected argument '") + std::string(arg) +
            "' (see --help)";
    return false;
}

}  // namespace

bool parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        if (!parse_one(argv[i], options, error)) return false;
    }
    return true;
}

std::string usage_text() {
    return std::string(
               "Usage: vantacle [--port=PORT] [--trace=FILE]\n"
               "Tests an MMC or SD card wired to a parallel port: powers it up, initialises it\n"
               "in SPI mode and shows its 512-byte sectors as hex dumps.\n"
               "\n"
               "  --port=direct[:BASE]  the parallel port at BASE (hex, default 378): data at\n"
               "                        BASE, status at BASE+1 (the default port)\n"
               "  --port=sim[:IMAGE][,SETTING=VALUE...]\n"
               "                        a simulated card holding IMAGE (a file of whole\n"
               "                        512-byte sectors), the built-in demo card without\n"
               "                        IMAGE, or an empty socket with IMAGE none\n"
               "  --trace=FILE          log every port access to FILE: W XX (data written),\n"
               "                        R XX (status read)\n"
               "  --help                this text\n"
               "\n"
               "Simulated-card settings:\n") +
           sim_settings_help +
           "\n"
           "Keys: Enter (or any other key) reads the next sector, space asks for a sector\n"
           "number in hex, E or Escape ends.\n";
}
