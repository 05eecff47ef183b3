// The card's procedural face, as the console program's known sequence uses
// it: initialisation, sector reads and writes, registers and power-down of
// the card attached with mmc_attach. What lies beneath is the Card object.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "card/card_types.h"
#include "card/registers.h"

class Card;

// The card the functions below talk to; the caller keeps it alive.
void mmc_attach(Card& card);
[[nodiscard]] Card& mmc_card();

CardResult mmc_init_spi();
void mmc_disable();
// Sets the card up for work beyond the known sequence (the browser does
// without): what kind it is, its CSD, block length, and with crc CRC
// checking on.
CardResult card_prepare(bool crc);
// For the browser, which does without: how the card is addressed, from its
// OCR when it came up by CMD1 (no_ocr when it cannot be read).
CardResult card_settle_addressing();
// The last failed transfer, in words ("data response 0D: write error").
[[nodiscard]] std::string card_failure_text();
// True when the last register came with a wrong CRC16 but a right CRC7.
[[nodiscard]] bool card_register_crc16_was_wrong();
[[nodiscard]] const InitRecord& mmc_init_record();
[[nodiscard]] InitWay card_init_way();

// Sector numbers: 0 to 0x7FFFFF on byte-addressed cards, 0 to 0xFFFFFFFE on
// block-addressed ones; others are refused before anything is clocked.
// Reads check the block's CRC16 and read a failed block again a few times.
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
// The link's monotonic clock in nanoseconds; on the simulated card its own.
[[nodiscard]] std::uint64_t card_clock_ns();
// Sectors a whole-card run moves per card command: long runs are fast, and
// Ctrl+C still takes effect within a fraction of a second on a real port; a
// link that reads ahead keeps more blocks in flight.
[[nodiscard]] std::uint32_t card_run_sectors();
