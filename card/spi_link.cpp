#include "card/spi_link.h"

#include <array>

#include "card/crc.h"
#include "card/mmc_if.h"

namespace spi_link {

namespace {
constexpr std::uint8_t no_response = 0xFF;
constexpr std::uint8_t not_busy = 0xFF;
constexpr std::uint8_t command_bit = 0x40;
}  // namespace

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
    if (get_response(token_wait, in) != data_start_token) return CardResult::no_data;
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
