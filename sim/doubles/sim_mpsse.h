// The simulated card behind an FTDI bridge: one of the chips with an MPSSE
// (FT232H, FT2232H, FT4232H, FT2232D) or a USB serial chip without one
// (FT232R, FT230X, FT231X). Every chip has synchronous bit-bang mode
// (sim_syncbb.h). The MPSSE is built from FTDI's command set: pins with their directions (an
// input drives nothing), the clock divisor on the chip's base clock (12 MHz
// on the H chips until divide-by-5 is turned off), bytes out and in, send
// immediate, and a bad-command answer (FA and the byte) for every command
// the chip lacks. Reads come back as USB packets bring them: nothing on the
// first poll after a round trip, then at most the chip's FIFO in whole
// packets per read, the card clocked a byte at a time on the card's clock.
// A command queued while the bridge still has answers to deliver hides its
// round trip behind them.
//
// A chip of two MPSSE interfaces (FT2232H, FT4232H, FT2232D) has a card of
// its own on each interface that has one, each on its own clock; the
// interfaces share the chip's one USB link, whose bulk packets a second (13
// of 512 bytes each 125 us microframe at high speed, 19 of 64 each 1 ms
// frame at full speed) are shared out evenly between the interfaces that
// have entered MPSSE mode: a data byte takes no less than its share of the
// link, the MPSSE waiting meanwhile as it does on a full FIFO.
//
// The libftdi table reaches the bridges plugged into the stand-in USB, found
// as libftdi finds them (vendor, product, serial), one open context per
// interface at a time; its clock is the clock of the context's interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "sim/doubles/sim_syncbb.h"
#include "sim/settings.h"

class SimCard;
class SimMpsseBridge;

// The serial number of the bridge sim_mpsse_install plugs in.
inline constexpr const char* sim_ftdi_serial = "VT000001";

// What sets the chips apart: USB ids, interfaces, USB packets (high speed
// 512 bytes, full speed 64, two of them status, so many a second), the FIFO
// towards the host and the one from it, the H chips' extra commands, the
// MPSSE, the fastest baud rate.
struct SimFtdiChip {
    int type;
    int product;
    int interfaces;
    std::size_t packet;
    std::uint32_t packets_per_second;
    std::size_t to_host;
    std::size_t from_host;
    bool h_commands;
    bool mpsse;
    int top_baud;
};

// One MPSSE interface of a bridge and the card wired to it.
class SimMpsse {
public:
    ~SimMpsse();
    SimMpsse(const SimMpsse&) = delete;
    SimMpsse& operator=(const SimMpsse&) = delete;

    [[nodiscard]] bool is_open() const { return open_; }
    [[nodiscard]] bool bit_banging() const { return bit_banging_; }
    // libftdi's calls on this interface, with libftdi's results.
    int open();
    int close();
    int set_latency_timer(unsigned char ms);
    int set_bitmode(unsigned char pins, unsigned char mode);
    int set_baudrate(int baudrate);
    int purge();
    int write(const unsigned char* data, int size);
    int read(unsigned char* data, int size);
    [[nodiscard]] const char* error() const { return error_; }
    // The card's clock, which every wait of the host moves on.
    [[nodiscard]] std::uint64_t now_ns() const;
    void pass(std::uint64_t ns);

    // The command stream as the interface took it, one command a line
    // ("pins 0a 0b", "divisor 74", "out 7", "in 1", "flush", "bad 8a").
    [[nodiscard]] const std::vector<std::string>& commands() const { return commands_; }
    void clear_commands() { commands_.clear(); }
    // USB round trips the host waited for: a wait partly hidden behind the
    // bridge's work counts as that part of one.
    [[nodiscard]] double round_trips() const { return round_trips_ + bit_bang_->round_trips(); }
    // Pin states taken in bit-bang mode.
    [[nodiscard]] std::uint64_t pin_states() const { return bit_bang_->pin_states(); }

private:
    friend class SimMpsseBridge;
    SimMpsse(SimMpsseBridge& bridge, int interface);
    [[nodiscard]] bool driven(std::uint8_t pin) const { return (directions_ & pin) != 0; }
    [[nodiscard]] bool level(std::uint8_t pin) const { return !driven(pin) || (pins_ & pin); }
    [[nodiscard]] std::uint64_t sck_hz() const { return base_hz_ / 2 / (1 + divisor_); }
    [[nodiscard]] std::uint64_t byte_ns() const;
    void set_pins(std::uint8_t value, std::uint8_t direction);
    void clock_bytes(const unsigned char* out, std::size_t length, bool keep);
    void bad_command(std::uint8_t opcode);
    std::size_t run_command(const unsigned char* at, std::size_t left);
    bool gone(const char* error);
    void charge_round_trip(std::size_t pending);
    [[nodiscard]] bool stalled() const;

    SimMpsseBridge& bridge_;
    int interface_;
    // The card (an empty socket until one is wired) and the bit-bang mode on its pins.
    void hold(std::unique_ptr<SimCard> card, const SimSettings& settings);
    std::unique_ptr<SimCard> card_;
    std::unique_ptr<SimSyncBitBang> bit_bang_;
    bool has_card_ = false;
    int power_pin_ = -1;
    bool open_ = false;
    bool mpsse_ = false;
    bool bit_banging_ = false;
    std::uint64_t transfers_ = 0;
    const char* error_ = "";
    std::uint8_t pins_ = 0;
    std::uint8_t directions_ = 0;
    std::uint64_t base_hz_ = 12'000'000;  // until divide-by-5 goes off
    std::uint32_t divisor_ = 0;
    std::uint64_t latency_ns_ = 16'000'000;
    std::deque<std::uint8_t> answers_;  // bytes for the host, in order
    std::size_t flushed_ = 0;           // of them, how many a send immediate has released
    std::uint64_t trip_ns_ = 0;         // the wait the next read pays before anything comes
    std::size_t stalled_bytes_ = 0;     // written while the FIFO to the host was full
    std::vector<std::string> commands_;
    double round_trips_ = 0;
};

// One chip on the stand-in USB: its ids, serial, USB link and interfaces.
class SimMpsseBridge {
public:
    // The chip of settings with its card on the interface settings name (on
    // A when the chip lacks that one, which the host then opens in vain),
    // its supply on power_pin (4 to 7), else always on; the chip's other
    // interfaces have empty sockets until attach().
    static Outcome make(const SimSettings& settings, std::string serial, int power_pin,
                        std::unique_ptr<SimMpsseBridge>& made);
    // Wires a card to another of the chip's interfaces, which settings name;
    // refused for another chip, an interface the chip lacks or one that has a card.
    Outcome attach(const SimSettings& settings, int power_pin);
    ~SimMpsseBridge();
    SimMpsseBridge(const SimMpsseBridge&) = delete;
    SimMpsseBridge& operator=(const SimMpsseBridge&) = delete;

    [[nodiscard]] int product() const { return chip_.product; }
    [[nodiscard]] int interfaces() const { return chip_.interfaces; }
    [[nodiscard]] int chip_type() const { return chip_.type; }
    [[nodiscard]] int top_baud() const { return chip_.top_baud; }
    [[nodiscard]] const std::string& serial() const { return serial_; }
    [[nodiscard]] bool matches(int vendor, int product, const char* serial) const;
    // Interface 1 (A) to interfaces(); the one make() wired a card to.
    [[nodiscard]] SimMpsse& mpsse(int interface) { return *mpsse_[static_cast<std::size_t>(interface - 1)]; }
    [[nodiscard]] SimMpsse& first() { return mpsse(first_interface_); }
    [[nodiscard]] bool is_open() const;
    // libftdi's open of an interface: refused as a claim fails for an
    // interface the chip lacks or one already open.
    int open(int interface, const char*& error);

private:
    friend class SimMpsse;
    SimMpsseBridge(const SimSettings& settings, std::string serial);
    Outcome wire(const SimSettings& settings, int power_pin);
    // The least time a data byte takes on the USB: the link's bulk payload
    // shared between the interfaces in MPSSE mode.
    [[nodiscard]] std::uint64_t usb_byte_ns() const;

    SimFtdi usb_;
    SimFtdiChip chip_;
    std::string serial_;
    int first_interface_;
    std::vector<std::unique_ptr<SimMpsse>> mpsse_;
    std::atomic<bool> unplugged_{false};
    std::atomic<unsigned> streaming_{0};  // a bit for each interface that has entered MPSSE mode
};

// Plugs a bridge into the stand-in USB, the libftdi table installed with
// the first; on failure plugs nothing. The bridge lives until removed.
Outcome sim_mpsse_plug(const SimSettings& settings, const std::string& serial, int power_pin,
                       SimMpsseBridge*& plugged);
// A card beside the others: on the interface settings name of the bridge
// whose serial they give (plugged in with the first such card), else on a
// bridge of its own with the next free serial; serial is the bridge's.
// One thread at a time, as a station opens its sockets' links.
Outcome sim_mpsse_add(const SimSettings& settings, std::string& serial);
// Why two cards cannot both be wired as their settings ask (the same
// interface of one bridge, or one bridge given as two chips); ok when they can.
Outcome sim_mpsse_apart(const SimSettings& a, const SimSettings& b);
// Unplugs every bridge and puts the real table back.
void sim_mpsse_remove();

// One bridge, serial sim_ftdi_serial unless settings give one, in place of
// any plugged before.
Outcome sim_mpsse_install(const SimSettings& settings, int power_pin = -1);
// The first plugged bridge's card interface: its command stream and round trips.
[[nodiscard]] const std::vector<std::string>& sim_mpsse_commands();
void sim_mpsse_clear_commands();
[[nodiscard]] double sim_mpsse_round_trips();
[[nodiscard]] std::uint64_t sim_mpsse_pin_states();
