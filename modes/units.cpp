#include "modes/units.h"

#include <array>
#include <cstdio>

namespace {

struct Unit {
    double size;
    const char* name;
};
constexpr std::array<Unit, 4> units{{{1e12, "TB"}, {1e9, "GB"}, {1e6, "MB"}, {1e3, "kB"}}};

constexpr std::uint64_t seconds_per_day = 86400;

}  // namespace

std::string size_text(std::uint64_t bytes) {
    char text[32];
    for (const Unit& unit : units) {
        const double amount = static_cast<double>(bytes) / unit.size;
        if (amount < 1) continue;
        std::snprintf(text, sizeof text, amount < 10 ? "%.2f %s" : amount < 100 ? "%.1f %s" : "%.0f %s", amount, unit.name);
        return text;
    }
    return std::to_string(bytes) + " bytes";
}

std::string duration_text(std::uint64_t seconds) {
    char text[48];
    const std::uint64_t days = seconds / seconds_per_day, rest = seconds % seconds_per_day;
    const auto h = static_cast<unsigned>(rest / 3600), m = static_cast<unsigned>(rest / 60 % 60),
               s = static_cast<unsigned>(rest % 60);
    if (days == 0) std::snprintf(text, sizeof text, "%u:%02u:%02u", h, m, s);
    else std::snprintf(text, sizeof text, "%llu day%s %u:%02u:%02u", static_cast<unsigned long long>(days),
                       days == 1 ? "" : "s", h, m, s);
    return text;
}

std::string sector_text(std::uint64_t sector) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(sector));
    return text;
}
