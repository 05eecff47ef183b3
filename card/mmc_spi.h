// SPI-mode MMC/SD protocol: command frames, power-up and initialisation of
// MMC, SD version 1 and version 2 cards (SDSC, SDHC, SDXC), 512-byte sector
// reads and writes, single and multi-block, the card's registers, power-down.
#pragma once

#include <cstdint>
#include <span>

#include "card/registers.h"

inline constexpr std::size_t sector_size = 512;

// Card result codes: 0 is success.
enum class [[nodiscard]] CardResult : std::uint8_t {
    ok = 0,
    no_link = 1,       // the line driver failed to start
    cmd0_failed = 2,   // CMD0 not answered with idle
    cmd1_failed = 3,   // neither CMD1 nor the SD way brought the card up
    rejected = 4,      // read or write command not answered with ready
    no_data = 5,       // no data start token (read) or no accepting response (write)
    still_busy = 6,    // the card still held DO low after a write's busy bound
    bad_crc = 7,       // a data block whose CRC16 did not match
    out_of_range = 8,  // past the card's end: refused before anything is clocked, or the
                       // card answered every attempt with an address or out-of-range error
};

// The browser's "no sector" mark; never a real sector.
inline constexpr std::uint32_t no_sector = 0xFFFFFFFF;
// Largest sector of a byte-addressed card: its byte address fits 32 bits.
inline constexpr std::uint32_t last_sector = 0x7FFFFF;
// Largest sector of a block-addressed card.
inline constexpr std::uint32_t last_block_sector = 0xFFFFFFFE;

// CMD1 tries while the card stays idle; about 1.4 s on a real port. An SD
// card that waits for CMD8 and HCS stays idle all that time before the SD way starts.
inline constexpr int cmd1_max_attempts = 8192;
// CMD55 + ACMD41 pairs while the card stays idle; over a second on a real
// port at the shortest answer, the SD initialisation time-out.
inline constexpr int acmd41_max_attempts = 4096;
// Extra reads of a block that came wrong (R1, token or CRC16).
inline constexpr int read_retries = 3;

// Bytes clocked in while a card is busy writing; over half a second on a
// real port, past any card's write time-out.
inline constexpr int write_busy_max_bytes = 16384;

// How the card came up: by CMD1 (an MMC or an SD card that takes CMD1, told
// apart by card_identify), or the SD way with CMD8 and ACMD41.
enum class InitWay : std::uint8_t { none, cmd1, mmc, sd_v1, sd_v2 };

// The step of the SD way at which the card stopped.
enum class InitStep : std::uint8_t { none, cmd0, cmd8, cmd55, acmd41, cmd58 };

// What the card answered during the last initialisation, for a report when
// it did not come up.
struct InitRecord {
    std::uint8_t cmd0_answer = 0xFF;  // R1 to the first CMD0
    std::uint8_t cmd1_answer = 0xFF;  // last R1 to CMD1
    int cmd1_tries = 0;
    InitWay sd_way = InitWay::none;   // the SD way tried after CMD1, if any
    InitStep failed_step = InitStep::none;
    std::uint8_t answer = 0xFF;       // R1 at the failed step
    std::uint32_t r7 = 0;             // CMD8's echo, when it was wrong
    int acmd41_tries = 0;
};

CardResult mmc_init_spi();
void mmc_disable();
[[nodiscard]] const InitRecord& mmc_init_record();
[[nodiscard]] InitWay card_init_way();

// Sector numbers: 0 to 0x7FFFFF on byte-addressed cards, 0 to 0xFFFFFFFE on
// block-addressed ones; others are refused before anything is clocked.
// Reads check the block's CRC16 and read a failed block again up to read_retries times.
CardResult spi_read(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf);
CardResult spi_write(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf);

// buf.size() / sector_size consecutive sectors from first. Read: CMD18 ...
// CMD12, each block checked and re-read as spi_read does. Write: CMD25, a
// 0xFC token per block, the 0xFD stop token. done: sectors transferred
// correctly before a failure (all of them on success).
CardResult spi_read_blocks(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done);
CardResult spi_write_blocks(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done);

// Blocks read again since mmc_init_spi (each extra attempt counts one).
[[nodiscard]] std::uint32_t spi_rereads();

// Tells an MMC from an SD card that came up by CMD1 (bringing it up again
// the SD way); nothing to do for the others.
CardResult card_identify();
[[nodiscard]] RegisterLayout card_register_layout();
CardResult card_read_ocr(std::uint32_t& ocr);
CardResult card_read_cid(CardRegister& cid);
CardResult card_read_csd(CardRegister& csd);
// The kind, given the card's CSD (SDXC is told from SDHC by its size).
[[nodiscard]] CardType card_type(const CsdInfo& csd);

// The capacity in sectors from the CSD, read at the first call after
// initialisation; 0 when unknown.
[[nodiscard]] std::uint64_t card_capacity_sectors();
// The link's monotonic clock in nanoseconds; on the simulated card its own clock.
[[nodiscard]] std::uint64_t card_clock_ns();
// True when the card takes sector numbers as addresses (SDHC, SDXC).
[[nodiscard]] bool card_block_addressed();
