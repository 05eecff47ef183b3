#include "app/station.h"

#include <algorithm>
#include <fstream>

#include "app/options.h"

namespace {

constexpr std::string_view blanks = " \t\r";

bool good_name(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    });
}

// One line's socket; why not, without the place.
Outcome parse_line(std::string_view line, const std::vector<StationSocket>& before, StationSocket& socket) {
    const auto name_end = line.find_first_of(blanks);
    const auto port_start = line.find_first_not_of(blanks, name_end);
    if (name_end == std::string_view::npos || port_start == std::string_view::npos)
        return Outcome::failed("a socket is NAME PORT, such as: left sim:card.img,via=spidev");
    const std::string_view name = line.substr(0, name_end);
    std::string_view port = line.substr(port_start);
    port = port.substr(0, port.find_last_not_of(blanks) + 1);
    if (!good_name(name)) return Outcome::failed("a socket's name is letters, digits, '-', '_' and '.'");
    if (port.find_first_of(blanks) != std::string_view::npos) return Outcome::failed("a port holds no spaces");
    for (const StationSocket& other : before)
        if (other.name == name) return Outcome::failed("socket " + std::string(name) + " is named twice");
    Options check;
    if (Outcome parsed = parse_port_spec(port, check); !parsed) return parsed;
    socket = {std::string(name), std::string(port)};
    return Outcome::ok();
}

}  // namespace

bool station_asked(const Options& o) { return o.ports.size() > 1 || !o.station.empty(); }

Outcome station_sockets(const Options& o, std::vector<StationSocket>& sockets) {
    sockets.clear();
    if (o.station.empty()) {
        for (std::size_t i = 0; i < o.ports.size(); ++i) sockets.push_back({std::to_string(i + 1), o.ports[i]});
        return Outcome::ok();
    }
    if (!o.ports.empty()) return Outcome::failed("give the sockets with --station or with --port, not both");
    std::ifstream in(o.station);
    if (!in) return Outcome::failed("cannot read the station file " + o.station);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string_view text = line;
        text = text.substr(0, text.find('#'));
        const auto start = text.find_first_not_of(blanks);
        if (start == std::string_view::npos) continue;
        StationSocket socket;
        if (Outcome parsed = parse_line(text.substr(start), sockets, socket); !parsed)
            return Outcome::failed(o.station + ":" + std::to_string(number) + ": " + parsed.why());
        sockets.push_back(std::move(socket));
    }
    if (sockets.empty()) return Outcome::failed("the station file " + o.station + " names no socket");
    return Outcome::ok();
}

std::string with_placeholders(const std::string& name, const std::string& socket, const std::string& serial,
                              const std::string& cid) {
    const std::pair<std::string_view, const std::string*> marks[] = {{"{socket}", &socket}, {"{serial}", &serial}, {"{cid}", &cid}};
    std::string out = name;
    for (const auto& [mark, value] : marks) {
        if (value->empty()) continue;
        for (auto at = out.find(mark); at != std::string::npos; at = out.find(mark, at + value->size()))
            out.replace(at, mark.size(), *value);
    }
    return out;
}
