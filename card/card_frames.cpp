// Command frames, data blocks, busy waits and the record of what failed.
#include <array>

#include "base/crc.h"
#include "card/card.h"
#include "card/protocol.h"

using namespace protocol;

namespace {

constexpr std::size_t crc_bytes = 2;
// Bytes after a written block (or CMD12) that bring its answer and a short
// busy in one transaction: a card that programs within them costs no more.
constexpr std::size_t answer_and_busy_bytes = 24;

std::uint8_t frame_crc(std::uint8_t index, std::uint32_t arg) {
    const std::array<std::uint8_t, 5> head{static_cast<std::uint8_t>(command_bit | index),
                                           static_cast<std::uint8_t>(arg >> 24), static_cast<std::uint8_t>(arg >> 16),
                                           static_cast<std::uint8_t>(arg >> 8), static_cast<std::uint8_t>(arg)};
    return crc::crc7_end_byte(head);
}

// R1 of a transfer command: ready, the sector past the card's end (address
// or parameter error), or refused for another reason.
CardResult transfer_answer(std::uint8_t r1) {
    if (r1 == r1_ready) return CardResult::ok;
    if (is_r1(r1) && (r1 & (r1_address_error | r1_parameter_error))) return CardResult::out_of_range;
    return CardResult::rejected;
}

}  // namespace

std::uint8_t Card::frame_once(std::uint8_t index, std::uint32_t arg, std::uint8_t crc, std::size_t expected) {
    const std::array<std::uint8_t, 7> frame{gap_byte,
                                            static_cast<std::uint8_t>(command_bit | index),
                                            static_cast<std::uint8_t>(arg >> 24),
                                            static_cast<std::uint8_t>(arg >> 16),
                                            static_cast<std::uint8_t>(arg >> 8),
                                            static_cast<std::uint8_t>(arg),
                                            crc};
    bus_.send(frame);
    return bus_.response(response_bytes, expected);
}

// A card still busy from a write that ended early takes no command: wait
// for DO to go high first. With CRC checking on, every frame carries its
// CRC7 and one the card found a CRC error in is sent again.
std::uint8_t Card::send_frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc, std::size_t expected) {
    if (busy_possible_) {
        busy_possible_ = false;
        (void)busy_done(write_busy);
    }
    if (crc_on_) crc = frame_crc(index, arg);
    std::uint8_t r1 = frame_once(index, arg, crc, expected);
    for (int retry = 0; crc_on_ && retry < read_retries && is_r1(r1) && (r1 & r1_com_crc_error); ++retry)
        r1 = frame_once(index, arg, crc, expected);
    return r1;
}

std::uint8_t Card::command(std::uint8_t index, std::uint32_t arg, std::size_t expected) {
    return send_frame(index, arg, frame_crc(index, arg), expected);
}

std::uint8_t Card::app_command(std::uint8_t index, std::uint32_t arg, std::size_t expected) {
    const std::uint8_t app = command(cmd::app_cmd, 0);
    if (app != r1_ready && app != r1_idle) return app;
    return command(index, arg, expected);
}

std::uint32_t Card::read_u32() {
    std::uint32_t value = 0;
    for (std::size_t left = 4; left > 0; --left) value = value << 8 | bus_.receive(left);
    return value;
}

// The single-block frames of the first card interface keep their CRC byte
// on cards addressed by bytes; every other frame gets the real CRC7.
CardResult Card::transfer_command(std::uint8_t index, std::uint32_t sector, std::size_t expected) {
    const bool known_frame =
        !block_addressing_ && (index == cmd::read_single_block || index == cmd::write_single_block);
    const std::uint32_t address = address_of(sector);
    const std::uint8_t r1 = send_frame(index, address, known_frame ? known_frame_crc : frame_crc(index, address), expected);
    const CardResult answer = transfer_answer(r1);
    return answer == CardResult::ok ? answer : failed(FailStep::command, index, r1, answer);
}

// Start token, the block into `into`, its CRC16, checked. In a run the card
// sends the out-of-range error token once the run passes its end.
CardResult Card::receive_block(std::span<std::uint8_t> into, bool in_run, std::size_t expected) {
    const std::uint8_t token = bus_.data_token(token_wait.min_count, token_wait.budget_ns, expected);
    if (token == data_start_token) return receive_data(into);
    const bool out_of_range = in_run && (token & error_token_mask) == 0 && (token & error_token_out_of_range);
    return failed(FailStep::token, 0, token, out_of_range ? CardResult::out_of_range : CardResult::no_data);
}

CardResult Card::receive_data(std::span<std::uint8_t> into) {
    bus_.receive(into);
    std::array<std::uint8_t, crc_bytes> sent{};
    bus_.receive(sent);
    if (crc::crc16(into) == (sent[0] << 8 | sent[1])) {
        bus_.confirm_token();
        return CardResult::ok;
    }
    return failed(FailStep::block_crc, 0, sent[0], CardResult::bad_crc);
}

CardResult Card::receive_register(std::span<std::uint8_t> into) {
    return receive_block(into, false, into.size() + crc_bytes + 2);
}

// A gap byte, the token, the data and their CRC16; with CRC checking off a
// single block keeps the zero CRC the first card interface sent.
void Card::send_block(std::uint8_t token, std::span<const std::uint8_t> data) {
    const std::uint16_t crc = token == data_start_token && !crc_on_ && data.size() == sector_size ? 0 : crc::crc16(data);
    const std::array<std::uint8_t, 2> head{gap_byte, token};
    const std::array<std::uint8_t, crc_bytes> tail{static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    bus_.send(head);
    bus_.send(data);
    bus_.send(tail);
}

CardResult Card::data_response() {
    const std::uint8_t response = bus_.data_response(response_bytes, answer_and_busy_bytes);
    if ((response & data_response_mask) == data_accepted) return CardResult::ok;
    // No answer at all may leave the card programming.
    if (response == 0xFF) busy_possible_ = true;
    return failed(FailStep::data_response, 0, response, CardResult::no_data);
}

// DO low while the card programs; a card still busy when the wait ends is
// waited for again before the next command.
CardResult Card::busy_done(Wait wait) {
    if (bus_.wait_ready(wait.min_count, wait.budget_ns)) return CardResult::ok;
    busy_possible_ = true;
    return failed(FailStep::busy, 0, 0x00, CardResult::still_busy);
}

CardResult Card::send_data(std::span<const std::uint8_t> data, std::uint64_t busy_ns) {
    send_block(data_start_token, data);
    if (const CardResult response = data_response(); response != CardResult::ok) return response;
    return wait_ready(busy_ns);
}

CardResult Card::wait_ready(std::uint64_t busy_ns) { return busy_done({write_busy.min_count, busy_ns}); }

// CMD12 ends a multi-block read: one stuff byte, R1, then busy.
CardResult Card::stop_transmission() {
    const std::array<std::uint8_t, 7> frame{gap_byte, command_bit | cmd::stop_transmission, 0, 0, 0, 0,
                                            frame_crc(cmd::stop_transmission, 0)};
    bus_.send(frame);
    (void)bus_.receive(answer_and_busy_bytes);
    (void)bus_.response(response_bytes, 1);
    return busy_done(run_busy);
}

// The stop token ends a multi-block write; the card turns busy one byte
// after it while it programs what it still holds.
CardResult Card::end_multiple_write() {
    bus_.send(stop_tran_token);
    (void)bus_.receive(2);
    return busy_done(run_busy);
}

CardResult Card::failed(FailStep step, std::uint8_t index, std::uint8_t byte, CardResult result) {
    failure_ = CardFailure{.step = step, .index = index, .byte = byte};
    return result;
}

// After a refused read or write, CMD13 says why: its R2's second byte
// (locked, write-protected, ECC failed, out of range ...).
void Card::ask_why() {
    const CardFailure why = failure_;
    const std::uint8_t r1 = command(cmd::send_status, 0, r1_bytes + 1);
    if (!is_r1(r1) || (r1 & r1_illegal_command)) return;
    failure_ = why;
    failure_.status = receive_byte();
    failure_.status_read = true;
}
