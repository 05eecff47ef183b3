#include "report/card_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/escape.h"
#include "base/safe_file.h"

namespace {

struct StateLook {
    const char* name;
    const char* colour;
};
// By SectorState; a region takes the colour of its worst state (the last).
constexpr std::array<StateLook, sector_states> looks{{{"good", "#3c9a4c"},
                                                       {"slow", "#e0c030"},
                                                       {"re-read", "#f08c28"},
                                                       {"bad", "#d02828"},
                                                       {"overwritten", "#8040b0"},
                                                       {"lost", "#202020"}}};
constexpr const char* untouched_colour = "#d8d8d8";
constexpr std::array<const char*, 2> transfer_colours{"#2060c0", "#c04080"};  // read, write

constexpr int columns = 64;
constexpr int cell = 12;
constexpr int margin = 16;
constexpr int chart_height = 160;

std::string format(const char* pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// The worst state found in a region, or -1 when the run did not touch it.
int worst(const Region& r) {
    for (int s = static_cast<int>(sector_states) - 1; s >= 0; --s)
        if (r.counts[static_cast<std::size_t>(s)] != 0) return s;
    return -1;
}

double bytes_per_second(const Timing& t) {
    return t.sectors && t.total_ns ? static_cast<double>(t.sectors * sector_size) * 1e9 / static_cast<double>(t.total_ns) : 0;
}

// Text as XML character data: only printable ASCII (a file name may hold
// control bytes or bytes that are not UTF-8), its markup characters as entities.
std::string xml_text(const std::string& text) {
    std::string out;
    for (char c : escaped(text)) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

// One polyline of a transfer's speed over the regions, scaled to top.
std::string speed_line(const std::vector<Region>& regions, Transfer transfer, double top, int x0, int y0, int width) {
    std::string points;
    const auto t = static_cast<std::size_t>(transfer);
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const double speed = bytes_per_second(regions[i].timing[t]);
        if (speed <= 0) continue;
        const double x = x0 + width * (static_cast<double>(i) + 0.5) / static_cast<double>(regions.size());
        const double y = y0 + chart_height - chart_height * speed / top;
        points += format("%.1f,%.1f ", x, y);
    }
    if (points.empty()) return "";
    return "<polyline fill=\"none\" stroke-width=\"1.5\" stroke=\"" + std::string(transfer_colours[t]) + "\" points=\"" +
           points + "\"/>\n";
}

}  // namespace

void Timing::add(std::uint64_t count, std::uint64_t ns) {
    if (count == 0) return;
    const std::uint64_t each = ns / count;
    min_ns = sectors == 0 ? each : std::min(min_ns, each);
    max_ns = std::max(max_ns, each);
    sectors += count;
    total_ns += ns;
}

CardReport::CardReport(std::uint64_t sectors, std::string title)
    : sectors_(sectors), per_region_(std::max<std::uint64_t>(1, (sectors + max_regions - 1) / max_regions)),
      title_(std::move(title)) {
    for (std::uint64_t first = 0; first < sectors; first += per_region_)
        regions_.push_back(Region{first, std::min(per_region_, sectors - first), {}, {}});
}

std::size_t CardReport::region_of(std::uint64_t sector) const { return static_cast<std::size_t>(sector / per_region_); }

void CardReport::add(std::uint64_t first, std::uint64_t count, SectorState state) {
    const std::uint64_t end = std::min(first + count, sectors_);
    for (std::uint64_t s = first; s < end;) {
        Region& r = regions_[region_of(s)];
        const std::uint64_t n = std::min(end, r.first + r.sectors) - s;
        r.counts[static_cast<std::size_t>(state)] += n;
        s += n;
    }
}

void CardReport::time(std::uint64_t first, std::uint64_t count, Transfer transfer, std::uint64_t ns) {
    if (count == 0 || first >= sectors_) return;
    const std::uint64_t end = std::min(first + count, sectors_);
    for (std::uint64_t s = first; s < end;) {
        Region& r = regions_[region_of(s)];
        const std::uint64_t n = std::min(end, r.first + r.sectors) - s;
        r.timing[static_cast<std::size_t>(transfer)].add(n, ns / count * n);
        s += n;
    }
}

void CardReport::move(std::uint64_t sector, SectorState from, SectorState to) {
    if (sector >= sectors_) return;
    auto& counts = regions_[region_of(sector)].counts;
    auto& source = counts[static_cast<std::size_t>(from)];
    if (source != 0) --source;
    ++counts[static_cast<std::size_t>(to)];
}

void CardReport::reread(std::uint64_t sector, std::uint32_t n) {
    if (sector >= sectors_) return;
    auto& counts = regions_[region_of(sector)].counts;
    const std::uint64_t moved = std::min<std::uint64_t>(n, counts[0]);
    counts[static_cast<std::size_t>(SectorState::good)] -= moved;
    counts[static_cast<std::size_t>(SectorState::reread)] += moved;
}

std::vector<Region> CardReport::regions() const {
    std::vector<Region> out = regions_;
    for (std::size_t t = 0; t < 2; ++t) {
        std::vector<std::uint64_t> averages;
        for (const Region& r : out)
            if (r.timing[t].sectors) averages.push_back(r.timing[t].average_ns());
        if (averages.empty()) continue;
        std::nth_element(averages.begin(), averages.begin() + static_cast<std::ptrdiff_t>(averages.size() / 2), averages.end());
        const std::uint64_t median = averages[averages.size() / 2];
        for (Region& r : out) {
            if (!r.timing[t].sectors || r.timing[t].average_ns() <= slow_factor * median) continue;
            r.counts[static_cast<std::size_t>(SectorState::slow)] += r.counts[0];
            r.counts[0] = 0;
        }
    }
    return out;
}

std::string CardReport::csv() const {
    std::string out = "first_sector,sectors,good,slow,reread,bad,overwritten,lost,"
                      "read_min_us,read_avg_us,read_max_us,write_min_us,write_avg_us,write_max_us\n";
    for (const Region& r : regions()) {
        out += format("%llu,%llu", static_cast<unsigned long long>(r.first), static_cast<unsigned long long>(r.sectors));
        for (std::uint64_t n : r.counts) out += format(",%llu", static_cast<unsigned long long>(n));
        for (const Timing& t : r.timing) {
            if (t.sectors == 0) out += ",,,";
            else out += format(",%.1f,%.1f,%.1f", t.min_ns / 1e3, t.average_ns() / 1e3, t.max_ns / 1e3);
        }
        out += "\n";
    }
    return out;
}

std::string CardReport::svg() const {
    const std::vector<Region> regions = this->regions();
    const int rows = static_cast<int>((regions.size() + columns - 1) / columns);
    const int width = 2 * margin + columns * cell, map_top = 44;
    const int legend_top = map_top + rows * cell + 14, chart_top = legend_top + 40;
    const int height = chart_top + chart_height + 40;
    std::array<std::uint64_t, sector_states> totals{};
    std::string cells;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        const int state = worst(r);
        for (std::size_t s = 0; s < sector_states; ++s) totals[s] += r.counts[s];
        std::string counts;
        for (std::size_t s = 0; s < sector_states; ++s)
            if (r.counts[s]) counts += format(", %llu %s", static_cast<unsigned long long>(r.counts[s]), looks[s].name);
        cells += format("<rect class=\"cell\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"",
                        margin + static_cast<int>(i % columns) * cell, map_top + static_cast<int>(i / columns) * cell,
                        cell - 1, cell - 1, state < 0 ? untouched_colour : looks[static_cast<std::size_t>(state)].colour);
        for (std::size_t s = 0; s < sector_states; ++s)
            if (r.counts[s]) cells += format(" data-%s=\"%llu\"", s == 2 ? "reread" : looks[s].name, static_cast<unsigned long long>(r.counts[s]));
        cells += format("><title>sectors %06llX to %06llX%s</title></rect>\n", static_cast<unsigned long long>(r.first),
                        static_cast<unsigned long long>(r.first + r.sectors - 1), counts.c_str());
    }
    std::string out = format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                             "font-family=\"sans-serif\" font-size=\"12\">\n",
                             width, height, width, height);
    out += format("<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", width, height);
    out += format("<text x=\"%d\" y=\"20\" font-size=\"14\" font-weight=\"bold\">", margin) + xml_text(title_) + "</text>\n";
    out += format("<text x=\"%d\" y=\"36\">%llu sectors, %zu regions of %llu</text>\n", margin,
                  static_cast<unsigned long long>(sectors_), regions.size(), static_cast<unsigned long long>(per_region_));
    out += cells;
    for (std::size_t s = 0, x = margin; s < sector_states; ++s) {
        const std::string label = format("%s %llu", looks[s].name, static_cast<unsigned long long>(totals[s]));
        out += format("<rect x=\"%zu\" y=\"%d\" width=\"10\" height=\"10\" fill=\"%s\"/>", x, legend_top, looks[s].colour);
        out += format("<text x=\"%zu\" y=\"%d\">%s</text>\n", x + 14, legend_top + 10, label.c_str());
        x += 14 + 7 * label.size() + 18;
    }
    double top = 0;
    for (const Region& r : regions)
        for (const Timing& t : r.timing) top = std::max(top, bytes_per_second(t));
    out += format("<text x=\"%d\" y=\"%d\">speed across the card: <tspan fill=\"%s\">read</tspan>, "
                  "<tspan fill=\"%s\">write</tspan>; top %.0f KB/s</text>\n",
                  margin, chart_top - 8, transfer_colours[0], transfer_colours[1], top / 1024);
    out += format("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#888\"/>\n", margin, chart_top,
                  columns * cell, chart_height);
    if (top > 0) {
        for (Transfer t : {Transfer::read, Transfer::write}) out += speed_line(regions, t, top * 1.05, margin, chart_top, columns * cell);
    }
    out += format("<text x=\"%d\" y=\"%d\">sector 0</text>", margin, chart_top + chart_height + 16);
    out += format("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">sector %06llX</text>\n", margin + columns * cell,
                  chart_top + chart_height + 16, static_cast<unsigned long long>(sectors_ ? sectors_ - 1 : 0));
    return out + "</svg>\n";
}

Outcome write_report(const CardReport& report, const std::string& path) {
    const std::string text = path.ends_with(".csv") ? report.csv() : report.svg();
    return write_whole_file(path, text, "the report", {.in_place = true});
}
