// The registers a simulated card reports by default: a CSD whose capacity
// is the image's, a CID of a plausible card of its kind.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/settings.h"

// CSD 1.0 (SD) or MMC CSD for byte-addressed kinds, CSD 2.0 for sdhc/sdxc;
// READ_BL_LEN at least block_len.
[[nodiscard]] CardRegister default_csd(CardKind kind, std::uint32_t sectors, std::uint32_t block_len = 512);
// serial: the card's own in place of its kind's (24 bits of it on an mmc1).
[[nodiscard]] CardRegister default_cid(CardKind kind, std::optional<std::uint32_t> serial = {});
// The OCR: voltage window, power-up done once ready, CCS (or an MMC's sector
// mode) for block addressing.
[[nodiscard]] std::uint32_t card_ocr(CardKind kind, bool ready);
[[nodiscard]] bool block_addressed(CardKind kind);
// The CSD's erase fields set to whole units of `sectors` (an SD card with
// ERASE_BLK_EN clear; an MMC's group of up to 32 * 32), its CRC7 sealed again.
void set_erase_unit(CardRegister& csd, CardKind kind, std::uint32_t sectors);
