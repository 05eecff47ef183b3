// The journal of sectors a run could not put back: each sector's number
// and the 512 bytes it held, and the card they belong to (its CID), in a
// file only its owner can read, so that a later run puts them back.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "card/registers.h"
#include "disk/saving_device.h"

// The name a run's journal gets in the current directory.
[[nodiscard]] std::string journal_name(std::uint32_t run_tag);

// Writes a new journal (never over an existing file) of the sectors whose
// originals are known; cid all zeros when the card's is not known.
Outcome write_journal(const std::string& path, const CardRegister& cid, std::span<const LostOriginal> sectors);
// Reads a journal whole; anything but a journal of whole entries is refused.
Outcome read_journal(const std::string& path, CardRegister& cid, std::vector<LostOriginal>& sectors);
