#include "mapfile/rescue_map.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>

#include "base/safe_file.h"

namespace {

constexpr std::uint64_t sector_bytes = 512;
constexpr std::string_view states = "?*/-+";
constexpr std::string_view phases = "?*/-FG+";

// A number as ddrescue writes it: hex after 0x, else decimal.
bool parse_number(std::string_view text, std::uint64_t& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    return !text.empty() && ec == std::errc() && ptr == end;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    while (true) {
        const auto start = line.find_first_not_of(" \t\r");
        if (start == std::string_view::npos) return out;
        line.remove_prefix(start);
        const auto end = line.find_first_of(" \t\r");
        out.push_back(line.substr(0, end));
        if (end == std::string_view::npos) return out;
        line.remove_prefix(end);
    }
}

// A byte count that is a whole number of sectors, as sectors.
bool in_sectors(std::string_view text, std::uint64_t& sectors) {
    std::uint64_t bytes = 0;
    if (!parse_number(text, bytes) || bytes % sector_bytes != 0) return false;
    sectors = bytes / sector_bytes;
    return true;
}

bool single_char(std::string_view word, std::string_view allowed) {
    return word.size() == 1 && allowed.find(word[0]) != std::string_view::npos;
}

// The status line: position, phase and, optionally, pass.
bool parse_status(const std::vector<std::string_view>& w, std::uint64_t& position, MapPhase& phase, int& pass) {
    if (w.size() < 2 || w.size() > 3 || !parse_number(w[0], position) || !single_char(w[1], phases)) return false;
    phase = static_cast<MapPhase>(w[1][0]);
    std::uint64_t p = 1;
    if (w.size() == 3 && (!parse_number(w[2], p) || p == 0 || p > 100)) return false;
    pass = static_cast<int>(p);
    return true;
}

// The origin's comment lines: "# vantacle run: dump".
constexpr std::string_view origin_mark = "# vantacle ";
struct OriginKey {
    std::string_view name;
    std::string MapOrigin::*field;
};
constexpr OriginKey origin_keys[] = {{"run", &MapOrigin::run}, {"card", &MapOrigin::card}, {"file", &MapOrigin::file}};

void parse_origin(std::string_view line, MapOrigin& origin) {
    if (!line.starts_with(origin_mark)) return;
    line.remove_prefix(origin_mark.size());
    for (const OriginKey& key : origin_keys) {
        if (!line.starts_with(key.name) || line.substr(key.name.size(), 2) != ": ") continue;
        const auto value = words(line.substr(key.name.size() + 2));
        if (!value.empty()) origin.*key.field = std::string(value[0]);
    }
}

}  // namespace

bool is_failed(MapState state) {
    return state == MapState::bad || state == MapState::untrimmed || state == MapState::unscraped;
}

RescueMap::RescueMap(std::uint64_t sectors) : sectors_(sectors) {
    if (sectors != 0) areas_.push_back({0, sectors, MapState::untried});
}

Outcome RescueMap::parse(std::string_view text, RescueMap& map) {
    RescueMap read;
    bool status_seen = false;
    std::size_t line_number = 0;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        ++line_number;
        const auto w = words(line);
        if (!w.empty() && w[0][0] == '#') parse_origin(line, read.origin);
        if (w.empty() || w[0][0] == '#') continue;
        const std::string where = "line " + std::to_string(line_number);
        if (!status_seen) {
            if (!parse_status(w, read.position_, read.phase_, read.pass_))
                return Outcome::failed("not a mapfile: " + where + " is not a status line");
            status_seen = true;
            continue;
        }
        std::uint64_t first = 0, count = 0;
        if (w.size() != 3 || !single_char(w[2], states) || !parse_number(w[0], first) || !parse_number(w[1], count))
            return Outcome::failed("not a mapfile: " + where + " is not 'position size status'");
        if (!in_sectors(w[0], first) || !in_sectors(w[1], count) || count == 0)
            return Outcome::failed("the mapfile's " + where + " does not hold whole 512-byte sectors");
        if (first != read.sectors_) return Outcome::failed("the mapfile's " + where + " leaves a gap or overlaps");
        read.areas_.push_back({first, count, static_cast<MapState>(w[2][0])});
        read.sectors_ += count;
    }
    if (!status_seen || read.areas_.empty()) return Outcome::failed("not a mapfile: no status line and areas");
    read.position_ = std::min(read.position_ / sector_bytes, read.sectors_);
    map = std::move(read);
    return Outcome::ok();
}

std::string RescueMap::text() const {
    std::string out = "# Mapfile. Created by vantacle\n";
    for (const OriginKey& key : origin_keys) {
        if (!(origin.*key.field).empty()) out += std::string(origin_mark) + std::string(key.name) + ": " + origin.*key.field + "\n";
    }
    out += "# current_pos  current_status  current_pass\n";
    char line[80];
    std::snprintf(line, sizeof line, "0x%08llX     %c               %d\n",
                  static_cast<unsigned long long>(position_ * sector_bytes), static_cast<char>(phase_), pass_);
    out += line;
    out += "#      pos        size  status\n";
    for (const MapArea& a : areas_) {
        std::snprintf(line, sizeof line, "0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(a.first * sector_bytes),
                      static_cast<unsigned long long>(a.count * sector_bytes), static_cast<char>(a.state));
        out += line;
    }
    return out;
}

void RescueMap::mark(std::uint64_t first, std::uint64_t count, MapState state) {
    count = std::min(count, first < sectors_ ? sectors_ - first : 0);
    if (count == 0) return;
    const std::uint64_t end = first + count;
    std::vector<MapArea> out;
    out.reserve(areas_.size() + 2);
    auto add = [&out](MapArea a) {
        if (a.count == 0) return;
        if (!out.empty() && out.back().state == a.state) out.back().count += a.count;
        else out.push_back(a);
    };
    bool placed = false;
    for (const MapArea& a : areas_) {
        const std::uint64_t a_end = a.first + a.count;
        if (a_end <= first || a.first >= end) {
            if (a.first >= end && !placed) {
                add({first, count, state});
                placed = true;
            }
            add(a);
            continue;
        }
        if (a.first < first) add({a.first, first - a.first, a.state});
        if (!placed) {
            add({first, count, state});
            placed = true;
        }
        if (a_end > end) add({end, a_end - end, a.state});
    }
    if (!placed) add({first, count, state});
    areas_ = std::move(out);
}

std::vector<MapArea> RescueMap::areas(MapState state, std::uint64_t first, std::uint64_t count, bool failed_too) const {
    std::vector<MapArea> out;
    const std::uint64_t end = first + count;
    for (const MapArea& a : areas_) {
        if (a.state != state && !(failed_too && is_failed(a.state))) continue;
        const std::uint64_t from = std::max(a.first, first), to = std::min(a.first + a.count, end);
        if (from < to) out.push_back({from, to - from, a.state});
    }
    return out;
}

std::uint64_t RescueMap::count(MapState state) const {
    std::uint64_t n = 0;
    for (const MapArea& a : areas_) n += a.state == state ? a.count : 0;
    return n;
}

bool RescueMap::is_good(std::uint64_t sector) const {
    const auto it = std::upper_bound(areas_.begin(), areas_.end(), sector,
                                     [](std::uint64_t s, const MapArea& a) { return s < a.first; });
    return it != areas_.begin() && std::prev(it)->state == MapState::good && sector < std::prev(it)->first + std::prev(it)->count;
}

void RescueMap::set_phase(MapPhase phase, std::uint64_t position, int pass) {
    phase_ = phase;
    position_ = position;
    pass_ = pass;
}

Outcome map_read(const std::string& path, RescueMap& map, bool& exists) {
    std::string text;
    if (Outcome read = read_whole_file(path, "the mapfile", false, text, exists); !read || !exists) return read;
    if (Outcome parsed = RescueMap::parse(text, map); !parsed) return Outcome::failed(path + ": " + parsed.why());
    return Outcome::ok();
}

Outcome map_write(const std::string& path, const RescueMap& map) {
    return write_whole_file(path, map.text(), "the mapfile", {});
}
