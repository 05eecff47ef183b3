#include "card/card_failure.h"

#include <array>
#include <cstdio>

namespace {

struct Bit {
    std::uint8_t mask;
    const char* meaning;
};

// R1 in SPI mode.
constexpr std::array<Bit, 7> r1_bits{{{0x40, "parameter error"},
                                      {0x20, "address error"},
                                      {0x10, "erase sequence error"},
                                      {0x08, "com CRC error"},
                                      {0x04, "illegal command"},
                                      {0x02, "erase reset"},
                                      {0x01, "idle"}}};
// A data error token.
constexpr std::array<Bit, 4> token_bits{{{0x08, "out of range"},
                                         {0x04, "card ECC failed"},
                                         {0x02, "card controller error"},
                                         {0x01, "error"}}};
// The second byte of CMD13's R2.
constexpr std::array<Bit, 8> status_bits{{{0x80, "out of range"},
                                          {0x40, "erase parameter"},
                                          {0x20, "write-protected"},
                                          {0x10, "card ECC failed"},
                                          {0x08, "card controller error"},
                                          {0x04, "error"},
                                          {0x02, "write-protect erase skip or lock command failed"},
                                          {0x01, "locked"}}};

template <std::size_t N>
std::string meanings(const std::array<Bit, N>& bits, std::uint8_t byte) {
    std::string text;
    for (const Bit& bit : bits) {
        if (!(byte & bit.mask)) continue;
        if (!text.empty()) text += ", ";
        text += bit.meaning;
    }
    return text;
}

std::string byte_and(const char* what, std::uint8_t byte, const std::string& meaning) {
    char head[32];
    std::snprintf(head, sizeof head, "%s %02X", what, byte);
    return meaning.empty() ? head : std::string(head) + ": " + meaning;
}

std::string data_response_meaning(std::uint8_t byte) {
    switch (byte & 0x1F) {
        case 0x05: return "accepted";
        case 0x0B: return "CRC error";
        case 0x0D: return "write error";
        default: return "not a data response";
    }
}

std::string step_text(const CardFailure& f) {
    switch (f.step) {
        case FailStep::command:
            if (f.byte == 0xFF) return "no answer to CMD" + std::to_string(f.index);
            return byte_and("R1", f.byte, (f.byte & 0x80) ? "not an R1" : meanings(r1_bits, f.byte));
        case FailStep::token:
            if (f.byte == 0xFF) return "no data token";
            if (f.byte & 0xF0) return byte_and("token", f.byte, "not a data token");
            return byte_and("token", f.byte, meanings(token_bits, f.byte));
        case FailStep::data_response:
            if (f.byte == 0xFF) return "no data response";
            return byte_and("data response", f.byte & 0x1F, data_response_meaning(f.byte));
        case FailStep::busy: return "still busy after the card's time";
        case FailStep::block_crc: return "block CRC16 wrong";
        case FailStep::none: break;
    }
    return "failed";
}

}  // namespace

std::string describe_failure(const CardFailure& failure) {
    std::string text = step_text(failure);
    if (failure.status_read && failure.status != 0) text += "; card status: " + meanings(status_bits, failure.status);
    return text;
}
