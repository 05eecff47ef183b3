// The card's registers (OCR, CID, CSD, an MMC's EXT_CSD), its capacity, and
// setting it up for work beyond the known sequence.
#include <algorithm>
#include <array>

#include "card/card.h"
#include "card/card_retries.h"
#include "card/protocol.h"

using namespace protocol;

namespace {

constexpr std::size_t crc_bytes = 2;
constexpr int ocr_reads = 4;
// An MMC whose size does not fit the CSD: C_SIZE at its maximum (or CSD
// structure 3); EXT_CSD's SEC_COUNT, bytes 212 to 215, counts its sectors.
constexpr std::uint32_t c_size_max = 0xFFF;
constexpr std::size_t ext_csd_sec_count = 212;

}  // namespace

// With CRC checking off some cards send a register block with a wrong CRC16;
// one whose own CRC7 is right is taken, and the report says so.
CardResult Card::read_register(std::uint8_t index, CardRegister& reg) {
    if (identify() != CardResult::ok) return CardResult::cmd1_failed;
    register_crc16_wrong_ = false;
    return with_retries([&](bool) {
        if (const std::uint8_t r1 = command(index, 0, reg.size() + crc_bytes + 12); r1 != r1_ready)
            return failed(FailStep::command, index, r1, CardResult::rejected);
        const CardResult block = receive_register(reg);
        if (block != CardResult::bad_crc || crc_on_ || !register_crc_ok(reg)) return block;
        register_crc16_wrong_ = true;
        return CardResult::ok;
    }, rereads_);
}

RegisterLayout Card::register_layout() const {
    return way_ == InitWay::mmc ? RegisterLayout::mmc : RegisterLayout::sd;
}

CardResult Card::read_ocr(std::uint32_t& ocr) {
    if (identify() != CardResult::ok) return CardResult::cmd1_failed;
    if (const std::uint8_t r1 = command(cmd::read_ocr, 0, r1_bytes + 4); r1 != r1_ready && r1 != r1_idle)
        return failed(FailStep::command, cmd::read_ocr, r1, CardResult::rejected);
    ocr = read_u32();
    return CardResult::ok;
}

CardResult Card::read_cid(CardRegister& cid) { return read_register(cmd::send_cid, cid); }

// The CSD also sets the data rate: the card's TRAN_SPEED, capped by the adapter.
CardResult Card::read_csd(CardRegister& csd) {
    const CardResult result = read_register(cmd::send_csd, csd);
    if (result == CardResult::ok) learn_data_rate(csd);
    return result;
}

void Card::learn_data_rate(const CardRegister& csd) {
    const std::uint64_t card_hz = std::uint64_t{decode_csd(csd, register_layout()).max_rate_kbit} * 1000;
    if (card_hz <= spi::init_hz) return;
    data_hz_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(card_hz, link().capabilities().top_hz));
    if (data_clock_throughout()) {
        bus_.flush();
        link().set_clock(data_hz_);
    }
}

// CMD9 and the CSD straight after initialisation, without asking how the
// card came up; a CSD that does not come keeps the initialisation clock.
void Card::enter_data_clock() {
    if (!data_clock_throughout()) return;
    CardRegister csd{};
    if (command(cmd::send_csd, 0, csd.size() + crc_bytes + 12) != r1_ready || receive_register(csd) != CardResult::ok)
        return;
    learn_data_rate(csd);
}

CardType Card::type(const CsdInfo& csd) const {
    switch (way_) {
        case InitWay::mmc: return CardType::mmc;
        case InitWay::sd_v1: return CardType::sdsc_v1;
        case InitWay::sd_v2:
            if (!block_addressing_) return CardType::sdsc_v2;
            return csd.capacity_bytes >= sdxc_smallest_bytes ? CardType::sdxc : CardType::sdhc;
        default: return CardType::unknown;
    }
}

CardResult Card::read_ext_csd_size() {
    std::array<std::uint8_t, sector_size> ext_csd{};
    if (const std::uint8_t r1 = command(cmd::send_ext_csd, 0, ext_csd.size() + crc_bytes + 12); r1 != r1_ready)
        return failed(FailStep::command, cmd::send_ext_csd, r1, CardResult::rejected);
    if (const CardResult block = receive_register(ext_csd); block != CardResult::ok) return block;
    capacity_ = std::uint64_t{ext_csd[ext_csd_sec_count]} | std::uint64_t{ext_csd[ext_csd_sec_count + 1]} << 8 |
                std::uint64_t{ext_csd[ext_csd_sec_count + 2]} << 16 | std::uint64_t{ext_csd[ext_csd_sec_count + 3]} << 24;
    return CardResult::ok;
}

void Card::learn_capacity(const CardRegister& csd) {
    const CsdInfo info = decode_csd(csd, register_layout());
    const bool beyond_csd = register_layout() == RegisterLayout::mmc &&
                            (info.structure == 3 || register_bits(csd, 73, 62) == c_size_max) && block_addressing_;
    if (beyond_csd) (void)read_ext_csd_size();
    else if (info.capacity_known) capacity_ = info.capacity_bytes / sector_size;
    capacity_read_ = true;
}

std::uint64_t Card::capacity_sectors() {
    if (capacity_read_) return capacity_;
    CardRegister csd{};
    if (read_csd(csd) == CardResult::ok) learn_capacity(csd);
    capacity_read_ = true;
    return capacity_;
}

// The CSD must agree with the OCR. An SD card's CSD structure 2.0 is the
// one of a card addressed by sector. An MMC addressed by sector is over
// 2 GB: its CSD keeps C_SIZE at its maximum or leaves the size to the
// EXT_CSD (structure 3), which no MMC addressed by byte does. A CSD whose
// own CRC7 fails says nothing.
CardResult Card::check_addressing(const CardRegister& csd) {
    if (!register_crc_ok(csd)) return CardResult::ok;
    const CsdInfo info = decode_csd(csd, register_layout());
    if (register_layout() == RegisterLayout::sd)
        return (info.structure == 1) == block_addressing_ ? CardResult::ok : CardResult::unclear;
    const bool size_elsewhere = info.structure == 3;
    const bool over_2gb_possible = size_elsewhere || register_bits(csd, 73, 62) == c_size_max;
    const bool agreed = block_addressing_ ? over_2gb_possible : !size_elsewhere;
    return agreed ? CardResult::ok : CardResult::unclear;
}

// A link faster than the card's default clock asks an SD card to switch to
// high speed; a card that cannot, or does not answer, keeps its rate.
void Card::try_high_speed() {
    if (register_layout() != RegisterLayout::sd || data_hz_ < default_data_hz ||
        link().capabilities().top_hz <= default_data_hz)
        return;
    std::array<std::uint8_t, switch_status_bytes> status{};
    if (command(cmd::switch_func, switch_to_high_speed, status.size() + crc_bytes + 12) != r1_ready) return;
    if (receive_register(status) != CardResult::ok || (status[switch_group1_byte] & 0x0F) != 1) return;
    data_hz_ = std::min(high_speed_hz, link().capabilities().top_hz);
    if (data_clock_throughout()) {
        bus_.flush();
        link().set_clock(data_hz_);
    }
}

CardResult Card::prepare(bool crc) {
    if (const CardResult id = identify(); id != CardResult::ok)
        return id == CardResult::unclear || id == CardResult::no_ocr ? id : CardResult::cmd1_failed;
    prepared_ = true;
    CardRegister csd{};
    if (read_csd(csd) == CardResult::ok) {
        if (const CardResult agreed = check_addressing(csd); agreed != CardResult::ok) return agreed;
        const CsdInfo info = decode_csd(csd, register_layout());
        if (!block_addressing_ && info.read_block_bytes != sector_size)
            (void)command(cmd::set_blocklen, static_cast<std::uint32_t>(sector_size));
        learn_capacity(csd);
        try_high_speed();
    }
    if (crc && command(cmd::crc_on_off, 1) == r1_ready) crc_on_ = true;
    return CardResult::ok;
}
