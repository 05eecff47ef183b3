// Power-up and initialisation: the known sequence (CMD0, then CMD1 until
// ready) first, then the SD way (CMD0, CMD8, CMD55 + ACMD41, CMD58).
#include "card/card_init.h"

#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "card/pause.h"
#include "card/spi_link.h"

using namespace spi_link;

namespace {

constexpr int wake_up_bytes = 10;
constexpr unsigned power_up_ms = 200;
// CMD8's argument: voltage range 2.7-3.6 V (0x1) and the check pattern 0xAA.
constexpr std::uint32_t if_cond_arg = 0x1AA;
constexpr std::uint32_t if_cond_echo_mask = 0xFFF;
constexpr std::uint32_t host_capacity_support = 0x40000000;  // HCS in ACMD41's argument

InitRecord record;
InitWay way = InitWay::none;
bool block_addressing = false;
std::uint32_t rereads = 0;
bool capacity_read = false;
std::uint64_t capacity = 0;

// CMD1 while the card is idle, up to the bound: R1 0x00 when it came up.
std::uint8_t cmd1_until_ready(InitRecord& r) {
    r.cmd1_tries = 0;
    do {
        r.cmd1_answer = send_frame(cmd::send_op_cond, 0, known_frame_crc);
        ++r.cmd1_tries;
    } while (r.cmd1_answer == r1_idle && r.cmd1_tries < cmd1_max_attempts);
    return r.cmd1_answer;
}

CardResult stopped(InitRecord& r, InitStep step, std::uint8_t answer) {
    r.failed_step = step;
    r.answer = answer;
    return CardResult::cmd1_failed;
}

// CMD55 + ACMD41 while the card is idle, up to the bound.
CardResult acmd41_until_ready(InitRecord& r, std::uint32_t arg) {
    for (r.acmd41_tries = 1;; ++r.acmd41_tries) {
        const std::uint8_t app = command(cmd::app_cmd, 0);
        if ((app & ~r1_idle) != 0) return stopped(r, InitStep::cmd55, app);
        const std::uint8_t r1 = command(cmd::sd_send_op_cond, arg);
        if (r1 == r1_ready) return CardResult::ok;
        if (r1 != r1_idle || r.acmd41_tries == acmd41_max_attempts) return stopped(r, InitStep::acmd41, r1);
    }
}

// Version 2 cards: the OCR's CCS bit says whether sectors are addresses.
CardResult read_capacity_class(InitRecord& r) {
    const std::uint8_t r1 = command(cmd::read_ocr, 0);
    if (r1 != r1_ready) return stopped(r, InitStep::cmd58, r1);
    block_addressing = (read_u32() & ocr_bits::ccs) != 0;
    return CardResult::ok;
}

// The SD way from a reset: CMD8 tells version 2 (echo) from version 1 (illegal).
CardResult bring_up_sd(InitRecord& r) {
    r.sd_way = InitWay::sd_v1;
    if (const std::uint8_t r1 = command(cmd::go_idle, 0); r1 != r1_idle) return stopped(r, InitStep::cmd0, r1);
    const std::uint8_t r1 = command(cmd::send_if_cond, if_cond_arg);
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

void power_up() {
    mmc_hw_power(1);
    mmc_pause_ms(power_up_ms);
    mmc_hw_cs(1);
    for (int i = 0; i < wake_up_bytes; ++i) mmc_serial_out(gap_byte);
    mmc_hw_cs(0);
    mmc_serial_out(gap_byte);
}

}  // namespace

void card_state::forget() {
    record = InitRecord{};
    way = InitWay::none;
    block_addressing = false;
    rereads = 0;
    capacity_read = false;
    capacity = 0;
}

void card_state::count_rereads(int count) { rereads += static_cast<std::uint32_t>(count); }

bool card_state::capacity_known(std::uint64_t& sectors) {
    sectors = capacity;
    return capacity_read;
}

void card_state::remember_capacity(std::uint64_t sectors) {
    capacity_read = true;
    capacity = sectors;
}

CardResult mmc_init_spi() {
    card_state::forget();
    if (!mmc_hw_start()) return CardResult::no_link;
    power_up();
    record.cmd0_answer = send_frame(cmd::go_idle, 0, known_frame_crc);
    if (record.cmd0_answer != r1_idle) return CardResult::cmd0_failed;
    const std::uint8_t answer = cmd1_until_ready(record);
    if (answer == r1_ready) {
        way = InitWay::cmd1;
        return CardResult::ok;
    }
    // Whatever stopped CMD1 (illegal, idle to the end, or an answer garbled
    // on the way), the SD way may still bring the card up.
    const CardResult result = bring_up_sd(record);
    if (result == CardResult::ok) way = record.sd_way;
    return result;
}

void mmc_disable() { mmc_hw_stop(); }

const InitRecord& mmc_init_record() { return record; }
InitWay card_init_way() { return way; }
bool card_block_addressed() { return block_addressing; }
std::uint32_t spi_rereads() { return rereads; }

// A card that came up by CMD1 is brought up again the SD way. A card that
// does not come up that way (an MMC calls CMD55 illegal) was reset by it and
// comes up by CMD1 once more; one that does not is left unusable, not idle.
CardResult card_identify() {
    if (way != InitWay::cmd1) return way == InitWay::none ? CardResult::cmd1_failed : CardResult::ok;
    InitRecord r;
    if (bring_up_sd(r) == CardResult::ok) {
        way = r.sd_way;
        return CardResult::ok;
    }
    way = cmd1_until_ready(r) == r1_ready ? InitWay::mmc : InitWay::none;
    return way == InitWay::mmc ? CardResult::ok : CardResult::cmd1_failed;
}
