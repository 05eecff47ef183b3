// The card's own commands beyond reading and writing sectors: its status
// (CMD13), the SD registers (ACMD51 SCR, ACMD13 SD Status, CMD6 in check
// mode), programming the CSD (CMD27), password lock (CMD42) and erase, of
// the card handed in. Busy waits are times on the link's clock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "card/card_types.h"
#include "card/registers.h"
#include "card/sd_registers.h"

class Card;

// CMD13: the status byte that follows R1 (see status_bits).
CardResult card_read_status(Card& card, std::uint8_t& status);
// SD cards only.
CardResult card_read_scr(Card& card, ScrRegister& scr);
CardResult card_read_sd_status(Card& card, SdStatusBlock& status);
// CMD6 in check mode, asking whether high speed could be switched to.
CardResult card_switch_check(Card& card, SwitchStatusBlock& status);

// CMD27: the whole CSD as a data block (its CRC7 byte as given), then busy.
CardResult card_program_csd(Card& card, const CardRegister& csd);

// CMD16 to the block's length, CMD42 with the block, busy (up to busy_ms),
// CMD16 back to 512, then CMD13: its status byte tells whether the card
// took the command (status_bits::lock_failed clear).
CardResult card_lock_unlock(Card& card, std::span<const std::uint8_t> block, std::uint64_t busy_ms, std::uint8_t& status);

// Erases sectors first to last: CMD32/CMD33 on SD, CMD35/CMD36 on MMC, then
// CMD38 and its busy time, up to busy_ms.
CardResult card_erase(Card& card, std::uint32_t first, std::uint32_t last, std::uint64_t busy_ms);

// Sectors the card erases at a time: an SD card single blocks when
// ERASE_BLK_EN is set, else SECTOR_SIZE + 1; an MMC its erase group.
[[nodiscard]] std::uint32_t card_erase_unit(const CardRegister& csd, RegisterLayout layout);

// How a range is erased: its whole erase units, [units_from, units_to), by
// erase commands; the sectors before and after them by writing the erased
// value. A range inside one unit has no whole unit: every sector is written.
struct EraseSpans {
    std::uint64_t units_from;
    std::uint64_t units_to;
};
constexpr EraseSpans erase_spans(std::uint64_t start, std::uint64_t count, std::uint32_t unit) {
    const std::uint64_t end = start + count;
    const std::uint64_t from = (start + unit - 1) / unit * unit;
    const std::uint64_t to = end / unit * unit;
    if (to <= from) return {end, end};
    return {from, to};
}

// 0x00 or 0xFF when every byte of the sector is that value: what erased
// sectors read as, whatever the card's SCR says.
[[nodiscard]] std::optional<std::uint8_t> erased_value_of(std::span<const std::uint8_t, sector_size> sector);

// The longest a forced erase of the whole card may take.
inline constexpr std::uint64_t force_erase_ms = 3 * 60 * 1000;
