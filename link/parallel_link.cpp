#include "link/parallel_link.h"

#include "port/port.h"
#include "port/wiring.h"

namespace spi {

namespace {
constexpr std::uint8_t powered_value = wiring::supply | wiring::cs | wiring::di;
constexpr std::uint8_t unpowered_value = wiring::cs | wiring::di;
// About a microsecond an access and three accesses a bit in the lean loop.
constexpr std::uint32_t port_top_hz = 330'000 * 3;
}  // namespace

bool ParallelLink::start() {
    power(false);
    return port_link_ok();
}

void ParallelLink::power(bool on) {
    mmc_o_val_ = on ? powered_value : unpowered_value;
    port_write_data(mmc_o_val_);
}

void ParallelLink::select(bool selected) {
    mmc_o_val_ = selected ? (mmc_o_val_ & ~wiring::cs) : (mmc_o_val_ | wiring::cs);
    port_write_data(mmc_o_val_);
}

// Every line low; the shadow byte keeps its value.
void ParallelLink::stop() { port_write_data(0x00); }

void ParallelLink::transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) {
    const ByteMovers& movers = port_movers();
    for (std::uint8_t byte : tx) movers.out(mmc_o_val_, byte);
    const auto in = lean_ ? movers.in_lean : movers.in;
    for (std::uint8_t& byte : rx) byte = in(mmc_o_val_);
}

void ParallelLink::pause_ns(std::uint64_t ns) { port_pause_ns(ns); }
std::uint64_t ParallelLink::now_ns() { return port_now_ns(); }
bool ParallelLink::healthy() { return port_link_ok(); }

Capabilities ParallelLink::capabilities() const {
    return {.switches_supply = true, .clocks_deselected = true, .top_hz = port_top_hz, .read_ahead = 1};
}

}  // namespace spi
