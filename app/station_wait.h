// Card after card in a socket: a gentle look for the card now and then
// (supply on, wake-up clocks, CMD0, supply off) until it comes or goes.
#pragma once

#include "link/spi_link.h"

enum class CardWait { present, gone };

// Looks until a card answers (present) or two looks in a row find none
// (gone), sleeping between looks: true then; false when the ending signal
// came or the link failed (said in one line).
[[nodiscard]] bool wait_for_card(spi::Link& link, CardWait until);
