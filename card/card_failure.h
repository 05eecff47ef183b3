// A failed transfer in words: the step, the card's own byte and what it
// means, and what the card's status said when it was asked why.
#pragma once

#include <string>

#include "card/card_types.h"

// Such as "data response 0D: write error", "token 04: card ECC failed",
// "R1 08: com CRC error; card status: write-protected".
[[nodiscard]] std::string describe_failure(const CardFailure& failure);
