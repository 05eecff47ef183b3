#include "app/station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>

#include "app/console/console.h"
#include "app/links.h"
#include "app/options.h"
#include "app/run_json.h"
#include "app/session.h"
#include "app/station_console.h"
#include "base/exit_status.h"
#include "base/sector_file.h"
#include "card/card.h"
#include "modes/card_controls.h"
#include "report/run_record.h"
#include "sim/doubles/sim_mpsse.h"

namespace {

constexpr auto tick_interval = std::chrono::milliseconds(250);

struct Socket {
    StationSocket spec;
    Options options;  // the run's, with this socket's port and {socket} in its file names
    std::unique_ptr<spi::Link> link;
    RunRecord record;
    int status = ExitStatus::failed;
};

// Two simulated cards wired where only one fits (one interface of one bridge).
Outcome wired_apart(const Options& a, const Options& b) {
    if (a.port != Options::Port::sim || b.port != Options::Port::sim) return Outcome::ok();
    return sim_mpsse_apart(a.sim, b.sim);
}

bool has_mark(const std::string& name, std::initializer_list<std::string_view> marks) {
    return std::any_of(marks.begin(), marks.end(), [&](std::string_view m) { return name.find(m) != std::string::npos; });
}

// Every socket writes files of its own: a name without a placeholder would
// be written by all of them. The report's name is settled before the card
// is known: {socket} only.
Outcome files_apart(const Options& o, std::size_t sockets) {
    if (has_mark(o.report, {"{serial}", "{cid}"}))
        return Outcome::failed("--report=" + o.report + ": its name takes {socket} only");
    if (sockets < 2) return Outcome::ok();
    for (const std::string& file : files_written(o)) {
        if (!has_mark(file, {"{socket}", "{serial}", "{cid}"}))
            return Outcome::failed("every socket would write " + file + ": put {socket}, {serial} or {cid} in its name");
    }
    return Outcome::ok();
}

// The files the sockets write and the card images they hold, each one
// socket's alone.
class FileClaims {
public:
    Outcome claim(const std::string& path, const std::string& socket, const char* what) {
        const std::lock_guard<std::mutex> held(lock_);
        for (const Claim& c : claims_) {
            if (same_file(c.path, path))
                return Outcome::failed(path + " is " + c.what + " of socket " + c.socket + ": name another file");
        }
        claims_.push_back({path, socket, what});
        return Outcome::ok();
    }

private:
    struct Claim {
        std::string path, socket;
        const char* what;
    };
    std::mutex lock_;
    std::vector<Claim> claims_;
};

std::string hex8(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

// What the station shares between the sockets' threads.
struct Shared {
    StationConsole& console;
    FileClaims& claims;
    std::mutex opening;  // links open one at a time...
    std::latch opened;   // ...and every one before any card is worked on
    bool json;
    std::atomic<std::size_t> finished{0};
};

// The mode's files named for this card, claimed, and the mode run.
int run_for_card(Socket& s, const Options& o, ModeRun& r, Shared& shared) {
    const std::string serial = s.record.cid.empty() ? "" : hex8(s.record.serial);
    Options now = o;
    for (std::string* name : {&now.file, &now.map, &now.backup})
        *name = with_placeholders(*name, "", serial, s.record.cid);
    s.record.files = files_written(now);
    for (const std::string& file : s.record.files) {
        if (has_mark(file, {"{serial}", "{cid}"})) return fail("the card did not send its CID, which names " + file);
        if (Outcome mine = shared.claims.claim(file, s.spec.name, "written by the run"); !mine) return fail(mine.why());
    }
    CardWork inner;
    if (Outcome made = mode_work(now, inner); !made) return fail(made.why());
    return inner.run(r);
}

int run_socket_session(Socket& s, std::size_t index, Shared& shared) {
    {
        const std::lock_guard<std::mutex> held(shared.opening);
        Outcome opened = open_link(s.options, s.link, true);
        if (!opened) report_failure(opened.why());
    }
    shared.opened.arrive_and_wait();
    if (!s.link) return ExitStatus::failed;
    const Options& o = s.options;
    CardWork work;
    mode_frame(o, work);
    s.record.mode = work.mode_name;
    if (Outcome controlled = card_controls_work(o, work); !controlled) return fail(controlled.why());
    work.record = &s.record;
    work.run = [&](ModeRun& r) {
        shared.console.label(index, s.record.family + " " + (s.record.cid.empty() ? "?" : hex8(s.record.serial)),
                             work.mode_name);
        return run_for_card(s, o, r, shared);
    };
    Card card(*s.link);
    ConsoleOperator console;
    const int status = run_session(card, work, !is_byte_link(o), console);
    s.link.reset();
    return status;
}

void run_socket(Socket& s, std::size_t index, Shared& shared) {
    const auto started = std::chrono::steady_clock::now();
    s.record.socket = s.spec.name;
    {
        SocketSink sink(shared.console, index);
        text_sink(&sink);
        s.status = run_socket_session(s, index, shared);
        text_sink(nullptr);
    }
    finish_record(s.record, s.status, started);
    shared.console.done(index);
    if (shared.json) shared.console.plain(json_line(s.record));
    ++shared.finished;
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

// One row a card, then the count.
std::string summary(const std::vector<std::unique_ptr<Socket>>& sockets) {
    std::size_t name_width = 6, card_width = 4;
    const auto card_of = [](const RunRecord& r) {
        return r.card_found ? r.family + " " + (r.cid.empty() ? "?" : hex8(r.serial)) : std::string("-");
    };
    for (const auto& s : sockets) {
        name_width = std::max(name_width, s->spec.name.size());
        card_width = std::max(card_width, card_of(s->record).size());
    }
    std::string text = "\n";
    text += padded("socket", name_width + 2);
    text += padded("card", card_width + 2);
    text += "mode    verdict          bad  re-read   differ  status\n";
    std::size_t passed = 0;
    for (const auto& s : sockets) {
        const RunRecord& r = s->record;
        char counts[80];
        std::snprintf(counts, sizeof counts, "%8llu %8llu %8llu  %d\n", static_cast<unsigned long long>(r.bad),
                      static_cast<unsigned long long>(r.reread), static_cast<unsigned long long>(r.differ), r.exit_status);
        text += padded(s->spec.name, name_width + 2) + padded(card_of(r), card_width + 2) + padded(r.mode, 8) +
                padded(r.verdict, 13) + counts;
        if (r.exit_status == ExitStatus::ok) ++passed;
    }
    return text + std::to_string(sockets.size()) + " cards: " + std::to_string(passed) + " passed, " +
           std::to_string(sockets.size() - passed) + " failed\n";
}

// Options that cannot run on a socket's card: said plainly when they cannot
// on any, else for the first socket they cannot run on.
Outcome sockets_allowed(const std::vector<std::unique_ptr<Socket>>& sockets) {
    std::vector<std::string> why;
    for (const auto& s : sockets) {
        const Outcome allowed = options_conflict(s->options);
        why.push_back(allowed ? "" : allowed.why());
    }
    if (!why[0].empty() && std::all_of(why.begin(), why.end(), [&](const std::string& w) { return w == why[0]; }))
        return Outcome::failed(why[0]);
    for (std::size_t i = 0; i < sockets.size(); ++i)
        if (!why[i].empty()) return Outcome::failed("socket " + sockets[i]->spec.name + ": " + why[i]);
    return Outcome::ok();
}

// The sockets with their options, or why the station cannot run.
Outcome make_sockets(const Options& o, std::vector<std::unique_ptr<Socket>>& sockets, FileClaims& claims) {
    std::vector<StationSocket> specs;
    if (Outcome listed = station_sockets(o, specs); !listed) return listed;
    if (!whole_card_mode(o))
        return Outcome::failed("the browser, --serve and the card controls but --erase work on one card at a time: "
                               "give one --port");
    if (!o.trace.empty()) return Outcome::failed("--trace follows one card: leave it out with several sockets");
    if (Outcome apart = files_apart(o, specs.size()); !apart) return apart;
    for (const StationSocket& spec : specs) {
        auto s = std::make_unique<Socket>();
        s->spec = spec;
        s->options = o;
        if (Outcome parsed = parse_port_spec(spec.port, s->options); !parsed) return parsed;
        for (std::string* name : {&s->options.file, &s->options.map, &s->options.backup, &s->options.report})
            *name = with_placeholders(*name, spec.name, "", "");
        for (const auto& other : sockets) {
            if (Outcome apart = wired_apart(other->options, s->options); !apart)
                return Outcome::failed("sockets " + other->spec.name + " and " + spec.name + ": " + apart.why());
        }
        if (s->options.port == Options::Port::sim && !s->options.sim.image.empty()) {
            if (Outcome mine = claims.claim(s->options.sim.image, spec.name, "the card image"); !mine) return mine;
        }
        sockets.push_back(std::move(s));
    }
    return sockets_allowed(sockets);
}

}  // namespace

int run_station(const Options& o) {
    std::vector<std::unique_ptr<Socket>> sockets;
    FileClaims claims;
    if (Outcome made = make_sockets(o, sockets, claims); !made) {
        report_failure(made.why());
        return ExitStatus::usage;
    }
    std::vector<std::string> names;
    for (const auto& s : sockets) names.push_back(s->spec.name);
    console_open(false);
    StationConsole console(names, o.json, console_shows_progress());
    Shared shared{console, claims, {}, std::latch(static_cast<std::ptrdiff_t>(sockets.size())), o.json};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sockets.size(); ++i)
        threads.emplace_back([&, i] { run_socket(*sockets[i], i, shared); });
    while (shared.finished < sockets.size()) {
        std::this_thread::sleep_for(tick_interval);
        console.tick();
    }
    for (std::thread& t : threads) t.join();
    console.close();
    const std::string table = summary(sockets);
    if (o.json) std::fputs(table.c_str(), stderr);
    else console.plain(table);
    const int signal = console_close();
    if (signal) return ExitStatus::signal_base + signal;
    const bool all_passed =
        std::all_of(sockets.begin(), sockets.end(), [](const auto& s) { return s->status == ExitStatus::ok; });
    return all_passed ? ExitStatus::ok : ExitStatus::failed;
}
