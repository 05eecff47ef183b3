#include "card/card_controls.h"

#include <algorithm>
#include <limits>

#include "card/crc.h"
#include "card/mmc_if.h"
#include "card/spi_link.h"

using namespace spi_link;

namespace {

namespace control_cmd {
inline constexpr std::uint8_t switch_func = 6;
inline constexpr std::uint8_t send_status = 13;
inline constexpr std::uint8_t set_blocklen = 16;
inline constexpr std::uint8_t program_csd = 27;
inline constexpr std::uint8_t sd_erase_first = 32;
inline constexpr std::uint8_t sd_erase_last = 33;
inline constexpr std::uint8_t mmc_erase_first = 35;
inline constexpr std::uint8_t mmc_erase_last = 36;
inline constexpr std::uint8_t erase = 38;
inline constexpr std::uint8_t lock_unlock = 42;
inline constexpr std::uint8_t sd_status = 13;  // ACMD13
inline constexpr std::uint8_t send_scr = 51;   // ACMD51
}  // namespace control_cmd

// CMD6 check mode (bit 31 clear): group 1 asks for function 1 (high
// speed), every other group keeps its current function (0xF).
constexpr std::uint32_t switch_check_high_speed = 0x00FFFFF1;
constexpr std::uint8_t data_response_mask = 0x1F;
constexpr std::uint8_t data_accepted = 0x05;
// A register's data token may come a while after R1, as a sector's does.
constexpr int register_token_wait = response_wait;
constexpr int program_busy_max_bytes = 16384;

CardResult ready(std::uint8_t r1) { return r1 == r1_ready ? CardResult::ok : CardResult::rejected; }

CardResult app_command(std::uint8_t index, std::uint32_t arg) {
    if (const CardResult app = ready(command(cmd::app_cmd, 0)); app != CardResult::ok) return app;
    return ready(command(index, arg));
}

int busy_bytes(std::uint64_t ms) {
    return static_cast<int>(std::min<std::uint64_t>(ms * busy_bytes_per_ms, std::numeric_limits<int>::max()));
}

// A data block to the card: start token, the bytes, their CRC16; then the
// card's data response and its busy time.
CardResult send_data(std::span<const std::uint8_t> data, int busy_max_bytes) {
    mmc_serial_out(gap_byte);
    mmc_serial_out(data_start_token);
    for (std::uint8_t byte : data) mmc_serial_out(byte);
    const std::uint16_t crc = crc::crc16(data);
    mmc_serial_out(static_cast<std::uint8_t>(crc >> 8));
    mmc_serial_out(static_cast<std::uint8_t>(crc));
    if ((get_response(response_wait) & data_response_mask) != data_accepted) return CardResult::no_data;
    return wait_while_busy(busy_max_bytes, mmc_serial_in);
}

std::uint32_t address_of(std::uint32_t sector) {
    return card_block_addressed() ? sector : sector * static_cast<std::uint32_t>(sector_size);
}

}  // namespace

CardResult card_read_status(std::uint8_t& status) {
    if (const CardResult r = ready(command(control_cmd::send_status, 0)); r != CardResult::ok) return r;
    status = mmc_serial_in();
    return CardResult::ok;
}

CardResult card_read_scr(ScrRegister& scr) {
    if (const CardResult r = app_command(control_cmd::send_scr, 0); r != CardResult::ok) return r;
    return receive_block(scr, register_token_wait, mmc_serial_in);
}

// ACMD13 answers with an R2: R1, then a status byte, then the block.
CardResult card_read_sd_status(SdStatusBlock& status) {
    if (const CardResult r = app_command(control_cmd::sd_status, 0); r != CardResult::ok) return r;
    (void)mmc_serial_in();
    return receive_block(status, register_token_wait, mmc_serial_in);
}

CardResult card_switch_check(SwitchStatusBlock& status) {
    if (const CardResult r = ready(command(control_cmd::switch_func, switch_check_high_speed)); r != CardResult::ok)
        return r;
    return receive_block(status, register_token_wait, mmc_serial_in);
}

CardResult card_program_csd(const CardRegister& csd) {
    if (const CardResult r = ready(command(control_cmd::program_csd, 0)); r != CardResult::ok) return r;
    return send_data(csd, program_busy_max_bytes);
}

CardResult card_lock_unlock(std::span<const std::uint8_t> block, std::uint64_t busy_ms, std::uint8_t& status) {
    if (const CardResult r = ready(command(control_cmd::set_blocklen, static_cast<std::uint32_t>(block.size())));
        r != CardResult::ok)
        return r;
    CardResult sent = ready(command(control_cmd::lock_unlock, 0));
    if (sent == CardResult::ok) sent = send_data(block, busy_bytes(busy_ms));
    const CardResult back = ready(command(control_cmd::set_blocklen, sector_size));
    if (sent != CardResult::ok) return sent;
    if (back != CardResult::ok) return back;
    return card_read_status(status);
}

CardResult card_erase(std::uint32_t first, std::uint32_t last, std::uint64_t busy_ms) {
    const bool mmc = card_register_layout() == RegisterLayout::mmc;
    const std::uint8_t from = mmc ? control_cmd::mmc_erase_first : control_cmd::sd_erase_first;
    const std::uint8_t to = mmc ? control_cmd::mmc_erase_last : control_cmd::sd_erase_last;
    if (const CardResult r = ready(command(from, address_of(first))); r != CardResult::ok) return r;
    if (const CardResult r = ready(command(to, address_of(last))); r != CardResult::ok) return r;
    if (const CardResult r = ready(command(control_cmd::erase, 0)); r != CardResult::ok) return r;
    return wait_while_busy(busy_bytes(busy_ms), mmc_serial_in);
}
