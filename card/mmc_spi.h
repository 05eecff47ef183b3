// SPI-mode MMC/SD protocol: command frames, power-up and initialisation,
// 512-byte sector reads, power-down.
#pragma once

#include <cstdint>
#include <span>

inline constexpr std::size_t sector_size = 512;

// Card result codes: 0 is success.
enum class [[nodiscard]] CardResult : std::uint8_t {
    ok = 0,
    no_link = 1,       // the line driver failed to start
    cmd0_failed = 2,   // CMD0 not answered with idle
    cmd1_failed = 3,   // CMD1 answered with an error, no answer, or idle for too long
    rejected = 4,      // read or write command not answered with ready
    no_data = 5,       // no data start token (read) or no accepting response (write)
    still_busy = 6,    // the card still held DO low after a write's busy bound
};

// Largest sector whose byte address fits the 32-bit command argument.
inline constexpr std::int32_t last_sector = 0x7FFFFF;

// CMD1 tries while the card stays idle; about a second on a real port.
inline constexpr int cmd1_max_attempts = 8192;

// Bytes clocked in while a card is busy writing; over half a second on a
// real port, past any card's write time-out.
inline constexpr int write_busy_max_bytes = 16384;

CardResult mmc_init_spi();
void mmc_disable();
CardResult spi_read(std::int32_t sector, std::span<std::uint8_t, sector_size> buf);
CardResult spi_write(std::int32_t sector, std::span<const std::uint8_t, sector_size> buf);
