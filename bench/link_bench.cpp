// A whole 64 MiB card dumped over each link's stand-in, as --dump reads it:
// the link transactions each sector costs (USB round trips over the MPSSE
// bridge, ioctls over spidev) and the rate the card's own clock gives.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
#include "link/bitbang_link.h"
#include "link/ftdi_bitbang.h"
#include "link/ftdi_link.h"
#include "link/spidev_link.h"
#include "port/gpio_lines.h"
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

// Whether the run moved every sector, and the card time its runs took.
struct DumpCost {
    bool ok = false;
    std::uint64_t card_ns = 0;
};

// The card up and its CSD read (which sets the data rate), then sectors 0
// to count - 1 in runs, read as the dump mode reads them or written as the
// load mode writes them; the card's clock over the runs alone.
DumpCost whole_card_runs(Card& card, bool write, std::uint32_t count, const std::function<void()>& before_runs) {
    DumpCost cost;
    CardDevice device(card);
    if (mmc_init_spi(card) == CardResult::ok && card.prepare(true) == CardResult::ok && device.sectors() == card_sectors) {
        const std::uint32_t run = device.run_sectors();
        std::vector<std::uint8_t> buf(std::size_t{run} * sector_size, 0x5A);
        before_runs();
        const std::uint64_t start = device.now_ns();
        cost.ok = true;
        for (std::uint32_t s = 0, done = 0; cost.ok && s < count; s += run) {
            const std::uint32_t n = std::min(run, count - s);
            const auto part = std::span(buf).first(std::size_t{n} * sector_size);
            cost.ok = (write ? device.write(s, part, done) : device.read(s, part, done)) == CardResult::ok;
        }
        cost.card_ns = device.now_ns() - start;
        mmc_disable(card);
    }
    return cost;
}

DumpCost dump_whole_card(Card& card, const std::function<void()>& before_runs) {
    return whole_card_runs(card, false, card_sectors, before_runs);
}

void report(benchmark::State& state, const DumpCost& cost, double clock_hz, std::uint32_t sectors = card_sectors) {
    if (!cost.ok) {
        state.SkipWithError("run failed");
        return;
    }
    const double bytes = static_cast<double>(sectors) * sector_size;
    state.counters["sectors"] = sectors;
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
        std::unique_ptr<SimPort> port;
        if (!image.ok() || !SimPort::open(image.settings(), port)) {
            state.SkipWithError("simulated card did not start");
            return;
        }
        spi::BitBangLink link(std::move(port));
        Card card(link);
        report(state, dump_whole_card(card, [] {}), 0);
    }
}
BENCHMARK(BM_DumpOverParallelPort)->Iterations(1)->Unit(benchmark::kSecond);

// Four GPIO lines at the stand-in's microsecond per ioctl: the first 4096
// sectors read, the value ioctls each sector costs.
void BM_DumpOverGpio(benchmark::State& state) {
    constexpr std::uint32_t sectors = 4096;
    const CardImage image;
    for (auto _ : state) {
        SimSettings settings = image.settings();
        settings.via = SimVia::gpio;
        if (!image.ok() || !sim_spidev_install(settings)) {
            state.SkipWithError("simulated card did not start");
            return;
        }
        {
            const SimGpio& b = settings.gpio;
            spi::BitBangLink link(std::make_unique<GpioLines>(GpioTarget{sim_gpio_chip, b.sck, b.mosi, b.miso, b.cs, b.power}));
            Card card(link);
            std::uint64_t calls_before = 0;
            if (!link.acquire()) state.SkipWithError("lines not taken");
            report(state, whole_card_runs(card, false, sectors, [&] { calls_before = sim_gpio_value_calls(); }), 0, sectors);
            state.counters["ioctls_per_sector"] = static_cast<double>(sim_gpio_value_calls() - calls_before) / sectors;
            (void)link.release();
        }
        sim_spidev_remove();
    }
}
BENCHMARK(BM_DumpOverGpio)->Iterations(1)->Unit(benchmark::kSecond);

// The MPSSE bridge (an FT232H) at the round trip of the benchmark's
// argument in microseconds: the whole card read, or its first 16 MiB
// written; the USB round trips the host waited for per sector, and the SCK
// the bridge ran at, from the divisor it was given.
void mpsse_runs(benchmark::State& state, bool write) {
    const CardImage image;
    const std::uint32_t sectors = write ? card_sectors / 4 : card_sectors;
    for (auto _ : state) {
        SimSettings settings = image.settings();
        settings.writable = write;
        settings.ftdi.round_trip_ns = static_cast<std::uint64_t>(state.range(0)) * 1000;
        std::unique_ptr<spi::FtdiLink> link;
        spi::FtdiTarget target;
        target.lock = false;
        if (!image.ok() || !sim_mpsse_install(settings) || !spi::FtdiLink::open(target, link)) {
            state.SkipWithError("bridge did not open");
            return;
        }
        Card card(*link);
        double trips_before = 0;
        double divisor = 0xFFFF;  // the last one given: the one in force
        const auto last_divisor = [&] {
            for (const std::string& line : sim_mpsse_commands())
                if (line.starts_with("divisor ")) divisor = number_after(line, "divisor ");
        };
        const DumpCost cost = whole_card_runs(card, write, sectors, [&] {
            last_divisor();
            sim_mpsse_clear_commands();
            trips_before = sim_mpsse_round_trips();
        });
        state.counters["round_trips_per_sector"] = (sim_mpsse_round_trips() - trips_before) / sectors;
        last_divisor();
        report(state, cost, mpsse_base_hz / 2 / (divisor + 1), sectors);
        link.reset();
        sim_mpsse_remove();
    }
}
void BM_DumpOverMpsse(benchmark::State& state) { mpsse_runs(state, false); }
void BM_LoadOverMpsse(benchmark::State& state) { mpsse_runs(state, true); }
BENCHMARK(BM_DumpOverMpsse)->Arg(1000)->Arg(125)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_LoadOverMpsse)->Arg(1000)->Arg(125)->Iterations(1)->Unit(benchmark::kSecond);

// An FTDI chip in synchronous bit-bang (the benchmark's argument: 0 an
// FT232R, 1 an FT230X, 2 an FT232H) at a 1 ms USB round trip: the first
// 2 MiB read as --dump reads them; the round trips and the pin states
// (bytes written, each read back) per sector, the pin rate the link set.
void BM_DumpOverSyncBitBang(benchmark::State& state) {
    constexpr std::array<FtdiChip, 3> chips{FtdiChip::ft232r, FtdiChip::ft230x, FtdiChip::ft232h};
    constexpr std::uint32_t sectors = 4096;
    const CardImage image;
    for (auto _ : state) {
        SimSettings settings = image.settings();
        settings.via = SimVia::ftdi_bitbang;
        settings.ftdi.chip = chips[static_cast<std::size_t>(state.range(0))];
        std::unique_ptr<spi::FtdiBitBangLines> lines;
        spi::FtdiBitBangTarget target;
        target.lock = false;
        if (!image.ok() || !sim_mpsse_install(settings) || !spi::FtdiBitBangLines::open(target, lines)) {
            state.SkipWithError("bridge did not open");
            return;
        }
        {
            const std::size_t chunk = lines->chunk();
            spi::BitBangLink link(std::move(lines));
            Card card(link);
            double trips_before = 0;
            double states_before = 0;
            const DumpCost cost = whole_card_runs(card, false, sectors, [&] {
                trips_before = sim_mpsse_round_trips();
                states_before = static_cast<double>(sim_mpsse_pin_states());
            });
            state.counters["round_trips_per_sector"] = (sim_mpsse_round_trips() - trips_before) / sectors;
            state.counters["pin_states_per_sector"] = (static_cast<double>(sim_mpsse_pin_states()) - states_before) / sectors;
            state.counters["chunk"] = static_cast<double>(chunk);
            report(state, cost, link.capabilities().top_hz, sectors);
        }
        sim_mpsse_remove();
    }
}
BENCHMARK(BM_DumpOverSyncBitBang)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond);

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

// --test's card work over spidev on the first 256 sectors: each sector read,
// a pattern written and read back, its contents written and read back, a
// single block at a time; the ioctls each sector costs and the card's time.
void BM_TestOverSpidev(benchmark::State& state) {
    constexpr std::uint32_t tested = 256;
    const CardImage image;
    for (auto _ : state) {
        SimSettings settings = image.settings();
        settings.writable = true;
        std::unique_ptr<spi::SpidevLink> link;
        spi::SpidevTarget target;
        target.device = sim_spidev_device;
        if (!image.ok() || !sim_spidev_install(settings) || !spi::SpidevLink::open(target, link)) {
            state.SkipWithError("spidev device did not open");
            return;
        }
        Card card(*link);
        DumpCost cost;
        std::uint64_t messages_before = 0;
        if (mmc_init_spi(card) == CardResult::ok && card.prepare(true) == CardResult::ok) {
            messages_before = sim_spidev_messages();
            std::array<std::uint8_t, sector_size> saved{}, pattern{}, back{};
            pattern.fill(0xA5);
            const std::uint64_t start = link->now_ns();
            cost.ok = true;
            for (std::uint32_t s = 0; cost.ok && s < tested; ++s)
                cost.ok = spi_read(card, s, saved) == CardResult::ok && spi_write(card, s, pattern) == CardResult::ok &&
                          spi_read(card, s, back) == CardResult::ok && spi_write(card, s, saved) == CardResult::ok &&
                          spi_read(card, s, back) == CardResult::ok;
            cost.card_ns = link->now_ns() - start;
            mmc_disable(card);
        }
        state.counters["ioctls_per_sector"] = static_cast<double>(sim_spidev_messages() - messages_before) / tested;
        report(state, cost, 0, tested);
        link.reset();
        sim_spidev_remove();
    }
}
BENCHMARK(BM_TestOverSpidev)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
