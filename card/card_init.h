// Card state shared inside the card layer: how the card came up and how it
// is addressed. Only card/ uses it.
#pragma once

#include <cstdint>

namespace card_state {

// Forgets everything known about the card (a new initialisation).
void forget();
void count_rereads(int count);
// The capacity read from the CSD since the last initialisation, if any.
[[nodiscard]] bool capacity_known(std::uint64_t& sectors);
void remember_capacity(std::uint64_t sectors);

}  // namespace card_state
