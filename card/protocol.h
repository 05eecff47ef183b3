// The SPI-mode protocol as data: command indexes, answer bits, tokens, and
// how long the card may take for each step. Only card/ uses it.
#pragma once

#include <cstdint>

namespace protocol {

inline constexpr std::uint8_t gap_byte = 0xFF;
inline constexpr std::uint8_t command_bit = 0x40;

// R1 bits; an R1 always has its top bit clear, and 0xFF is no answer.
inline constexpr std::uint8_t r1_ready = 0x00;
inline constexpr std::uint8_t r1_idle = 0x01;
inline constexpr std::uint8_t r1_illegal_command = 0x04;
inline constexpr std::uint8_t r1_com_crc_error = 0x08;
inline constexpr std::uint8_t r1_address_error = 0x20;
inline constexpr std::uint8_t r1_parameter_error = 0x40;
constexpr bool is_r1(std::uint8_t byte) { return (byte & 0x80) == 0; }

inline constexpr std::uint8_t data_start_token = 0xFE;
inline constexpr std::uint8_t multi_write_token = 0xFC;
inline constexpr std::uint8_t stop_tran_token = 0xFD;
// A data error token has its top four bits clear and an error bit set (bit
// 3 is out of range); 0x00 is no token, which some cards send before one.
inline constexpr std::uint8_t error_token_mask = 0xF0;
inline constexpr std::uint8_t error_token_out_of_range = 0x08;
constexpr bool is_error_token(std::uint8_t byte) { return (byte & error_token_mask) == 0 && byte != 0; }
// A data response is xxx0sss1.
inline constexpr std::uint8_t data_response_mask = 0x1F;
inline constexpr std::uint8_t data_accepted = 0x05;
inline constexpr std::uint8_t data_crc_error = 0x0B;
inline constexpr std::uint8_t data_write_error = 0x0D;

// The CRC byte every frame of the first card interface carried. Once in SPI
// mode a card checks no CRC but CMD8's, so these frames keep it unchanged.
inline constexpr std::uint8_t known_frame_crc = 0x95;

namespace cmd {
inline constexpr std::uint8_t go_idle = 0;
inline constexpr std::uint8_t send_op_cond = 1;
inline constexpr std::uint8_t switch_func = 6;
inline constexpr std::uint8_t send_if_cond = 8;
inline constexpr std::uint8_t send_csd = 9;
inline constexpr std::uint8_t send_cid = 10;
inline constexpr std::uint8_t stop_transmission = 12;
inline constexpr std::uint8_t send_status = 13;
inline constexpr std::uint8_t set_blocklen = 16;
inline constexpr std::uint8_t read_single_block = 17;
inline constexpr std::uint8_t read_multiple_block = 18;
inline constexpr std::uint8_t write_single_block = 24;
inline constexpr std::uint8_t write_multiple_block = 25;
inline constexpr std::uint8_t sd_send_op_cond = 41;  // ACMD41, after app_cmd
inline constexpr std::uint8_t app_cmd = 55;
inline constexpr std::uint8_t read_ocr = 58;
inline constexpr std::uint8_t crc_on_off = 59;
inline constexpr std::uint8_t program_csd = 27;
inline constexpr std::uint8_t sd_erase_first = 32;
inline constexpr std::uint8_t sd_erase_last = 33;
inline constexpr std::uint8_t mmc_erase_first = 35;
inline constexpr std::uint8_t mmc_erase_last = 36;
inline constexpr std::uint8_t erase = 38;
inline constexpr std::uint8_t lock_unlock = 42;
inline constexpr std::uint8_t sd_status = 13;           // ACMD13
inline constexpr std::uint8_t send_num_wr_blocks = 22;  // ACMD22
inline constexpr std::uint8_t send_scr = 51;            // ACMD51
inline constexpr std::uint8_t send_ext_csd = 8;         // on an MMC: a 512-byte block
}  // namespace cmd

// CMD8's argument: voltage range 2.7-3.6 V (0x1) and the check pattern 0xAA.
inline constexpr std::uint32_t if_cond_arg = 0x1AA;
inline constexpr std::uint32_t if_cond_echo_mask = 0xFFF;
inline constexpr std::uint32_t host_capacity_support = 0x40000000;  // HCS in ACMD41's argument

// Data clock until the CSD says otherwise: every card takes 25 MHz; an SD
// card switched to high speed (CMD6 in switch mode, function 1 of group 1)
// takes 50 MHz. The switch status block says in bits 379:376 (the low half
// of its byte 16) which function group 1 now runs.
inline constexpr std::uint32_t default_data_hz = 25'000'000;
inline constexpr std::uint32_t high_speed_hz = 50'000'000;
inline constexpr std::uint32_t switch_to_high_speed = 0x80FFFFF1;
inline constexpr std::size_t switch_status_bytes = 64;
inline constexpr std::size_t switch_group1_byte = 16;

// Waits. Each is a count of bytes (or tries) that a prompt card answers
// within, and a time the card may take beyond it, read from the link's
// clock: the card's own limits with a real host's margin.
inline constexpr std::uint64_t ms = 1'000'000;  // nanoseconds
inline constexpr int response_bytes = 400;      // R1: the card answers within eight bytes
inline constexpr int power_up_gap_bytes = 10;   // 80 clocks with CS high
inline constexpr std::uint64_t power_up_pause_ns = 200 * ms;

struct Wait {
    int min_count;
    std::uint64_t budget_ns;
};
// A read's data token: the SD limit is 100 ms.
inline constexpr Wait token_wait{400, 300 * ms};
// Busy after a written block or the stop token: SDXC may take 500 ms, some
// cards in SPI mode near a second.
inline constexpr Wait write_busy{16384, 3000 * ms};
inline constexpr Wait run_busy{24576, 3000 * ms};
// CMD1 or CMD55 + ACMD41 while the card stays idle: the SD limit is one second.
inline constexpr Wait cmd1_wait{8192, 2000 * ms};
inline constexpr Wait acmd41_wait{4096, 2000 * ms};
// Extra tries of a block that came wrong (R1, token or CRC16), and of a
// frame or written block the card found a CRC error in.
inline constexpr int read_retries = 3;
// CMD0 unanswered: every line low this long, then power-up again, until
// the card answers or a second has passed.
inline constexpr std::uint64_t power_off_ns = 10 * ms;
inline constexpr std::uint64_t power_cycle_budget_ns = 1000 * ms;

}  // namespace protocol
