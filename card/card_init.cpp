// Power-up and initialisation: the known sequence (CMD0, then CMD1 until
// ready) first, then the SD way (CMD0, CMD8, CMD55 + ACMD41, CMD58).
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

// Version 2 cards: the OCR's CCS bit says whether sectors are addresses.
// One flipped bit must not decide it: the OCR is read until two reads agree.
CardResult Card::read_capacity_class(InitRecord& r) {
    std::uint32_t before = 0;
    for (int i = 0; i < ocr_reads; ++i) {
        const std::uint8_t r1 = command(cmd::read_ocr, 0, r1_bytes + 4);
        if (r1 != r1_ready) return stopped(r, InitStep::cmd58, r1);
        const std::uint32_t ocr = read_u32();
        if (i > 0 && ocr == before) {
            block_addressing_ = (ocr & ocr_bits::ccs) != 0;
            return CardResult::ok;
        }
        before = ocr;
    }
    return stopped(r, InitStep::cmd58, r1_ready);
}

// The SD way from a reset: CMD8 tells version 2 (echo) from version 1 (illegal).
CardResult Card::bring_up_sd(InitRecord& r) {
    r.sd_way = InitWay::sd_v1;
    if (const std::uint8_t r1 = command(cmd::go_idle, 0); r1 != r1_idle) return stopped(r, InitStep::cmd0, r1);
    const std::uint8_t r1 = command(cmd::send_if_cond, if_cond_arg, r1_bytes + 4);
    if (is_r1(r1) && (r1 & r1_illegal_command)) return acmd41_until_ready(r, 0);
    r.sd_way = InitWay::sd_v2;
    if (r1 != r1_idle) return stopped(r, InitStep::cmd8, r1);
    if (const std::uint32_t r7 = read_u32(); (r7 & if_cond_echo_mask) != if_cond_arg) {
        r.r7 = r7;
        return stopped(r, InitStep::cmd8, r1);
    }
    if (const CardResult ready = acmd41_until_ready(r, host_capacity_support); ready != CardResult::ok) return ready;
    return read_capacity_class(r);
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
    block_addressing_ = prepared_ = crc_on_ = busy_possible_ = register_crc16_wrong_ = false;
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
    const std::uint8_t answer = cmd1_until_ready(record_);
    if (answer == r1_ready) {
        way_ = InitWay::cmd1;
        return CardResult::ok;
    }
    // Whatever stopped CMD1 (illegal, idle to the end, or an answer garbled
    // on the way), the SD way may still bring the card up.
    const CardResult result = bring_up_sd(record_);
    if (result == CardResult::ok) way_ = record_.sd_way;
    return result;
}

void Card::disable() {
    bus_.flush();
    link().stop();
}

// A card that came up by CMD1 is brought up again the SD way. A card that
// does not come up that way (an MMC calls CMD55 illegal) was reset by it and
// comes up by CMD1 once more; one that does not is left unusable, not idle.
CardResult Card::identify() {
    if (way_ != InitWay::cmd1) return way_ == InitWay::none ? CardResult::cmd1_failed : CardResult::ok;
    InitRecord r;
    if (bring_up_sd(r) == CardResult::ok) {
        way_ = r.sd_way;
        return CardResult::ok;
    }
    way_ = cmd1_until_ready(r) == r1_ready ? InitWay::mmc : InitWay::none;
    if (way_ != InitWay::mmc) return CardResult::cmd1_failed;
    // An MMC over 2 GB says in its OCR (bit 30) that it takes sector numbers.
    std::uint32_t ocr = 0;
    if (read_ocr(ocr) == CardResult::ok) block_addressing_ = (ocr & ocr_bits::ccs) != 0;
    return CardResult::ok;
}
