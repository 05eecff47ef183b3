#include "card/mmc_spi.h"

#include "card/mmc_if.h"
#include "card/pause.h"

namespace {

namespace cmd {
constexpr std::uint8_t go_idle = 0x40;            // CMD0
constexpr std::uint8_t send_op_cond = 0x41;       // CMD1
constexpr std::uint8_t read_single_block = 0x51;  // CMD17
constexpr std::uint8_t write_single_block = 0x58; // CMD24
}  // namespace cmd

constexpr std::uint8_t frame_crc = 0x95;
constexpr std::uint8_t gap_byte = 0xFF;
constexpr std::uint8_t r1_ready = 0x00;
constexpr std::uint8_t r1_idle = 0x01;
constexpr std::uint8_t no_response = 0xFF;
constexpr std::uint8_t data_start_token = 0xFE;
constexpr int response_wait = 400;
constexpr int wake_up_bytes = 10;
constexpr unsigned power_up_ms = 200;
constexpr int crc_bytes = 2;
constexpr std::uint8_t data_response_mask = 0x1F;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t not_busy = 0xFF;

std::uint8_t get_response(int count) {
    for (;;) {
        const std::uint8_t byte = mmc_serial_in();
        if (byte != no_response || --count == 0) return byte;
    }
}

std::uint8_t mmc_cmd(std::uint8_t command, std::uint32_t arg) {
    mmc_serial_out(gap_byte);
    mmc_serial_out(command);
    for (int shift = 24; shift >= 0; shift -= 8) mmc_serial_out(static_cast<std::uint8_t>(arg >> shift));
    mmc_serial_out(frame_crc);
    return get_response(response_wait);
}

bool in_range(std::int32_t sector) { return sector >= 0 && sector <= last_sector; }

std::uint32_t byte_address(std::int32_t sector) { return static_cast<std::uint32_t>(sector) << 9; }

// The card holds DO low while it programs the block.
CardResult wait_while_busy() {
    for (int i = 0; i < write_busy_max_bytes; ++i) {
        if (mmc_serial_in() == not_busy) return CardResult::ok;
    }
    return CardResult::still_busy;
}

// Repeats CMD1 while the card is idle, up to the bound.
CardResult wait_until_ready() {
    for (int attempt = 0; attempt < cmd1_max_attempts; ++attempt) {
        const std::uint8_t r1 = mmc_cmd(cmd::send_op_cond, 0);
        if (r1 == r1_ready) return CardResult::ok;
        if (r1 != r1_idle) return CardResult::cmd1_failed;
    }
    return CardResult::cmd1_failed;
}

}  // namespace

CardResult mmc_init_spi() {
    if (!mmc_hw_start()) return CardResult::no_link;
    mmc_hw_power(1);
    mmc_pause_ms(power_up_ms);
    mmc_hw_cs(1);
    for (int i = 0; i < wake_up_bytes; ++i) mmc_serial_out(gap_byte);
    mmc_hw_cs(0);
    mmc_serial_out(gap_byte);
    if (mmc_cmd(cmd::go_idle, 0) != r1_idle) return CardResult::cmd0_failed;
    return wait_until_ready();
}

void mmc_disable() { mmc_hw_stop(); }

CardResult spi_read(std::int32_t sector, std::span<std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::rejected;
    if (mmc_cmd(cmd::read_single_block, byte_address(sector)) != r1_ready) return CardResult::rejected;
    if (get_response(response_wait) != data_start_token) return CardResult::no_data;
    for (auto& byte : buf) byte = mmc_serial_in();
    for (int i = 0; i < crc_bytes; ++i) (void)mmc_serial_in();
    return CardResult::ok;
}

CardResult spi_write(std::int32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    if (!in_range(sector)) return CardResult::rejected;
    if (mmc_cmd(cmd::write_single_block, byte_address(sector)) != r1_ready) return CardResult::rejected;
    mmc_serial_out(gap_byte);
    mmc_serial_out(data_start_token);
    for (std::uint8_t byte : buf) mmc_serial_out(byte);
    for (int i = 0; i < crc_bytes; ++i) mmc_serial_out(0x00);
    if ((get_response(response_wait) & data_response_mask) != data_accepted) return CardResult::no_data;
    return wait_while_busy();
}
