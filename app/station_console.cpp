#include "app/station_console.h"

#include <cstdio>

#include "modes/units.h"

namespace {

// Through a pipe the progress comes this often, on a terminal it is redrawn this often.
constexpr auto pipe_interval = std::chrono::seconds(5);
constexpr std::size_t sector_bytes = 512;
constexpr std::string_view bad_mark = "bad sector ";

}  // namespace

StationConsole::StationConsole(std::vector<std::string> names, bool records_only, bool terminal)
    : records_only_(records_only), terminal_(terminal), last_written_(Clock::now()) {
    for (std::string& name : names) {
        Shown shown;
        shown.name = std::move(name);
        sockets_.push_back(std::move(shown));
    }
}

void StationConsole::line(std::size_t socket, TextStream stream, std::string_view text) {
    const std::lock_guard<std::mutex> held(lock_);
    erase_block();
    std::FILE* to = stream == TextStream::err || records_only_ ? stderr : stdout;
    const std::string whole = "[" + sockets_[socket].name + "] " + std::string(text) + "\n";
    std::fputs(whole.c_str(), to);
    std::fflush(to);
    draw_block();
}

void StationConsole::plain(std::string_view text) {
    const std::lock_guard<std::mutex> held(lock_);
    erase_block();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    draw_block();
}

void StationConsole::progress(std::size_t socket, std::uint64_t done, std::uint64_t total) {
    const std::lock_guard<std::mutex> held(lock_);
    Shown& s = sockets_[socket];
    if (!s.started) s.since = Clock::now();
    s.started = s.active = true;
    s.done = done;
    s.total = total;
}

void StationConsole::label(std::size_t socket, std::string card, std::string mode) {
    const std::lock_guard<std::mutex> held(lock_);
    sockets_[socket].card = std::move(card);
    sockets_[socket].mode = std::move(mode);
}

void StationConsole::count_bad(std::size_t socket) {
    const std::lock_guard<std::mutex> held(lock_);
    ++sockets_[socket].bad;
}

void StationConsole::done(std::size_t socket) {
    const std::lock_guard<std::mutex> held(lock_);
    erase_block();
    sockets_[socket].active = false;
    sockets_[socket].started = false;
    draw_block();
}

void StationConsole::tick() {
    const std::lock_guard<std::mutex> held(lock_);
    const auto now = Clock::now();
    if (terminal_) {
        erase_block();
        draw_block();
        return;
    }
    if (now - last_written_ < pipe_interval) return;
    last_written_ = now;
    for (const Shown& s : sockets_)
        if (s.active) std::fputs((progress_line(s, now) + "\n").c_str(), stderr);
}

void StationConsole::close() {
    const std::lock_guard<std::mutex> held(lock_);
    erase_block();
    for (Shown& s : sockets_) s.active = false;
}

// NAME  CARD  MODE  PERCENT  RATE  TIME LEFT  BAD
std::string StationConsole::progress_line(const Shown& s, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - s.since).count();
    const double rate = seconds > 0 ? static_cast<double>(s.done * sector_bytes) / seconds : 0.0;
    char text[160];
    std::snprintf(text, sizeof text, "[%s] %s %s: ", s.name.c_str(), s.card.c_str(), s.mode.c_str());
    std::string line = text;
    if (s.total != 0)
        std::snprintf(text, sizeof text, "%.1f%%, ", 100.0 * static_cast<double>(s.done) / static_cast<double>(s.total));
    else std::snprintf(text, sizeof text, "%llu sectors, ", static_cast<unsigned long long>(s.done));
    line += text;
    std::snprintf(text, sizeof text, "%.1f kB/s, ", rate / 1000);
    line += text;
    if (s.total > s.done && rate > 0)
        line += duration_text(static_cast<std::uint64_t>(static_cast<double>((s.total - s.done) * sector_bytes) / rate)) +
                " left, ";
    return line + std::to_string(s.bad) + " bad";
}

// The cursor goes up over the progress lines and everything below goes.
void StationConsole::erase_block() {
    if (drawn_ == 0) return;
    std::fprintf(stderr, "\x1b[%zuF\x1b[J", drawn_);
    drawn_ = 0;
}

void StationConsole::draw_block() {
    if (!terminal_) return;
    const auto now = Clock::now();
    std::string block;
    for (const Shown& s : sockets_) {
        if (!s.active) continue;
        block += progress_line(s, now) + "\x1b[K\n";
        ++drawn_;
    }
    std::fputs(block.c_str(), stderr);
    std::fflush(stderr);
}

SocketSink::~SocketSink() {
    for (int stream = 0; stream < 2; ++stream)
        if (!partial_[stream].empty()) console_.line(socket_, static_cast<TextStream>(stream), partial_[stream]);
}

void SocketSink::put(TextStream stream, std::string_view text) {
    std::string& partial = partial_[static_cast<int>(stream)];
    partial += text;
    for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
        const std::string_view whole(partial.data(), end);
        if (stream == TextStream::out && whole.starts_with(bad_mark)) console_.count_bad(socket_);
        console_.line(socket_, stream, whole);
    }
}
