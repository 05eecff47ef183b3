// The one writer of a station's text: every socket's lines whole and marked
// with the socket's name, and its progress, on a terminal as one line per
// socket rewritten in place, through a pipe as a line per socket every few
// seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/text_out.h"

class StationConsole {
public:
    // names: the sockets'; with records_only standard output carries only
    // the JSON records and every line goes to standard error.
    StationConsole(std::vector<std::string> names, bool records_only, bool terminal);

    // A whole line of socket's text, its newline left off.
    void line(std::size_t socket, TextStream stream, std::string_view text);
    // A line of its own on standard output (a record, the summary).
    void plain(std::string_view text);
    void progress(std::size_t socket, std::uint64_t done, std::uint64_t total);
    // What the socket's progress shows: the card and the mode.
    void label(std::size_t socket, std::string card, std::string mode);
    // A bad sector reported: counted in the socket's progress.
    void count_bad(std::size_t socket);
    // The socket's work ended: its progress line goes.
    void done(std::size_t socket);
    // Redraws the progress (terminal) or writes it when it is due (pipe);
    // called now and then by the station's own thread.
    void tick();
    // Removes the progress lines for good.
    void close();

private:
    using Clock = std::chrono::steady_clock;
    struct Shown {
        std::string name;
        std::string card;
        std::string mode;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        std::uint64_t bad = 0;
        bool active = false;
        bool started = false;
        Clock::time_point since{};
    };
    [[nodiscard]] std::string progress_line(const Shown& s, Clock::time_point now) const;
    void erase_block();
    void draw_block();

    std::mutex lock_;
    std::vector<Shown> sockets_;
    bool records_only_;
    bool terminal_;
    std::size_t drawn_ = 0;  // progress lines on the terminal now
    Clock::time_point last_written_;
};

// A socket's sink: its text into whole lines for the console.
class SocketSink final : public TextSink {
public:
    SocketSink(StationConsole& console, std::size_t socket) : console_(console), socket_(socket) {}
    ~SocketSink();
    void put(TextStream stream, std::string_view text) override;
    void progress(std::uint64_t done, std::uint64_t total) override { console_.progress(socket_, done, total); }

private:
    StationConsole& console_;
    std::size_t socket_;
    std::string partial_[2];
};
