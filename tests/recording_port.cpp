#include "tests/recording_port.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "card/card.h"
#include "card/mmc_spi.h"
#include "link/parallel_link.h"
#include "port/port.h"
#include "port/wiring.h"
#include "sim/sim_card.h"

namespace {

std::vector<Access> log;
std::vector<std::uint8_t> script;
std::uint8_t after = 0xFF;
bool link_usable = true;
std::size_t reads = 0;
std::unique_ptr<SimCard> sim;
// The scripted card's clock: a microsecond an access, and every pause.
std::uint64_t script_ns = 0;

std::uint64_t now_ns() { return sim ? sim->now_ns() : script_ns; }
void pause_ns(std::uint64_t ns) {
    if (sim) sim->pass(ns);
    else script_ns += ns;
}

void record(char kind, std::uint8_t value) {
    if (!sim) script_ns += 1000;
    log.push_back({kind, value, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(now_ns()))});
}

void write_data(std::uint8_t value) {
    if (sim) sim->write_lines(value);
    record('W', value);
}

// The script gives the byte DO carries; the port shows DO inverted on bit 7.
std::uint8_t scripted_status() {
    const std::size_t index = reads / 8;
    const std::uint8_t byte = index < script.size() ? script[index] : after;
    const bool do_high = (byte << (reads % 8)) & 0x80;
    ++reads;
    return do_high ? 0x00 : wiring::do_status;
}

std::uint8_t read_status() {
    const std::uint8_t value = sim ? sim->read_status() : scripted_status();
    record('R', value);
    return value;
}

std::string refusal;
bool release_fails = false;
bool io_privilege = false;

Outcome acquire() { return refusal.empty() ? Outcome::ok() : Outcome::failed(refusal); }
bool release() { return !release_fails; }
bool link_ok() { return link_usable; }

// The card the tests' procedural calls reach, over the recording port.
spi::ParallelLink parallel_link;
Card card(parallel_link);

void select() {
    log.clear();
    reads = 0;
    port_select({.ops = {write_data, read_status, port_generic_movers()},
                 .acquire = acquire,
                 .release = release,
                 .link_ok = link_ok,
                 .needs_io_privilege = io_privilege,
                 .now_ns = now_ns,
                 .pause_ns = pause_ns});
}

}  // namespace

void record_scripted(std::vector<std::uint8_t> bytes, std::uint8_t after_script, bool link_ok_value) {
    script = std::move(bytes);
    after = after_script;
    link_usable = link_ok_value;
    sim.reset();
    select();
}

void record_sim(const SimSettings& settings) {
    sim.reset();
    if (!SimCard::open(settings, sim)) ADD_FAILURE() << "cannot open the simulated card";
    link_usable = true;
    select();
}

SimCard& recorded_sim_card() { return *sim; }

Card& recorded_card() { return card; }

void record_access_rules(std::string refuse_why, bool fail_release, bool needs_driver) {
    refusal = std::move(refuse_why);
    release_fails = fail_release;
    if (io_privilege != needs_driver) {
        io_privilege = needs_driver;
        select();
    }
}

spi::ParallelLink& recording_link() { return parallel_link; }

const std::vector<Access>& recorded() { return log; }
void clear_recorded() { log.clear(); }

std::vector<std::uint8_t> written() {
    std::vector<std::uint8_t> values;
    for (const auto& a : log)
        if (a.kind == 'W') values.push_back(a.value);
    return values;
}

std::vector<std::uint8_t> di_bytes() {
    std::vector<std::uint8_t> bytes;
    std::uint8_t before = 0, shift = 0;
    int bits = 0;
    for (const auto& a : log) {
        if (a.kind != 'W') continue;
        const bool rising = !(before & wiring::sck) && (a.value & wiring::sck);
        before = a.value;
        if (!rising || (a.value & wiring::cs)) continue;
        shift = static_cast<std::uint8_t>(shift << 1 | ((a.value & wiring::di) ? 1 : 0));
        if (++bits == 8) {
            bytes.push_back(shift);
            bits = 0;
        }
    }
    return bytes;
}

std::size_t bytes_clocked_in() {
    std::size_t count = 0;
    for (const auto& a : log) count += a.kind == 'R';
    return count / 8;
}
