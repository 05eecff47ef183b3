// Power-up and initialisation: on the port the known sequence (CMD0, then
// CMD1 until ready) first, then the SD way (CMD0, CMD8, CMD55 + ACMD41,
// CMD58); on byte links the SD way first, then CMD1. How a card is
// addressed comes from its OCR, never from the way it came up.
#include "card/card.h"
#include "card/protocol.h"

#include <algorithm>

using namespace protocol;

namespace {

constexpr int ocr_reads = 4;

CardResult stopped(InitRecord& r, InitStep step, std::uint8_t answer) {
    r.failed_step = step;
    r.answer = answer;
    return CardResult::cmd1_failed;
}

// Counts tries against a wait: done once both its count and its time are spent.
class Tries {
public:
    Tries(spi::Link& link, Wait wait) : link_(link), wait_(wait), start_(link.now_ns()) {}
    [[nodiscard]] bool spent(int tries) { return tries >= wait_.min_count && link_.now_ns() - start_ >= wait_.budget_ns; }

private:
    spi::Link& link_;
    Wait wait_;
    std::uint64_t start_;
};

// An OCR a card that finished powering up sends: busy bit set, a voltage window.
bool ocr_valid(std::uint32_t ocr) { return (ocr & ocr_bits::powered_up) && (ocr & ocr_bits::voltage_window); }

bool illegal(std::uint8_t r1) { return is_r1(r1) && (r1 & r1_illegal_command); }

}  // namespace

// CMD1 while the card is idle, within its wait: R1 0x00 when it came up.
std::uint8_t Card::cmd1_until_ready(InitRecord& r) {
    Tries tries(link(), cmd1_wait);
    r.cmd1_tries = 0;
    do {
        r.cmd1_answer = send_frame(cmd::send_op_cond, 0, known_frame_crc);
        ++r.cmd1_tries;
    } while (r.cmd1_answer == r1_idle && !tries.spent(r.cmd1_tries));
    return r.cmd1_answer;
}

// CMD55 + ACMD41 while the card is idle, within its wait.
CardResult Card::acmd41_until_ready(InitRecord& r, std::uint32_t arg) {
    Tries tries(link(), acmd41_wait);
    for (r.acmd41_tries = 1;; ++r.acmd41_tries) {
        const std::uint8_t app = command(cmd::app_cmd, 0);
        if ((app & ~r1_idle) != 0) return stopped(r, InitStep::cmd55, app);
        const std::uint8_t r1 = command(cmd::sd_send_op_cond, arg);
        if (r1 == r1_ready) return CardResult::ok;
        if (r1 != r1_idle || tries.spent(r.acmd41_tries)) return stopped(r, InitStep::acmd41, r1);
    }
}

// CMD58 until two reads agree, so that one flipped bit cannot decide the
// addressing. Some cards keep the idle bit in this R1 once ready: their OCR
// shows that they are. A card that calls CMD58 illegal predates cards
// addressed by sector: where it may (may_lack), ocr stays 0 and the
// result is ok.
CardResult Card::read_ocr_agreed(InitRecord& r, std::uint32_t& ocr, bool may_lack) {
    std::uint32_t before = 0;
    ocr = 0;
    for (int i = 0; i < ocr_reads; ++i) {
        const std::uint8_t r1 = command(cmd::read_ocr, 0, r1_bytes + 4);
        if (i == 0 && illegal(r1) && may_lack) return CardResult::ok;
        if (r1 != r1_ready && r1 != r1_idle) return stopped(r, InitStep::cmd58, r1);
        const std::uint32_t read = read_u32();
        if (i > 0 && read == before && ocr_valid(read)) {
            ocr = read;
            return CardResult::ok;
        }
        before = read;
    }
    return stopped(r, InitStep::cmd58, r1_ready);
}

// An MMC says in OCR bits 30-29 how it is addressed: 00 by byte, 10 by
// sector (every MMC over 2 GB, whatever the host offered); other codes
// are none of these.
CardResult Card::learn_mmc_addressing(InitRecord& r) {
    std::uint32_t ocr = 0;
    if (read_ocr_agreed(r, ocr, true) != CardResult::ok) return CardResult::no_ocr;
    const std::uint32_t mode = ocr & ocr_bits::mmc_access_mode;
    if (mode != 0 && mode != ocr_bits::mmc_sector_mode) return CardResult::unclear;
    block_addressing_ = mode == ocr_bits::mmc_sector_mode;
    addressing_known_ = true;
    return CardResult::ok;
}

// From an idle card: CMD8 tells an SD card of version 2 (echo) from older
// cards (illegal); with mmc_possible, CMD55 or ACMD41 called illegal is an
// MMC, which then comes up by CMD1. Version 2 SD cards and MMCs say in
// their OCR how they are addressed.
CardResult Card::bring_up_from_idle(InitRecord& r, bool mmc_possible) {
    r.sd_way = InitWay::sd_v1;
    const std::uint8_t r1 = command(cmd::send_if_cond, if_cond_arg, r1_bytes + 4);
    if (!illegal(r1)) {
        r.sd_way = InitWay::sd_v2;
        if (r1 != r1_idle) return stopped(r, InitStep::cmd8, r1);
        if (const std::uint32_t r7 = read_u32(); (r7 & if_cond_echo_mask) != if_cond_arg) {
            r.r7 = r7;
            return stopped(r, InitStep::cmd8, r1);
        }
    }
    const std::uint32_t arg = r.sd_way == InitWay::sd_v2 ? host_capacity_support : 0;
    if (const CardResult ready = acmd41_until_ready(r, arg); ready != CardResult::ok) {
        const bool mmc = mmc_possible && r.sd_way == InitWay::sd_v1 && (r.failed_step == InitStep::cmd55 || r.failed_step == InitStep::acmd41) &&
                         illegal(r.answer);
        if (!mmc) return ready;
        r.sd_way = InitWay::mmc;
        // The record keeps what the SD way met, as after the known sequence.
        if (cmd1_until_ready(r) != r1_ready) return CardResult::cmd1_failed;
        return learn_mmc_addressing(r);
    }
    block_addressing_ = false;
    addressing_known_ = true;
    if (r.sd_way == InitWay::sd_v1) return CardResult::ok;
    std::uint32_t ocr = 0;
    if (read_ocr_agreed(r, ocr, false) != CardResult::ok) return CardResult::no_ocr;
    block_addressing_ = (ocr & ocr_bits::ccs) != 0;
    return CardResult::ok;
}

// The SD way from a reset. A card already in SPI mode may answer this
// CMD0 with 0x00 and still go idle: that says nothing about its family.
CardResult Card::bring_up_sd(InitRecord& r, bool mmc_possible) {
    r.sd_way = InitWay::sd_v1;
    if (const std::uint8_t r1 = command(cmd::go_idle, 0); r1 != r1_idle && r1 != r1_ready)
        return stopped(r, InitStep::cmd0, r1);
    return bring_up_from_idle(r, mmc_possible);
}

// Supply on, the power-up pause, 80 clocks with CS high, then select.
void Card::power_up() {
    spi::Link& l = link();
    l.power(true);
    l.pause_ns(power_up_pause_ns);
    l.select(false);
    bus_.flush();
    l.clock_deselected(static_cast<std::size_t>(power_up_gap_bytes));
    l.select(true);
    bus_.send(gap_byte);
}

// A card that does not answer CMD0 at all may be stuck in a transfer an
// earlier run left: every line low for a while, power up again and try
// again, for up to a second, where the link can switch the supply. The
// first try is the known sequence's.
std::uint8_t Card::first_cmd0() {
    std::uint8_t answer = send_frame(cmd::go_idle, 0, known_frame_crc);
    spi::Link& l = link();
    if (answer != 0xFF || !l.capabilities().switches_supply) return answer;
    const std::uint64_t start = l.now_ns();
    while (answer == 0xFF && l.now_ns() - start < power_cycle_budget_ns) {
        bus_.flush();
        l.stop();
        l.pause_ns(power_off_ns);
        power_up();
        answer = send_frame(cmd::go_idle, 0, known_frame_crc);
    }
    return answer;
}

CardResult Card::init() {
    record_ = InitRecord{};
    way_ = InitWay::none;
    block_addressing_ = addressing_known_ = prepared_ = crc_on_ = busy_possible_ = register_crc16_wrong_ = false;
    multi_block_ = true;
    failure_ = CardFailure{};
    rereads_ = 0;
    capacity_read_ = false;
    capacity_ = 0;
    data_hz_ = std::min(link().capabilities().top_hz, default_data_hz);
    link().set_clock(spi::init_hz);
    if (!link().start()) return CardResult::no_link;
    power_up();
    record_.cmd0_answer = first_cmd0();
    if (record_.cmd0_answer != r1_idle) return CardResult::cmd0_failed;
    const CardResult result = data_clock_throughout() ? bring_up_sd_first() : bring_up_known();
    if (result == CardResult::ok) enter_data_clock();
    return result == CardResult::no_ocr || result == CardResult::unclear ? CardResult::cmd1_failed : result;
}

// The known sequence: CMD1 until ready; whatever stopped it (illegal, idle
// to the end, or an answer garbled on the way), the SD way may still bring
// the card up.
CardResult Card::bring_up_known() {
    if (cmd1_until_ready(record_) == r1_ready) {
        way_ = InitWay::cmd1;
        return CardResult::ok;
    }
    const CardResult result = bring_up_sd(record_, false);
    if (result == CardResult::ok) way_ = record_.sd_way;
    return result;
}

// Where nothing binds the link to the known accesses, the SD way comes
// first: an SD card, SDHC above all, would sit out every CMD1 try before
// it. An MMC calls CMD55 or ACMD41 illegal and comes up by CMD1; a card
// the SD way did not bring up is given CMD1 as the known sequence does.
CardResult Card::bring_up_sd_first() {
    const CardResult result = bring_up_from_idle(record_, true);
    if (result == CardResult::ok) {
        way_ = record_.sd_way;
        return result;
    }
    if (record_.sd_way == InitWay::mmc || cmd1_until_ready(record_) != r1_ready) return result;
    way_ = InitWay::cmd1;
    return CardResult::ok;
}

void Card::disable() {
    bus_.flush();
    link().stop();
}

// A card that came up by CMD1 may be an MMC over 2 GB or an SD card that
// takes CMD1 and is addressed by sector: its OCR says which.
CardResult Card::settle_addressing() {
    if (way_ == InitWay::none) return CardResult::cmd1_failed;
    if (addressing_known_) return CardResult::ok;
    InitRecord r;
    std::uint32_t ocr = 0;
    if (read_ocr_agreed(r, ocr, true) != CardResult::ok) return CardResult::no_ocr;
    block_addressing_ = (ocr & ocr_bits::ccs) != 0;
    addressing_known_ = true;
    return CardResult::ok;
}

// A card that came up by CMD1 is reset and brought up again from idle: an
// SD card comes up the SD way, an MMC by CMD1 again. One that comes up
// neither way is left unusable, not idle.
CardResult Card::identify() {
    if (way_ != InitWay::cmd1) return way_ == InitWay::none ? CardResult::cmd1_failed : CardResult::ok;
    InitRecord r;
    if (data_clock_throughout()) {
        bus_.flush();
        link().set_clock(spi::init_hz);
    }
    const CardResult result = bring_up_sd(r, true);
    way_ = result == CardResult::ok ? r.sd_way : InitWay::none;
    if (result == CardResult::ok) enter_data_clock();
    return result;
}
