// vantacle: tests an MMC or SD card wired to a parallel port.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/console.h"
#include "app/info.h"
#include "app/options.h"
#include "app/session.h"
#include "app/surface_test.h"
#include "app/whole_card.h"
#include "base/file_lock.h"
#include "port/backends.h"
#include "base/sector_file.h"
#include "port/trace.h"
#include "sim/sim_port.h"
#include "sim/storage.h"

namespace {

int fail_usage(const Outcome& outcome) {
    std::fprintf(stderr, "vantacle: %s\n", outcome.why().c_str());
    return 2;
}

Outcome select_port(const Options& options) {
    if (options.port == Options::Port::sim) return sim_port_select(options.sim);
    if (options.port == Options::Port::ppdev) ppdev_port_select(options.device);
    else direct_port_select(options.base);
    return Outcome::ok();
}

// A simulated card's accesses take no real time: its trace counts them.
TraceClock trace_clock(const Options& options) {
    return options.port == Options::Port::sim ? TraceClock::per_access : TraceClock::measured;
}

// Opening the trace empties its file: never the card image, nor the file
// that a whole-card mode dumps to, verifies against or loads.
Outcome open_trace(const Options& options) {
    if (options.trace.empty()) return Outcome::ok();
    if (options.port == Options::Port::sim && storage_is_file(options.trace))
        return Outcome::failed("the trace " + options.trace + " is the card image; name another file");
    if (!options.file.empty() && same_file(options.trace, options.file))
        return Outcome::failed("the trace " + options.trace + " is also the file to dump, verify or load; name another file");
    return trace_start(options.trace, trace_clock(options));
}

// Output that could not be written ends the run with status 1 and says so.
int checked_output(int status) {
    if (console_flush()) return status;
    std::fprintf(stderr, "vantacle: cannot write to standard output: %s\n", std::strerror(console_output_error()));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (Outcome parsed = parse_options(argc, argv, options); !parsed) return fail_usage(parsed);
    if (options.help || options.version) {
        std::fputs((options.help ? usage_text() : version_text()).c_str(), stdout);
        return checked_output(0);
    }
    if (Outcome allowed = options_conflict(options); !allowed) return fail_usage(allowed);
    if (Outcome selected = select_port(options); !selected) {
        // A card another run holds is no usage error.
        return lock_was_busy() ? (std::fprintf(stderr, "vantacle: %s\n", selected.why().c_str()), 1) : fail_usage(selected);
    }
    if (Outcome traced = open_trace(options); !traced) return fail_usage(traced);
    if (Outcome prepared = whole_card_prepare(options); !prepared) {
        (void)trace_stop();
        return fail_usage(prepared);
    }

    const bool browsing = !options.test && !options.info && options.whole == Options::WholeCard::none;
    console_open(browsing);
    const CardWork work = options.test   ? CardWork{[&] { return surface_test(options.range); }, 1}
                          : options.info ? CardWork{show_card_info, 1}
                          : options.whole != Options::WholeCard::none ? whole_card_work(options)
                                                                      : CardWork{browse_sectors, 0};
    int status = run_session(work);
    if (!trace_stop()) {
        std::fprintf(stderr, "vantacle: the trace %s could not be written completely\n", options.trace.c_str());
        if (status == 0) status = 1;
    }
    const int signal = console_close();
    return signal ? 128 + signal : checked_output(status);
}
