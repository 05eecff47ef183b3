// The registers a simulated card reports by default: a CSD whose capacity
// is the image's, a CID of a plausible card of its kind.
#pragma once

#include <cstdint>

#include "sim/settings.h"

// CSD 1.0 (SD) or MMC CSD for byte-addressed kinds, CSD 2.0 for sdhc/sdxc.
[[nodiscard]] CardRegister default_csd(CardKind kind, std::uint32_t sectors);
[[nodiscard]] CardRegister default_cid(CardKind kind);
// The OCR: voltage window, power-up done once ready, CCS for block addressing.
[[nodiscard]] std::uint32_t card_ocr(CardKind kind, bool ready);
[[nodiscard]] bool block_addressed(CardKind kind);
