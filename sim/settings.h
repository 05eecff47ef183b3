// How the simulated card is set up: what it holds and which faults it shows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

#include "base/outcome.h"

// The card families the simulated card can be.
// mmc1: an early MMC, versions 1.x (single blocks only); mmchc: an
// MMC over 2 GB (sector addressed, its size in the EXT_CSD).
enum class CardKind : std::uint8_t { mmc, sd1, sd2, sdhc, sdxc, mmc1, mmchc };

// The adapter the simulated card is reached through: the parallel port, a
// spidev device, an FTDI MPSSE bridge, an FTDI chip in synchronous bit-bang
// or a GPIO chip (each a stand-in for the real one).
enum class SimVia : std::uint8_t { port, spidev, ftdi, gpio, ftdi_bitbang };

// A CID or CSD register as the card sends it, its CRC7 byte last.
using CardRegister = std::array<std::uint8_t, 16>;
// The SCR and the SD Status as the card sends them.
using ScrBytes = std::array<std::uint8_t, 8>;
using SsrBytes = std::array<std::uint8_t, 64>;

// A sector whose reads fail as the card's ECC could not correct it: every
// read, or only the first.
struct EccFault {
    std::uint32_t sector;
    bool once;
};
inline constexpr std::size_t max_ecc_faults = 16;

// The stand-in spidev device: the kernel's buffer and alignment, and the
// controller behind it (which mode bits it has, its clock range).
enum class SpiController : std::uint8_t { no_cs, cs_high, plain };
struct SimSpidev {
    std::size_t bufsiz = 4096;                       // spidev's bufsiz module parameter
    std::size_t align = 128;                         // ARCH_DMA_MINALIGN: each transfer rounded up to it
    std::optional<std::size_t> link_align;           // the alignment the link is told (default: align)
    SpiController controller = SpiController::no_cs;  // no-cs: SPI_NO_CS and SPI_CS_HIGH; cs-high; plain: neither
    std::uint32_t min_hz = 100'000;                  // the controller's clock range
    std::uint32_t max_hz = 50'000'000;
    std::uint32_t gpio_lines = 32;                   // lines of the GPIO chip
};

// The stand-in GPIO chip (via=gpio): its lines, those the card is wired to
// (a Raspberry Pi header's SPI0 pins by default, the supply always on
// unless a line switches it), and lines a kernel driver holds.
struct SimGpio {
    std::uint32_t lines = 54;
    std::uint32_t sck = 11, mosi = 10, miso = 9, cs = 8;
    std::optional<std::uint32_t> power;
    std::vector<std::uint32_t> busy;
};

// The stand-in FTDI bridge: which chip, which interface is opened, how the
// card is wired to its bit-bang pins, and what USB does on open and during
// the run.
enum class FtdiChip : std::uint8_t { ft232h, ft2232h, ft4232h, ft2232d, ft232r, ft230x, ft231x };
enum class UsbFault : std::uint8_t { none, denied, busy };
// Bit numbers D0-D7 of the card's lines in bit-bang; power -1: always powered.
struct SimBitBangPins {
    int sck = 0;   // TXD
    int mosi = 2;  // RTS
    int miso = 1;  // RXD
    int cs = 4;    // DTR
    int power = -1;
};
struct SimFtdi {
    std::optional<FtdiChip> chip;              // default: ft232h, or ft232r via=ftdi-bitbang
    SimBitBangPins pins;
    int interface = 1;                         // 1: A, 2: B
    std::string serial;                        // the bridge's USB serial; empty: one of its own
    UsbFault open_fault = UsbFault::none;      // no udev permission, or ftdi_sio bound
    std::optional<std::uint64_t> unplug_after;  // USB transfers before the bridge is pulled out
    std::uint64_t round_trip_ns = 1'000'000;   // a USB round trip with the bridge idle
};

struct SimSettings {
    std::string image;                        // empty: the built-in demo card
    bool empty_socket = false;                // sim:none
    bool writable = false;                    // write=on
    bool link_down = false;                   // link=down: the port cannot reach the card
    int ncr = 2;                              // bytes clocked until R1 arrives (1 to 8)
    int idle_answers = 3;                     // CMD1 answers idle this often, then ready
    bool never_ready = false;                 // idle=never
    int access_bytes = 2;                     // 0xFF bytes before a read's start token
    std::uint8_t cmd0_answer = 0x01;          // R1 sent for CMD0
    std::optional<std::uint8_t> cmd1_answer;  // R1 sent for every CMD1 instead
    std::uint8_t read_token = 0xFE;           // start token, or a data error token
    std::optional<std::uint8_t> data_response = 0x05;  // answer to a written block; none: no answer
    int busy_bytes = 8;                       // bytes DO stays low while a block is programmed
    std::optional<std::uint32_t> bad_sector;  // writes to this sector fail with a write error
    std::uint32_t bad_after = 0;              // ...after this many went in since power-up
    CardKind kind = CardKind::mmc;            // card=
    std::optional<CardRegister> cid;          // sent instead of the default CID
    std::optional<CardRegister> csd;          // sent instead of the default CSD
    std::optional<ScrBytes> scr;              // sent instead of the default SCR
    std::optional<SsrBytes> ssr;              // sent instead of the default SD Status
    double noise_rate = 0;                    // chance that a DO bit flips
    std::optional<std::uint32_t> fake_sectors;  // a counterfeit keeping only this many sectors
    bool fake_drops = false;                  // past them writes are lost (else addresses wrap)
    SimVia via = SimVia::port;                // via=
    std::optional<std::uint64_t> clock_ns;    // card time of one port access (default 1000)
    std::optional<std::uint32_t> read_time_us;   // read command (or block) to data token
    std::optional<std::uint32_t> write_time_us;  // busy after a written block or the stop token
    std::optional<std::uint32_t> init_time_ms;   // CMD1/ACMD41 answer idle at least this long
    bool timing_real = false;                 // per-block delays drawn like a real card's
    int late_bits = 0;                        // answers start this many bits after a byte boundary
    double di_noise_rate = 0;                 // chance that a DI bit flips
    bool regcrc_bad = false;                  // register blocks carry a wrong CRC16 while CRC is off
    std::uint32_t block_len = 512;            // block length until CMD16(512) (byte-addressed cards)
    bool stuck = false;                       // starts selected, mid multi-block write
    bool zero_before_token = false;           // 0x00 bytes before a read's start token
    bool cmd0_answers_ready = false;          // CMD0 in SPI mode answered 0x00 (the card still goes idle)
    bool ocr_r1_idle = false;                 // CMD58's R1 keeps the idle bit once the card is ready
    bool cmd1_on_sdhc = false;                // a block-addressed SD card comes up by CMD1 too
    int late_response_bits = 0;               // tokens and data responses this many bits behind the R1
    bool deferred_write_error = false;        // a run's failed block reported by the next block's response
    bool last_block_hang = false;             // a CMD18 run that reaches the last sector hangs the card
    std::optional<std::uint8_t> erased;       // what erase leaves, whatever the SCR says
    std::optional<std::uint32_t> erase_unit;  // sectors the card erases at a time (whole units only)
    std::array<EccFault, max_ecc_faults> ecc{};  // ecc=SECTOR[:once], one setting per sector
    std::size_t ecc_count = 0;
    SimSpidev spidev;                         // via=spidev: the device and its controller
    SimFtdi ftdi;                             // via=ftdi: the chip and its USB
    SimGpio gpio;                             // via=gpio: the chip and the card's lines on it

    // Card time of one port access in nanoseconds.
    [[nodiscard]] std::uint64_t access_ns() const { return clock_ns.value_or(1000); }
};

// Parses what follows "sim" in --port=sim[:IMAGE][,SETTING=VALUE...].
Outcome sim_parse_settings(std::string_view text, SimSettings& settings);

// One line per setting, for --help.
extern const char* const sim_settings_help;
