// vantacle: tests an MMC or SD card wired to a parallel port.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "modes/card_controls.h"
#include "app/console/console.h"
#include "base/exit_status.h"
#include "app/links.h"
#include "app/options.h"
#include "app/run_json.h"
#include "app/session.h"
#include "app/station.h"
#include "base/file_lock.h"
#include "base/sector_file.h"
#include "card/card.h"
#include "port/trace.h"
#include "sim/storage.h"

namespace {

int fail_usage(const Outcome& outcome) {
    report_failure(outcome.why());
    return ExitStatus::usage;
}

// A simulated card's accesses take no real time: its trace counts them.
TraceClock trace_clock(const Options& options) {
    return options.port == Options::Port::sim ? TraceClock::per_access : TraceClock::measured;
}

// Opening the trace empties its file: never the card image, nor the file
// that a whole-card mode dumps to, verifies against or loads. The parallel
// port is traced access by access, a byte link transaction by transaction.
Outcome open_trace(const Options& options, std::unique_ptr<spi::Link>& link, spi::TracingLink*& link_trace,
                   std::unique_ptr<PortTrace>& port_trace) {
    if (options.trace.empty()) return Outcome::ok();
    if (options.port == Options::Port::sim && storage_is_file(options.trace))
        return Outcome::failed("the trace " + options.trace + " is the card image; name another file");
    if (!options.file.empty() && same_file(options.trace, options.file))
        return Outcome::failed("the trace " + options.trace + " is also the file to dump, verify or load; name another file");
    if (!is_byte_link(options)) return trace_lines(options.trace, trace_clock(options), *link, port_trace);
    return trace_link(options.trace, link, link_trace);
}

bool close_trace(spi::TracingLink* link_trace, PortTrace* port_trace) {
    if (link_trace) return link_trace->close();
    return !port_trace || port_trace->stop();
}

// The report's file must be none of the others the run uses.
Outcome report_check(const Options& o) {
    if (o.report.empty()) return Outcome::ok();
    const bool clash = (o.port == Options::Port::sim && storage_is_file(o.report)) ||
                       (!o.file.empty() && same_file(o.report, o.file)) ||
                       (!o.trace.empty() && same_file(o.report, o.trace)) || (!o.map.empty() && same_file(o.report, o.map));
    if (!clash) return Outcome::ok();
    return Outcome::failed("the report " + o.report + " is also the card image, FILE, the trace or the map; name another file");
}

// Output that could not be written ends the run with status 1 and says so.
int checked_output(int status) {
    if (console_flush()) return status;
    return fail(std::string("cannot write to standard output: ") + std::strerror(console_output_error()));
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (Outcome parsed = parse_options(argc, argv, options); !parsed) return fail_usage(parsed);
    if (options.help || options.version) {
        std::fputs((options.help ? usage_text() : version_text()).c_str(), stdout);
        return checked_output(ExitStatus::ok);
    }
    if (station_asked(options)) return run_station(options);
    if (Outcome allowed = options_conflict(options); !allowed) return fail_usage(allowed);
    // With --json standard output carries the record alone.
    TextToError to_error;
    if (options.json) text_sink(&to_error);
    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<spi::Link> spi_link;
    if (Outcome opened = open_link(options, spi_link); !opened) {
        // A card another run holds is no usage error.
        return opened.held_elsewhere() ? fail(opened.why()) : fail_usage(opened);
    }
    spi::TracingLink* link_trace = nullptr;
    std::unique_ptr<PortTrace> port_trace;
    if (Outcome traced = open_trace(options, spi_link, link_trace, port_trace); !traced) return fail_usage(traced);
    CardWork work{};
    Outcome prepared = mode_work(options, work);
    if (prepared) prepared = report_check(options);
    if (!prepared) {
        (void)close_trace(link_trace, port_trace.get());
        return prepared.held_elsewhere() ? fail(prepared.why()) : fail_usage(prepared);
    }
    if (Outcome controlled = card_controls_work(options, work); !controlled) {
        (void)close_trace(link_trace, port_trace.get());
        return fail_usage(controlled);
    }
    RunRecord record;
    if (options.json) {
        record.mode = work.mode_name;
        record.files = files_written(options);
        work.record = &record;
    }
    console_open(browses(options));
    Card card(*spi_link);
    ConsoleOperator console;
    int status = run_session(card, work, !is_byte_link(options), console);
    if (!close_trace(link_trace, port_trace.get())) {
        report_failure("the trace " + options.trace + " could not be written completely");
        if (status == ExitStatus::ok) status = ExitStatus::failed;
    }
    const int signal = console_close();
    if (signal) status = ExitStatus::signal_base + signal;
    if (options.json) {
        finish_record(record, status, started);
        text_sink(nullptr);
        std::fputs(json_line(record).c_str(), stdout);
    }
    return signal ? status : checked_output(status);
}
