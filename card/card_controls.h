// The card's own commands beyond reading and writing sectors: its status
// (CMD13), the SD registers (ACMD51 SCR, ACMD13 SD Status, CMD6 in check
// mode), programming the CSD (CMD27), password lock (CMD42) and erase, of
// the card handed in. Busy waits are times on the link's clock.
#pragma once

#include <cstdint>
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

// The longest a forced erase of the whole card may take.
inline constexpr std::uint64_t force_erase_ms = 3 * 60 * 1000;
