#include "card/card_controls.h"

#include <limits>

#include "card/card.h"
#include "card/protocol.h"

using namespace protocol;

namespace {

// CMD6 check mode (bit 31 clear): group 1 asks for function 1 (high
// speed), every other group keeps its current function (0xF).
constexpr std::uint32_t switch_check_high_speed = 0x00FFFFF1;
// Bytes an answer takes after its frame, for links that read ahead: R1
// within eight, a block's access bytes, token and CRC within twelve more.
constexpr std::size_t r1_bytes = 8;
constexpr std::size_t block_extra_bytes = 12;
// Programming the CSD: a write's busy limit.
constexpr std::uint64_t program_busy_ns = write_busy.budget_ns;

CardResult ready(std::uint8_t r1) { return r1 == r1_ready ? CardResult::ok : CardResult::rejected; }

std::uint64_t ns_of(std::uint64_t busy_ms) {
    return busy_ms > std::numeric_limits<std::uint64_t>::max() / ms ? std::numeric_limits<std::uint64_t>::max()
                                                                     : busy_ms * ms;
}

}  // namespace

CardResult card_read_status(Card& card, std::uint8_t& status) {
    if (const CardResult r = ready(card.command(cmd::send_status, 0, r1_bytes + 1)); r != CardResult::ok)
        return r;
    status = card.receive_byte();
    return CardResult::ok;
}

CardResult card_read_scr(Card& card, ScrRegister& scr) {
    const std::uint8_t r1 = card.app_command(cmd::send_scr, 0, scr.size() + block_extra_bytes);
    if (const CardResult r = ready(r1); r != CardResult::ok) return r;
    return card.receive_register(scr);
}

// ACMD13 answers with an R2: R1, then a status byte, then the block.
CardResult card_read_sd_status(Card& card, SdStatusBlock& status) {
    const std::uint8_t r1 = card.app_command(cmd::sd_status, 0, 1 + status.size() + block_extra_bytes);
    if (const CardResult r = ready(r1); r != CardResult::ok) return r;
    (void)card.receive_byte();
    return card.receive_register(status);
}

CardResult card_switch_check(Card& card, SwitchStatusBlock& status) {
    const std::uint8_t r1 = card.command(cmd::switch_func, switch_check_high_speed, status.size() + block_extra_bytes);
    if (const CardResult r = ready(r1); r != CardResult::ok) return r;
    return card.receive_register(status);
}

CardResult card_program_csd(Card& card, const CardRegister& csd) {
    if (const CardResult r = ready(card.command(cmd::program_csd, 0)); r != CardResult::ok) return r;
    return card.send_data(csd, program_busy_ns);
}

CardResult card_lock_unlock(Card& card, std::span<const std::uint8_t> block, std::uint64_t busy_ms, std::uint8_t& status) {
    const auto length = static_cast<std::uint32_t>(block.size());
    if (const CardResult r = ready(card.command(cmd::set_blocklen, length)); r != CardResult::ok) return r;
    CardResult sent = ready(card.command(cmd::lock_unlock, 0));
    if (sent == CardResult::ok) sent = card.send_data(block, ns_of(busy_ms));
    const CardResult back = ready(card.command(cmd::set_blocklen, sector_size));
    if (sent != CardResult::ok) return sent;
    if (back != CardResult::ok) return back;
    return card_read_status(card, status);
}

CardResult card_erase(Card& card, std::uint32_t first, std::uint32_t last, std::uint64_t busy_ms) {
    const bool mmc = card.register_layout() == RegisterLayout::mmc;
    const std::uint8_t from = mmc ? cmd::mmc_erase_first : cmd::sd_erase_first;
    const std::uint8_t to = mmc ? cmd::mmc_erase_last : cmd::sd_erase_last;
    if (const CardResult r = ready(card.command(from, card.address_of(first))); r != CardResult::ok) return r;
    if (const CardResult r = ready(card.command(to, card.address_of(last))); r != CardResult::ok) return r;
    if (const CardResult r = ready(card.command(cmd::erase, 0)); r != CardResult::ok) return r;
    return card.wait_ready(ns_of(busy_ms));
}
