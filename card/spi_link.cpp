#include "card/spi_link.h"

#include <array>

#include "card/crc.h"
#include "card/mmc_if.h"

namespace spi_link {

namespace {
constexpr std::uint8_t no_response = 0xFF;
constexpr std::uint8_t not_busy = 0xFF;
constexpr std::uint8_t command_bit = 0x40;
constexpr std::uint8_t r1_address_error = 0x20;
constexpr std::uint8_t r1_parameter_error = 0x40;
constexpr std::uint8_t error_token_mask = 0xF0;  // a data error token has its top four bits clear
constexpr std::uint8_t error_token_out_of_range = 0x08;
}  // namespace

CardResult transfer_answer(std::uint8_t r1) {
    if (r1 == r1_ready) return CardResult::ok;
    if (is_r1(r1) && (r1 & (r1_address_error | r1_parameter_error))) return CardResult::out_of_range;
    return CardResult::rejected;
}

std::uint8_t get_response(int count, ByteIn in) {
    for (;;) {
        const std::uint8_t byte = in();
        if (byte != no_response || --count == 0) return byte;
    }
}

std::uint8_t get_response(int count) { return get_response(count, mmc_serial_in); }

std::uint8_t frame_crc(std::uint8_t index, std::uint32_t arg) {
    const std::array<std::uint8_t, 5> head{static_cast<std::uint8_t>(command_bit | index),
                                           static_cast<std::uint8_t>(arg >> 24), static_cast<std::uint8_t>(arg >> 16),
                                           static_cast<std::uint8_t>(arg >> 8), static_cast<std::uint8_t>(arg)};
    return crc::crc7_end_byte(head);
}

void put_frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc) {
    mmc_serial_out(gap_byte);
    mmc_serial_out(command_bit | index);
    for (int shift = 24; shift >= 0; shift -= 8) mmc_serial_out(static_cast<std::uint8_t>(arg >> shift));
    mmc_serial_out(crc);
}

std::uint8_t send_frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc) {
    put_frame(index, arg, crc);
    return get_response(response_wait);
}

std::uint8_t command(std::uint8_t index, std::uint32_t arg) { return send_frame(index, arg, frame_crc(index, arg)); }

std::uint32_t read_u32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | mmc_serial_in();
    return value;
}

CardResult receive_block(std::span<std::uint8_t> into, int token_wait, ByteIn in) {
    const std::uint8_t token = get_response(token_wait, in);
    return token == data_start_token ? receive_data(into, in) : CardResult::no_data;
}

CardResult receive_run_block(std::span<std::uint8_t> into, int token_wait, ByteIn in) {
    const std::uint8_t token = get_response(token_wait, in);
    if (token == data_start_token) return receive_data(into, in);
    const bool out_of_range = (token & error_token_mask) == 0 && (token & error_token_out_of_range);
    return out_of_range ? CardResult::out_of_range : CardResult::no_data;
}

CardResult receive_data(std::span<std::uint8_t> into, ByteIn in) {
    std::uint16_t crc = 0;
    for (auto& byte : into) {
        byte = in();
        crc = crc::crc16_add(crc, byte);
    }
    const std::uint8_t high = in();
    const std::uint8_t low = in();
    return crc == (high << 8 | low) ? CardResult::ok : CardResult::bad_crc;
}

CardResult wait_while_busy(int max_bytes, ByteIn in) {
    for (int i = 0; i < max_bytes; ++i) {
        if (in() == not_busy) return CardResult::ok;
    }
    return CardResult::still_busy;
}

}  // namespace spi_link
