// Port accesses per sector of each way the program moves sectors, counted on
// the simulated card.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "modes/probe.h"
#include "card/card.h"
#include "card/mmc_spi.h"
#include "disk/card_device.h"
#include "link/bitbang_link.h"
#include "sim/doubles/sim_port.h"

namespace {

std::uint64_t accesses = 0;

// Every access of the simulated card's port, counted while counting.
class CountedPort final : public LineDriver {
public:
    void attach(std::unique_ptr<SimPort> port) { port_ = std::move(port); }
    void write_data(std::uint8_t lines) override {
        if (counting) ++accesses;
        port_->write_data(lines);
    }
    std::uint8_t read_status() override {
        if (counting) ++accesses;
        return port_->read_status();
    }
    std::uint64_t now_ns() override { return port_->now_ns(); }
    void pause_ns(std::uint64_t ns) override { port_->pause_ns(ns); }

    bool counting = false;

private:
    std::unique_ptr<SimPort> port_;
};

// The card these benchmarks count, over the parallel port.
CountedPort counted;
spi::BitBangLink counted_link(counted);
Card card(counted_link);

std::uint32_t run_sectors() { return CardDevice(card).run_sectors(); }

constexpr std::uint32_t first_sector = 0x100;
constexpr std::uint32_t sectors = 64;


// The card initialised, then every access counted.
bool start_counted(const SimSettings& settings) {
    std::unique_ptr<SimPort> port;
    if (!SimPort::open(settings, port)) return false;
    counted.counting = false;
    counted.attach(std::move(port));
    if (mmc_init_spi(card) != CardResult::ok) return false;
    counted.counting = true;
    accesses = 0;
    return true;
}

void stop_counted() { counted.counting = false; }

// Multi-block reads of 64 sectors (CMD18 ... CMD12, lean byte-in) on the
// demo card: the port accesses each sector costs, and the time.
void BM_SimMultiBlockRead(benchmark::State& state) {
    if (!start_counted(SimSettings{})) {
        state.SkipWithError("simulated card did not start");
        return;
    }
    std::vector<std::uint8_t> buf(std::size_t{sectors} * sector_size);
    std::uint32_t first = 0;
    for (auto _ : state) {
        std::uint32_t done = 0;
        if (card.read_blocks(first, buf, done) != CardResult::ok) state.SkipWithError("read failed");
        first = (first + sectors) & 0xFFFF;
    }
    stop_counted();
    const double read = static_cast<double>(state.iterations() * sectors);
    state.SetItemsProcessed(static_cast<std::int64_t>(read));
    state.counters["accesses_per_sector"] = static_cast<double>(accesses) / read;
}
BENCHMARK(BM_SimMultiBlockRead)->Unit(benchmark::kMillisecond);

using Sector = std::array<std::uint8_t, sector_size>;

bool single_reads(std::uint32_t first, std::uint32_t count) {
    Sector buf{};
    for (std::uint32_t s = first; s < first + count; ++s)
        if (spi_read(card, s, buf) != CardResult::ok) return false;
    return true;
}

// Runs of the card device's run length, as --dump and --verify read.
bool run_reads(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint8_t> buf(std::size_t{run_sectors()} * sector_size);
    for (std::uint32_t s = first, done = 0; s < first + count; s += run_sectors())
        if (card.read_blocks(s, buf, done) != CardResult::ok) return false;
    return true;
}

// --load: each run written, then read back.
bool load_runs(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint8_t> buf(std::size_t{run_sectors()} * sector_size, 0x5A);
    for (std::uint32_t s = first, done = 0; s < first + count; s += run_sectors())
        if (card.write_blocks(s, buf, done) != CardResult::ok || card.read_blocks(s, buf, done) != CardResult::ok) return false;
    return true;
}

// --test: save, pattern out and back, saved contents out and back.
bool surface_sectors(std::uint32_t first, std::uint32_t count) {
    Sector saved{}, pattern{}, back{};
    pattern.fill(0xA5);
    for (std::uint32_t s = first; s < first + count; ++s) {
        if (spi_read(card, s, saved) != CardResult::ok || spi_write(card, s, pattern) != CardResult::ok ||
            spi_read(card, s, back) != CardResult::ok || spi_write(card, s, saved) != CardResult::ok ||
            spi_read(card, s, back) != CardResult::ok)
            return false;
    }
    return true;
}

struct Mode {
    const char* name;
    bool (*run)(std::uint32_t first, std::uint32_t count);
};

constexpr std::array<Mode, 4> modes{{
    {"browser", single_reads},
    {"dump/verify", run_reads},
    {"load", load_runs},
    {"surface test", surface_sectors},
}};

// Arg: the mode; the demo card, writes kept in memory.
void BM_AccessesPerSector(benchmark::State& state) {
    const Mode& mode = modes[static_cast<std::size_t>(state.range(0))];
    SimSettings settings;
    settings.writable = true;
    if (!start_counted(settings)) {
        state.SkipWithError("simulated card did not start");
        return;
    }
    for (auto _ : state) {
        accesses = 0;
        if (!mode.run(first_sector, sectors)) state.SkipWithError("card transfer failed");
    }
    stop_counted();
    state.SetLabel(mode.name);
    state.counters["per_sector"] = static_cast<double>(accesses) / sectors;
}
BENCHMARK(BM_AccessesPerSector)->DenseRange(0, static_cast<int>(modes.size()) - 1)->Iterations(1);

// --probe on the demo card: its transfers and the accesses of each.
void BM_ProbeAccesses(benchmark::State& state) {
    SimSettings settings;
    settings.writable = true;
    if (!start_counted(settings)) {
        state.SkipWithError("simulated card did not start");
        return;
    }
    ProbeReport report;
    for (auto _ : state) {
        accesses = 0;
        CardDevice device(card);
        SavingDevice saver(device);
        report = probe(saver, [] { return false; }, card.capacity_sectors(), 1);
    }
    stop_counted();
    state.counters["transfers"] = report.transfers;
    state.counters["per_transfer"] = static_cast<double>(accesses) / report.transfers;
}
BENCHMARK(BM_ProbeAccesses)->Iterations(1);

}  // namespace
