// The card's lines on an FTDI chip's bit-bang pins D0-D7 (on the FT232R and
// the FT-X chips TXD, RXD, RTS, CTS, DTR, DSR, DCD, RI; on the MPSSE chips
// ADBUS0-7) in synchronous bit-bang mode: each byte written sets the pins,
// and for each the chip sends one byte back, the pins as it sampled them
// just before that write. Pin states are gathered and go out a chunk at a
// time; the bit-bang master's DO reads are answered from the read-backs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "link/ftdi_bridge.h"
#include "link/spi_link.h"
#include "port/line_driver.h"

namespace spi {

// The names of D0-D7 on the FT232R and the FT-X chips.
inline constexpr std::array<const char*, 8> ftdi_pin_names{"TXD", "RXD", "RTS", "CTS", "DTR", "DSR", "DCD", "RI"};

// Bit numbers D0-D7 of the card's lines; power -1: the card is always powered.
// The default wiring is the one FT232R bit-bang programmers use: SCK on TXD,
// MISO on RXD, MOSI on RTS, CS on DTR.
struct FtdiBitBangPins {
    int sck = 0;
    int mosi = 2;
    int miso = 1;
    int cs = 4;
    int power = -1;
};

struct FtdiBitBangTarget {
    std::string serial;  // ftdi-bitbang:SERIAL, empty: the first bridge found
    FtdiBitBangPins pins;
    bool lock = true;  // take the bridge's lock file (a stand-in's card is locked by its image)
};

// What sets the chips apart here: the FIFO that holds the read-backs for the
// host, the USB packet (two bytes of each are status), the fastest rate
// libftdi takes for the bit-bang pace, and whether --port=ftdi reaches it.
struct BitBangChip {
    int type;  // libftdi's chip type
    std::size_t to_host;
    std::size_t packet;
    std::uint32_t top_rate;
    bool mpsse;
};

class FtdiBitBangLines final : public LineDriver {
public:
    static Outcome open(const FtdiBitBangTarget& target, std::unique_ptr<FtdiBitBangLines>& made);
    ~FtdiBitBangLines() override;
    FtdiBitBangLines(const FtdiBitBangLines&) = delete;
    FtdiBitBangLines& operator=(const FtdiBitBangLines&) = delete;

    void write_data(std::uint8_t lines) override;
    std::uint8_t read_status() override;
    void settle(std::span<std::uint8_t> statuses) override;
    [[nodiscard]] bool release() override;
    [[nodiscard]] bool link_ok() override;
    [[nodiscard]] std::string fault() const override { return fault_; }
    void set_clock(std::uint32_t hz) override;
    [[nodiscard]] LineTraits traits() const override;
    [[nodiscard]] std::uint64_t now_ns() override { return ftdi_calls.now_ns(ftdi_); }
    void pause_ns(std::uint64_t ns) override;

    // One line for the start of the run: on a chip with an MPSSE, that
    // --port=ftdi is faster; else empty.
    [[nodiscard]] const std::string& advice() const { return advice_; }
    // Pin states a chunk holds: as many as the FIFO to the host takes in whole packets.
    [[nodiscard]] std::size_t chunk() const { return chunk_; }

private:
    explicit FtdiBitBangLines(const FtdiBitBangTarget& target);
    Outcome connect(const FtdiBitBangTarget& target);
    Outcome enter_bit_bang();
    void queue(std::uint8_t pins);
    // Sends the queued pin states and reads their read-backs.
    void send_chunk();
    bool read_exactly(std::size_t n);
    void failed(const std::string& why);

    FtdiBridge bridge_;
    ftdi_context* ftdi_ = nullptr;  // the bridge's, once open
    const BitBangChip* chip_ = nullptr;
    std::uint8_t sck_, mosi_, miso_, cs_, power_;  // pin masks (power 0: none)
    std::uint32_t rate_ = 0;  // pin states a second, as asked of libftdi
    std::size_t chunk_ = 0;
    std::uint8_t last_ = 0;  // the pin state last queued
    std::vector<std::uint8_t> queued_;     // pin states not yet sent
    std::vector<std::uint8_t> read_back_;  // a chunk's read-backs
    // Since the last settle(): pin states sent, and for each DO read the
    // index of the pin state whose read-back answers it, and that answer.
    std::size_t sent_ = 0;
    std::vector<std::size_t> marks_;
    std::vector<std::uint8_t> answers_;
    bool healthy_ = true;
    std::string fault_;
    std::string advice_;
};

}  // namespace spi
