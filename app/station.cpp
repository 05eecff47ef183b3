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
#include "app/station_wait.h"
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

// Card after card, every card writes files of its own, named by the card.
Outcome cards_apart(const Options& o) {
    if (!o.wait_card) return Outcome::ok();
    if (!o.report.empty())
        return Outcome::failed("--report=" + o.report + ": its name is settled before a card is known: leave it out "
                               "with --wait-card");
    for (const std::string& file : files_written(o)) {
        if (!has_mark(file, {"{serial}", "{cid}"}))
            return Outcome::failed("every card would write " + file + ": put {serial} or {cid} in its name");
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

// A card's run as the summary shows it, in the order the cards ended.
struct Row {
    std::size_t socket;
    RunRecord record;
};

// What the station shares between the sockets' threads.
struct Shared {
    StationConsole& console;
    FileClaims& claims;
    std::mutex opening;  // links open one at a time...
    std::latch opened;   // ...and every one before any card is worked on
    bool json;
    bool wait_card;
    std::atomic<std::size_t> finished{0};
    std::atomic<bool> cut_short{false};  // the ending signal came while a card was worked on
    std::mutex rows_lock;
    std::vector<Row> rows;
};

// The mode's files named for this card, claimed, and the mode run.
int run_for_card(const Socket& s, RunRecord& record, const Options& o, ModeRun& r, Shared& shared) {
    const std::string serial = record.cid.empty() ? "" : hex8(record.serial);
    Options now = o;
    for (std::string* name : {&now.file, &now.map, &now.backup})
        *name = with_placeholders(*name, "", serial, record.cid);
    record.files = files_written(now);
    for (const std::string& file : record.files) {
        if (has_mark(file, {"{serial}", "{cid}"})) return fail("the card did not send its CID, which names " + file);
        if (Outcome mine = shared.claims.claim(file, s.spec.name, "written by the run"); !mine) return fail(mine.why());
    }
    CardWork inner;
    if (Outcome made = mode_work(now, inner); !made) return fail(made.why());
    return inner.run(r);
}

// The socket's link, opened beside the others' before any card is worked on.
bool open_socket_link(Socket& s, Shared& shared) {
    {
        const std::lock_guard<std::mutex> held(shared.opening);
        Outcome opened = open_link(s.options, s.link, true);
        if (!opened) report_failure(opened.why());
    }
    shared.opened.arrive_and_wait();
    return s.link != nullptr;
}

// One card's session over the socket's link: the mode run, its record filled in.
int run_card_session(Socket& s, std::size_t index, Shared& shared, RunRecord& record) {
    const Options& o = s.options;
    CardWork work;
    mode_frame(o, work);
    record.mode = work.mode_name;
    if (Outcome controlled = card_controls_work(o, work); !controlled) return fail(controlled.why());
    work.record = &record;
    work.run = [&](ModeRun& r) {
        shared.console.label(index, record.family + " " + (record.cid.empty() ? "?" : hex8(record.serial)),
                             work.mode_name);
        return run_for_card(s, record, o, r, shared);
    };
    Card card(*s.link);
    ConsoleOperator console;
    return run_session(card, work, !is_byte_link(o), console);
}

// The card's run ended: its record finished, printed and kept for the summary.
void record_card(std::size_t index, Shared& shared, RunRecord record, int status,
                 std::chrono::steady_clock::time_point started) {
    finish_record(record, status, started);
    shared.console.done(index);
    if (shared.json) shared.console.plain(json_line(record));
    const std::lock_guard<std::mutex> held(shared.rows_lock);
    shared.rows.push_back({index, std::move(record)});
}

void run_one_card(Socket& s, std::size_t index, Shared& shared) {
    const auto started = std::chrono::steady_clock::now();
    RunRecord record;
    record.socket = s.spec.name;
    const int status = open_socket_link(s, shared) ? run_card_session(s, index, shared, record) : ExitStatus::failed;
    s.link.reset();
    record_card(index, shared, std::move(record), status, started);
}

// Card after card until the ending signal: each waited for, worked on and
// waited out; a link that fails ends the socket.
void run_cards_in_turn(Socket& s, std::size_t index, Shared& shared) {
    if (!open_socket_link(s, shared)) {
        RunRecord record;
        record.socket = s.spec.name;
        record_card(index, shared, std::move(record), ExitStatus::failed, std::chrono::steady_clock::now());
        return;
    }
    for (;;) {
        shared.console.line(index, TextStream::out, "waiting for a card");
        if (!wait_for_card(*s.link, CardWait::present)) break;
        const auto started = std::chrono::steady_clock::now();
        RunRecord record;
        record.socket = s.spec.name;
        int status = run_card_session(s, index, shared, record);
        if (const int signal = console_signal_pending()) {
            shared.cut_short = true;
            status = ExitStatus::signal_base + signal;
        }
        record_card(index, shared, std::move(record), status, started);
        if (shared.cut_short || !wait_for_card(*s.link, CardWait::gone)) break;
        shared.console.line(index, TextStream::out, "card gone");
    }
    s.link.reset();
}

void run_socket(Socket& s, std::size_t index, Shared& shared) {
    {
        SocketSink sink(shared.console, index);
        text_sink(&sink);
        if (shared.wait_card) run_cards_in_turn(s, index, shared);
        else run_one_card(s, index, shared);
        text_sink(nullptr);
    }
    ++shared.finished;
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

// One row a card, then the count.
std::string summary(const std::vector<Row>& rows) {
    std::size_t name_width = 6, card_width = 4;
    const auto card_of = [](const RunRecord& r) {
        return r.card_found ? r.family + " " + (r.cid.empty() ? "?" : hex8(r.serial)) : std::string("-");
    };
    for (const Row& row : rows) {
        name_width = std::max(name_width, row.record.socket.size());
        card_width = std::max(card_width, card_of(row.record).size());
    }
    std::string text = "\n";
    text += padded("socket", name_width + 2);
    text += padded("card", card_width + 2);
    text += "mode    verdict          bad  re-read   differ  status\n";
    std::size_t passed = 0;
    for (const Row& row : rows) {
        const RunRecord& r = row.record;
        char counts[80];
        std::snprintf(counts, sizeof counts, "%8llu %8llu %8llu  %d\n", static_cast<unsigned long long>(r.bad),
                      static_cast<unsigned long long>(r.reread), static_cast<unsigned long long>(r.differ), r.exit_status);
        text += padded(r.socket, name_width + 2) + padded(card_of(r), card_width + 2) + padded(r.mode, 8) +
                padded(r.verdict, 13) + counts;
        if (r.exit_status == ExitStatus::ok) ++passed;
    }
    return text + std::to_string(rows.size()) + " cards: " + std::to_string(passed) + " passed, " +
           std::to_string(rows.size() - passed) + " failed\n";
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
    if (!o.trace.empty())
        return Outcome::failed(o.wait_card ? "--trace follows one card: leave it out with --wait-card"
                                           : "--trace follows one card: leave it out with several sockets");
    if (Outcome apart = files_apart(o, specs.size()); !apart) return apart;
    if (Outcome apart = cards_apart(o); !apart) return apart;
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
    Shared shared{console, claims, {}, std::latch(static_cast<std::ptrdiff_t>(sockets.size())), o.json, o.wait_card, {0}, {false}, {}, {}};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sockets.size(); ++i)
        threads.emplace_back([&, i] { run_socket(*sockets[i], i, shared); });
    while (shared.finished < sockets.size()) {
        std::this_thread::sleep_for(tick_interval);
        console.tick();
    }
    for (std::thread& t : threads) t.join();
    console.close();
    // One card a socket: the sockets' order; card after card: the order they ended.
    if (!o.wait_card)
        std::stable_sort(shared.rows.begin(), shared.rows.end(), [](const Row& a, const Row& b) { return a.socket < b.socket; });
    const std::string table = summary(shared.rows);
    if (o.json) std::fputs(table.c_str(), stderr);
    else console.plain(table);
    // Card after card, the ending signal ends the station; it cuts short only a card being worked on.
    const int signal = console_close();
    if (signal && (!o.wait_card || shared.cut_short)) return ExitStatus::signal_base + signal;
    const bool all_passed = std::all_of(shared.rows.begin(), shared.rows.end(),
                                        [](const Row& row) { return row.record.exit_status == ExitStatus::ok; });
    return all_passed ? ExitStatus::ok : ExitStatus::failed;
}
