// The card layer's own building blocks on top of the line driver: command
// frames, responses, data blocks and busy waits. Only card/ uses them.
#pragma once

#include <cstdint>
#include <span>

#include "card/mmc_spi.h"

namespace spi_link {

using ByteIn = std::uint8_t (*)();

inline constexpr std::uint8_t gap_byte = 0xFF;
inline constexpr std::uint8_t r1_ready = 0x00;
inline constexpr std::uint8_t r1_idle = 0x01;
inline constexpr std::uint8_t r1_illegal_command = 0x04;
inline constexpr std::uint8_t data_start_token = 0xFE;
inline constexpr int response_wait = 400;

// An R1 byte always has its top bit clear; 0xFF is no answer.
constexpr bool is_r1(std::uint8_t byte) { return (byte & 0x80) == 0; }

// Command indexes.
namespace cmd {
inline constexpr std::uint8_t go_idle = 0;
inline constexpr std::uint8_t send_op_cond = 1;
inline constexpr std::uint8_t send_if_cond = 8;
inline constexpr std::uint8_t send_csd = 9;
inline constexpr std::uint8_t send_cid = 10;
inline constexpr std::uint8_t stop_transmission = 12;
inline constexpr std::uint8_t read_single_block = 17;
inline constexpr std::uint8_t read_multiple_block = 18;
inline constexpr std::uint8_t write_single_block = 24;
inline constexpr std::uint8_t write_multiple_block = 25;
inline constexpr std::uint8_t sd_send_op_cond = 41;  // ACMD41, after app_cmd
inline constexpr std::uint8_t app_cmd = 55;
inline constexpr std::uint8_t read_ocr = 58;
}  // namespace cmd

// The first byte not 0xFF within count bytes, or 0xFF.
std::uint8_t get_response(int count, ByteIn in);
std::uint8_t get_response(int count);

// The CRC byte every frame of the first card interface carried. Once in SPI
// mode a card checks no CRC but CMD8's, so these frames keep it unchanged.
inline constexpr std::uint8_t known_frame_crc = 0x95;

// The CRC byte of a frame: its CRC7 and the end bit.
std::uint8_t frame_crc(std::uint8_t index, std::uint32_t arg);
// Sends a frame and leaves the answer to the caller.
void put_frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc);
// Sends a frame with the given CRC byte and returns R1 (0xFF: none).
std::uint8_t send_frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc);
// Sends a frame with its CRC7 and returns R1.
std::uint8_t command(std::uint8_t index, std::uint32_t arg);
// Four bytes after R1 (R3, R7), most significant first.
std::uint32_t read_u32();

// R1 of a transfer command: ready, the sector past the card's end (address
// or parameter error), or refused for another reason.
CardResult transfer_answer(std::uint8_t r1);

// Start token, the block into `into`, its CRC16, checked; any other token
// (a data error token, or none) is CardResult::no_data.
CardResult receive_block(std::span<std::uint8_t> into, int token_wait, ByteIn in);
// The same for a block of a multi-block read, where the card sends the
// out-of-range error token once the run passes its end.
CardResult receive_run_block(std::span<std::uint8_t> into, int token_wait, ByteIn in);
// The block's bytes and CRC16 after its start token.
CardResult receive_data(std::span<std::uint8_t> into, ByteIn in);
// Clocks bytes in until DO goes high again, within max_bytes.
CardResult wait_while_busy(int max_bytes, ByteIn in);

}  // namespace spi_link
