// Speed of a sector read: through the card layer and the line driver onto a
// port that only answers, through the line driver alone, as bare register
// accesses, through the ppdev backend's own path
// (one system call per access), and through the simulated card, also with
// each form of trace on.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "card/mmc_spi.h"
#include "sim/doubles/sim_port.h"
#include "card/card.h"
#include "base/crc.h"
#include "base/system_calls.h"
#include "link/bitbang_link.h"
#include "port/ppdev_port.h"
#include "port/trace.h"
#include "port/wiring.h"

namespace {


// One sector read's traffic: a command frame out, then R1, token, data and CRC in.
constexpr std::size_t frame_bytes = 7;
constexpr std::size_t bytes_in = 1 + 1 + 512 + 2;
constexpr std::size_t writes_per_read = frame_bytes * 16 + bytes_in * 8 * 3;
constexpr std::size_t reads_per_read = bytes_in * 8;
constexpr std::size_t accesses_per_read = writes_per_read + reads_per_read;

// Status values of a ready card's answer: R1 0x00, token 0xFE, the data
// and its CRC16.
constexpr auto answer = [] {
    std::array<std::uint8_t, bytes_in> bytes{0x00, 0xFE};
    for (std::size_t i = 2; i < 2 + 512; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37);
    const std::uint16_t check = crc::crc16(std::span(bytes).subspan(2, 512));
    bytes[2 + 512] = static_cast<std::uint8_t>(check >> 8);
    bytes[2 + 513] = static_cast<std::uint8_t>(check);
    std::array<std::uint8_t, reads_per_read> status{};
    for (std::size_t i = 0; i < status.size(); ++i)
        status[i] = ((bytes[i / 8] >> (7 - i % 8)) & 1) ? 0x00 : wiring::do_status;
    return status;
}();

volatile std::uint8_t data_register;
volatile std::uint8_t status_register;
std::size_t next_status = 0;

struct NullAccess {
    static void write_data(std::uint8_t value) { data_register = value; }
    static std::uint8_t read_status() {
        status_register = answer[next_status];
        next_status = next_status + 1 == answer.size() ? 0 : next_status + 1;
        return status_register;
    }
};

// A port that only answers.
class NullPort final : public LineDriver {
public:
    void write_data(std::uint8_t lines) override { NullAccess::write_data(lines); }
    std::uint8_t read_status() override { return NullAccess::read_status(); }
};

NullPort null_port;
// The card these benchmarks' procedural calls reach, over the parallel port
// of the moment.
spi::BitBangLink bench_link(null_port);
Card bench_card(bench_link);
std::unique_ptr<LineDriver> bench_port;

void use_port(std::unique_ptr<LineDriver> port) {
    bench_port = std::move(port);
    bench_link.route_through(*bench_port);
}

bool use_sim(const SimSettings& settings) {
    std::unique_ptr<SimPort> port;
    if (!SimPort::open(settings, port)) return false;
    use_port(std::move(port));
    return true;
}

void report(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * accesses_per_read));
    state.counters["accesses"] = static_cast<double>(accesses_per_read);
}

void BM_NullPortSectorRead(benchmark::State& state) {
    bench_link.route_through(null_port);
    std::array<std::uint8_t, 512> buf{};
    for (auto _ : state) {
        next_status = 0;
        if (spi_read(bench_card, 1, buf) != CardResult::ok) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buf.data());
    }
    report(state);
}
BENCHMARK(BM_NullPortSectorRead);

constexpr std::array<std::uint8_t, frame_bytes> read_frame{0xFF, 0x51, 0, 0, 2, 0, 0xFF};
std::array<std::uint8_t, bytes_in> answer_in{};


// The line driver alone: the frame out and the answer's bytes in through
// the parallel link's transfer, the same accesses as the bare loop below.
void line_driver_read(spi::BitBangLink& link) {
    next_status = 0;
    link.transfer(read_frame, answer_in);
    benchmark::DoNotOptimize(answer_in.data());
}

// The same writes and reads, the same register accesses, in one plain loop.
void bare_read() {
    next_status = 0;
    for (std::size_t i = 0; i < frame_bytes * 8; ++i) {
        NullAccess::write_data(0xFC);
        NullAccess::write_data(0xFD);
    }
    for (std::uint8_t& byte : answer_in) {
        std::uint8_t result = 0;
        for (int bit = 0; bit < 8; ++bit) {
            NullAccess::write_data(0xFC);
            NullAccess::write_data(0xFC);
            NullAccess::write_data(0xFD);
            result = static_cast<std::uint8_t>(result << 1 | !(NullAccess::read_status() & wiring::do_status));
        }
        byte = result;
    }
    benchmark::DoNotOptimize(answer_in.data());
}

void BM_NullPortLineDriver(benchmark::State& state) {
    spi::BitBangLink link(null_port);
    for (auto _ : state) line_driver_read(link);
    report(state);
}
BENCHMARK(BM_NullPortLineDriver);

// The floor.
void BM_BareAccessLoop(benchmark::State& state) {
    for (auto _ : state) bare_read();
    report(state);
}
BENCHMARK(BM_BareAccessLoop);

// The three in turn, each timed, so that a busy machine slows them alike:
// the line driver's time, and the card layer's whole sector read (frame,
// waits, CRC16 check), over the bare loop's.
void BM_LineDriverOverBare(benchmark::State& state) {
    spi::BitBangLink link(null_port);
    std::array<std::uint8_t, 512> buf{};
    using Clock = std::chrono::steady_clock;
    Clock::duration driver{}, bare{}, card{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        line_driver_read(link);
        const auto t1 = Clock::now();
        bare_read();
        const auto t2 = Clock::now();
        next_status = 0;
        if (spi_read(bench_card, 1, buf) != CardResult::ok) state.SkipWithError("read failed");
        driver += t1 - t0;
        bare += t2 - t1;
        card += Clock::now() - t2;
    }
    const auto over_bare = [&](Clock::duration d) {
        return bare.count() > 0 ? static_cast<double>(d.count()) / static_cast<double>(bare.count()) : 0;
    };
    state.counters["ratio"] = over_bare(driver);
    state.counters["card_read_ratio"] = over_bare(card);
}
BENCHMARK(BM_LineDriverOverBare);

// Every ioctl is made for real on /dev/null, which refuses it after the
// whole system-call round trip; the port's answers come from the script.
int ppdev_ioctl(int fd, unsigned long request, void* arg) {
    benchmark::DoNotOptimize(::ioctl(fd, request, arg));
    if (request == PPRSTATUS) *static_cast<std::uint8_t*>(arg) = NullAccess::read_status();
    return 0;
}

void BM_PpdevSectorRead(benchmark::State& state) {
    const SystemCalls real = system_calls;
    system_calls.open = [](const char*, int flags) { return ::open("/dev/null", flags); };
    system_calls.ioctl = ppdev_ioctl;
    system_calls.alarm_ms = [](unsigned) { return 0; };
    use_port(std::make_unique<PpdevPort>("/dev/null"));
    if (const Outcome acquired = bench_port->acquire(); !acquired) state.SkipWithError(acquired.why().c_str());
    std::array<std::uint8_t, 512> buf{};
    for (auto _ : state) {
        next_status = 0;
        if (spi_read(bench_card, 1, buf) != CardResult::ok) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buf.data());
    }
    if (!bench_port->release()) state.SkipWithError("port not released");
    system_calls = real;
    report(state);
}
BENCHMARK(BM_PpdevSectorRead)->Unit(benchmark::kMicrosecond);

// A sector read on the simulated card also clocks in the NCR and access bytes.
constexpr std::size_t sim_accesses_per_read =
    accesses_per_read + 8 * SimSettings{}.access_bytes * 4 + 8 * (SimSettings{}.ncr - 1) * 4;

void BM_SimSectorRead(benchmark::State& state) {
    if (!use_sim(SimSettings{}) || mmc_init_spi(bench_card) != CardResult::ok) {
        state.SkipWithError("simulated card did not start");
        return;
    }
    std::array<std::uint8_t, 512> buf{};
    std::int32_t sector = 0;
    for (auto _ : state) {
        if (spi_read(bench_card, sector, buf) != CardResult::ok) state.SkipWithError("read failed");
        sector = (sector + 1) & 0xFFFF;
        benchmark::DoNotOptimize(buf.data());
    }
    report(state);
    state.counters["accesses"] = static_cast<double>(sim_accesses_per_read);
}
BENCHMARK(BM_SimSectorRead)->Unit(benchmark::kMicrosecond);

// Traces go to /dev/null under a name that picks their form, so what is timed
// is the tracing, not the disk.
struct TraceForm {
    const char* name;
    TraceClock clock;
};
constexpr std::array<TraceForm, 3> trace_forms{{
    {"log", TraceClock::per_access},
    {"vcd", TraceClock::per_access},
    {"vcd", TraceClock::measured},
}};

std::unique_ptr<PortTrace> bench_trace;

bool start_null_trace(const TraceForm& form, std::string& path) {
    path = (std::filesystem::temp_directory_path() /
            ("vantacle-bench-" + std::to_string(::getpid()) + "." + form.name))
               .string();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::create_symlink("/dev/null", path, ec);
    if (ec) return false;
    auto trace = std::make_unique<PortTrace>(*bench_port);
    if (!trace->start(path, form.clock)) return false;
    bench_link.route_through(*trace);
    bench_trace = std::move(trace);
    return true;
}

void stop_null_trace(const std::string& path) {
    (void)bench_trace->stop();
    bench_link.route_through(*bench_port);
    bench_trace.reset();
    std::remove(path.c_str());
}

long resident_kb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Arg: the trace form (0 access log, 1 waveform per access, 2 waveform measured).
void BM_TracedSimSectorRead(benchmark::State& state) {
    std::string path;
    if (!use_sim(SimSettings{}) || !start_null_trace(trace_forms[state.range(0)], path)) {
        state.SkipWithError("trace did not start");
        return;
    }
    std::array<std::uint8_t, 512> buf{};
    if (mmc_init_spi(bench_card) != CardResult::ok) state.SkipWithError("simulated card did not start");
    std::int32_t sector = 0;
    for (auto _ : state) {
        if (spi_read(bench_card, sector, buf) != CardResult::ok) state.SkipWithError("read failed");
        sector = (sector + 1) & 0xFFFF;
    }
    stop_null_trace(path);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * sim_accesses_per_read));
    state.counters["per_access"] =
        benchmark::Counter(static_cast<double>(sim_accesses_per_read),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TracedSimSectorRead)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// A quarter of the demo card's sectors under a waveform trace (about 280
// million port accesses): the peak memory the process gains while the trace
// streams out.
constexpr std::int32_t traced_sectors = 0x4000;

void BM_TracedLongRead(benchmark::State& state) {
    std::string path;
    if (!use_sim(SimSettings{}) || !start_null_trace(trace_forms[1], path)) {
        state.SkipWithError("trace did not start");
        return;
    }
    std::array<std::uint8_t, 512> buf{};
    const long before = resident_kb();
    for (auto _ : state) {
        if (mmc_init_spi(bench_card) != CardResult::ok) state.SkipWithError("simulated card did not start");
        for (std::int32_t sector = 0; sector < traced_sectors; ++sector)
            if (spi_read(bench_card, sector, buf) != CardResult::ok) state.SkipWithError("read failed");
        mmc_disable(bench_card);
    }
    stop_null_trace(path);
    state.counters["sectors"] = traced_sectors;
    state.counters["peak_growth_kb"] = static_cast<double>(resident_kb() - before);
}
BENCHMARK(BM_TracedLongRead)->Iterations(1)->Unit(benchmark::kSecond);

// A sparse 64 GiB image as an SDXC card, read at sectors spread over all of
// it: the peak memory of the whole process stays a few MiB.
void BM_SparseSdxcCard(benchmark::State& state) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("vantacle-bench-" + std::to_string(::getpid()) + ".img")).string();
    { std::ofstream{path}; }
    std::error_code ec;
    std::filesystem::resize_file(path, std::uint64_t{64} << 30, ec);
    SimSettings settings;
    settings.image = path;
    settings.kind = CardKind::sdxc;
    const long before = resident_kb();
    if (ec || !use_sim(settings) || mmc_init_spi(bench_card) != CardResult::ok)
        state.SkipWithError("sparse SDXC card did not start");
    constexpr std::uint32_t sectors = std::uint32_t{64} << 21;
    std::array<std::uint8_t, 512> buf{};
    std::uint32_t sector = 0;
    for (auto _ : state) {
        if (spi_read(bench_card, sector, buf) != CardResult::ok) state.SkipWithError("read failed");
        sector = (sector + 0x9E3779B1u) % sectors;
    }
    state.counters["peak_growth_kb"] = static_cast<double>(resident_kb() - before);
    state.counters["peak_kb"] = static_cast<double>(resident_kb());
    (void)bench_port->release();
    std::remove(path.c_str());
}
BENCHMARK(BM_SparseSdxcCard)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
