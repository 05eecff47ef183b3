// What the card layer reports: result codes, how the card came up, and the
// bounds of its sector numbers.
#pragma once

#include <cstddef>
#include <cstdint>

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
    unclear = 9,       // the card's OCR and CSD disagree on how its sectors are addressed
    no_ocr = 10,       // the card's OCR could not be read: how it is addressed is unknown
};

// Where a transfer failed and what the card sent there, for a report in words.
enum class FailStep : std::uint8_t { none, command, token, data_response, busy, block_crc };

struct CardFailure {
    FailStep step = FailStep::none;
    std::uint8_t index = 0;        // the command
    std::uint8_t byte = 0xFF;      // its R1, the token or the data response (0xFF: none came)
    bool status_read = false;      // CMD13 was asked why, after a refused read or write
    std::uint8_t status = 0;       // the second byte of its R2
};

// The browser's "no sector" mark; never a real sector.
inline constexpr std::uint32_t no_sector = 0xFFFFFFFF;
// Largest sector of a byte-addressed card: its byte address fits 32 bits.
inline constexpr std::uint32_t last_sector = 0x7FFFFF;
// Largest sector of a block-addressed card.
inline constexpr std::uint32_t last_block_sector = 0xFFFFFFFE;

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
