// A whole 64 MiB card dumped over each link's stand-in, as --dump reads it:
// the link transactions each sector costs (USB round trips over the MPSSE
// bridge, ioctls over spidev) and the rate the card's own clock gives.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/mmc_spi.h"
#include "disk/card_device.h"
#include "link/ftdi_link.h"
#include "link/parallel_link.h"
#include "link/spidev_link.h"
#include "sim/doubles/sim_mpsse.h"
#include "sim/doubles/sim_port.h"
#include "sim/doubles/sim_spidev.h"

namespace {

constexpr std::uint32_t card_sectors = 131072;  // 64 MiB
constexpr double bytes_per_mb = 1e6;
// An MPSSE bridge's SCK: this over 2 * (divisor + 1).
constexpr double mpsse_base_hz = 60e6;

// A sparse image of the card's size, removed with the object.
class CardImage {
public:
    CardImage() {
        path_ = (std::filesystem::temp_directory_path() / ("vantacle-bench-link-" + std::to_string(::getpid()) + ".img"))
                    .string();
        std::ofstream{path_};
        std::error_code ec;
        std::filesystem::resize_file(path_, std::uintmax_t{card_sectors} * sector_size, ec);
        ok_ = !ec;
    }
    ~CardImage() { std::remove(path_.c_str()); }
    CardImage(const CardImage&) = delete;
    CardImage& operator=(const CardImage&) = delete;

    [[nodiscard]] bool ok() const { return ok_; }
    // An SD card (25 MHz in its CSD) on the image.
    [[nodiscard]] SimSettings settings() const {
        SimSettings settings;
        settings.image = path_;
        settings.kind = CardKind::sd2;
        return settings;
    }

private:
    std::string path_;
    bool ok_ = false;
};

// Whether the dump read every sector, and the card time its runs took.
struct DumpCost {
    bool ok = false;
    std::uint64_t card_ns = 0;
};

// The card up and its CSD read (which sets the data rate), then every sector
// in runs as the dump mode reads them; the card's clock over the runs alone.
DumpCost dump_whole_card(Card& card, const std::function<void()>& before_runs) {
    DumpCost cost;
    CardDevice device(card);
    if (mmc_init_spi(card) == CardResult::ok && card.prepare(true) == CardResult::ok && device.sectors() == card_sectors) {
        const std::uint32_t run = device.run_sectors();
        std::vector<std::uint8_t> buf(std::size_t{run} * sector_size);
        before_runs();
        const std::uint64_t start = device.now_ns();
        cost.ok = true;
        for (std::uint32_t s = 0, done = 0; cost.ok && s < card_sectors; s += run) {
            const std::uint32_t n = std::min(run, card_sectors - s);
            cost.ok = device.read(s, std::span(buf).first(std::size_t{n} * sector_size), done) == CardResult::ok;
        }
        cost.card_ns = device.now_ns() - start;
        mmc_disable(card);
    }
    return cost;
}

void report(benchmark::State& state, const DumpCost& cost, double clock_hz) {
    if (!cost.ok) {
        state.SkipWithError("dump failed");
        return;
    }
    const double bytes = double{card_sectors} * sector_size;
    state.counters["sectors"] = card_sectors;
    state.counters["modelled_MB/s"] = bytes / bytes_per_mb / (static_cast<double>(cost.card_ns) / 1e9);
    if (clock_hz > 0) state.counters["wire_MB/s"] = clock_hz / 8 / bytes_per_mb;
}

// The number after `key` in a logged line, 0 when absent.
double number_after(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(key);
    return at == std::string::npos ? 0 : std::stod(line.substr(at + key.size()));
}

// The parallel port at the stand-in's microsecond per port access.
void BM_DumpOverParallelPort(benchmark::State& state) {
    const CardImage image;
    for (auto _ : state) {
        spi::ParallelLink link;
        Card card(link);
        if (!image.ok() || !sim_port_select(image.settings())) {
            state.SkipWithError("simulated card did not start");
            return;
        }
        report(state, dump_whole_card(card, [] {}), 0);
    }
}
BENCHMARK(BM_DumpOverParallelPort)->Iterations(1)->Unit(benchmark::kSecond);

// The MPSSE bridge: 1 ms of card time per USB round trip; the SCK the
// bridge ran at, from the divisor it was given.
void BM_DumpOverMpsse(benchmark::State& state) {
    const CardImage image;
    for (auto _ : state) {
        std::unique_ptr<spi::FtdiLink> link;
        if (!image.ok() || !sim_mpsse_install(image.settings()) || !spi::FtdiLink::open(spi::FtdiTarget{}, link)) {
            state.SkipWithError("bridge did not open");
            return;
        }
        Card card(*link);
        std::uint64_t trips_before = 0;
        const DumpCost cost = dump_whole_card(card, [&] {
            sim_mpsse_clear_commands();
            trips_before = sim_mpsse_round_trips();
        });
        state.counters["round_trips_per_sector"] =
            static_cast<double>(sim_mpsse_round_trips() - trips_before) / card_sectors;
        double fastest_divisor = 0xFFFF;
        for (const std::string& line : sim_mpsse_commands())
            if (line.starts_with("divisor ")) fastest_divisor = std::min(fastest_divisor, number_after(line, "divisor "));
        report(state, cost, mpsse_base_hz / 2 / (fastest_divisor + 1));
        link.reset();
        sim_mpsse_remove();
    }
}
BENCHMARK(BM_DumpOverMpsse)->Iterations(1)->Unit(benchmark::kSecond);

// spidev: only the wire's time is modelled, nothing per ioctl.
void BM_DumpOverSpidev(benchmark::State& state) {
    const CardImage image;
    for (auto _ : state) {
        std::unique_ptr<spi::SpidevLink> link;
        spi::SpidevTarget target;
        target.device = sim_spidev_device;
        if (!image.ok() || !sim_spidev_install(image.settings()) || !spi::SpidevLink::open(target, link)) {
            state.SkipWithError("spidev device did not open");
            return;
        }
        Card card(*link);
        std::uint64_t messages_before = 0;
        const DumpCost cost = dump_whole_card(card, [&] {
            sim_spidev_clear_calls();
            messages_before = sim_spidev_messages();
        });
        state.counters["ioctls_per_sector"] = static_cast<double>(sim_spidev_messages() - messages_before) / card_sectors;
        double fastest = 0;
        for (const std::string& line : sim_spidev_calls()) fastest = std::max(fastest, number_after(line, " @"));
        report(state, cost, fastest);
        link.reset();
        sim_spidev_remove();
    }
}
BENCHMARK(BM_DumpOverSpidev)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
