// vantacle: tests an MMC or SD card wired to a parallel port.
#include <cstdio>
#include <string>

#include "app/console.h"
#include "app/options.h"
#include "app/session.h"
#include "app/surface_test.h"
#include "port/backends.h"
#include "port/trace.h"
#include "sim/storage.h"

namespace {

int fail_usage(const std::string& error) {
    std::fprintf(stderr, "vantacle: %s\n", error.c_str());
    return 2;
}

bool select_port(const Options& options, std::string& error) {
    if (options.port == Options::Port::sim) return sim_port_select(options.sim, error);
    if (options.port == Options::Port::ppdev) ppdev_port_select(options.device);
    else direct_port_select(options.base);
    return true;
}

// A simulated card's accesses take no real time: its trace counts them.
TraceClock trace_clock(const Options& options) {
    return options.port == Options::Port::sim ? TraceClock::per_access : TraceClock::measured;
}

// Opening the trace would empty the card image if both name the same file.
bool trace_is_image(const Options& options) {
    return options.port == Options::Port::sim && storage_is_file(options.trace);
}

bool open_trace(const Options& options, std::string& error) {
    if (options.trace.empty()) return true;
    if (!trace_is_image(options)) return trace_start(options.trace, trace_clock(options), error);
    error = "the trace " + options.trace + " is the card image; name another file";
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) return fail_usage(error);
    if (options.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (error = options_conflict(options); !error.empty()) return fail_usage(error);
    if (!select_port(options, error)) return fail_usage(error);
    if (!open_trace(options, error)) return fail_usage(error);

    console_open();
    const CardWork work = options.test ? CardWork{[&] { return surface_test(*options.test); }, 1}
                                       : CardWork{browse_sectors, 0};
    int status = run_session(work);
    if (!trace_stop()) {
        std::fprintf(stderr, "vantacle: the trace %s could not be written completely\n", options.trace.c_str());
        if (status == 0) status = 1;
    }
    const int signal = console_close();
    return signal ? 128 + signal : status;
}
