// The card's wire: supply, chip select and clock edges from the data
// register; a bit in on DI at each rising edge, a bit out on DO at each
// falling edge; whole bytes gathered into command frames for the card.
#include <array>
#include <cmath>

#include "port/wiring.h"
#include "sim/card_logic.h"
#include "sim/card_model.h"
#include "sim/out_queue.h"

namespace {

constexpr std::uint32_t wake_up_clocks = 74;
constexpr std::uint64_t noise_seed = 0x5EED0F7A17C0FFEEull;

struct Wire {
    std::uint8_t lines = 0;
    bool powered = false;
    std::uint32_t wake_clocks = 0;
    std::uint8_t rx = 0;
    int rx_bits = 0;
    std::uint8_t tx = 0xFF;
    bool do_high = true;
    std::array<std::uint8_t, 6> frame{};
    std::size_t frame_len = 0;
    OutQueue out;
};

Wire wire;

// Line noise: each DO bit flips when a draw falls under the threshold.
std::uint64_t noise_threshold = 0;
std::uint64_t noise_state = noise_seed;

std::uint64_t noise_draw() {
    std::uint64_t z = (noise_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool noise_flips() { return noise_threshold != 0 && noise_draw() < noise_threshold; }

void power_lost() {
    wire = Wire{};
    card_power_lost();
}

// A whole byte arrived on DI: part of a command frame, block data, a token
// or filler.
void byte_received(std::uint8_t byte) {
    if (wire.frame_len > 0) {
        wire.frame[wire.frame_len++] = byte;
        if (wire.frame_len < wire.frame.size()) return;
        wire.frame_len = 0;
        // Until it has had its wake-up clocks the card takes no command.
        if (wire.wake_clocks >= wake_up_clocks) card_frame(wire.frame);
        return;
    }
    if (!card_takes_block_data() && (byte & 0xC0) == 0x40) {
        wire.frame[0] = byte;
        wire.frame_len = 1;
        return;
    }
    card_byte(byte);
}

// Falling edge: the card puts its next bit on DO.
void clock_fell() {
    if (wire.rx_bits == 0) {
        if (wire.out.empty()) card_out_empty();
        wire.tx = wire.out.next();
    }
    wire.do_high = ((wire.tx << wire.rx_bits) & 0x80) != 0;
    if (noise_flips()) wire.do_high = !wire.do_high;
}

// Rising edge: the card takes the bit on DI.
void clock_rose(bool di) {
    wire.rx = static_cast<std::uint8_t>(wire.rx << 1 | di);
    if (++wire.rx_bits == 8) {
        wire.rx_bits = 0;
        byte_received(wire.rx);
    }
}

void deselected(bool rising) {
    if (rising && wire.wake_clocks < wake_up_clocks) ++wire.wake_clocks;
    wire.rx_bits = 0;
    wire.do_high = true;
}

}  // namespace

void framing_configure(double noise_rate) {
    wire = Wire{};
    noise_state = noise_seed;
    noise_threshold = noise_rate <= 0 ? 0
                      : noise_rate >= 1 ? ~std::uint64_t{0}
                                        : static_cast<std::uint64_t>(std::ldexp(noise_rate, 64));
}

void out_fill(std::uint8_t byte, std::uint32_t count) { wire.out.fill(byte, count); }
void out_bytes(std::span<const std::uint8_t> bytes) { wire.out.bytes(bytes); }
void out_clear() { wire.out.clear(); }
std::uint8_t out_take() { return wire.out.next(); }

void sim_card_write(std::uint8_t lines) {
    const std::uint8_t before = wire.lines;
    if ((lines & wiring::supply) != wiring::supply) {
        if (wire.powered) power_lost();
        wire.lines = lines;
        return;
    }
    wire.lines = lines;
    wire.powered = true;
    const bool rising = (lines & ~before) & wiring::sck;
    const bool falling = (before & ~lines) & wiring::sck;
    if (lines & wiring::cs) return deselected(rising);
    if (falling) clock_fell();
    if (rising) clock_rose(lines & wiring::di);
}

std::uint8_t sim_card_read() {
    const bool do_low = wire.powered && !(wire.lines & wiring::cs) && !wire.do_high;
    return do_low ? (sim_status_idle | wiring::do_status) : sim_status_idle;
}
