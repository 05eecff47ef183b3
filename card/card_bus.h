// The card layer's side of the link: bytes to send are gathered and go out
// with the next read as one transaction; bytes read ahead wait in a window;
// a response that arrives some bits after a byte boundary is realigned, and
// the bytes after it are read at the same offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/spi_link.h"

class CardBus {
public:
    explicit CardBus(spi::Link& link) : link_(link) {}

    [[nodiscard]] spi::Link& link() { return link_; }

    void send(std::span<const std::uint8_t> bytes);
    void send(std::uint8_t byte) { send(std::span<const std::uint8_t>(&byte, 1)); }
    // Sends what is gathered; needed before the lines or the clock change.
    void flush();

    // The next byte at the current bit offset. expected: how many bytes the
    // caller will read from here, a hint for links that read ahead.
    [[nodiscard]] std::uint8_t receive(std::size_t expected = 1);
    void receive(std::span<std::uint8_t> into);
    // The bytes about to be read (a run of blocks): a link that reads ahead
    // asks for them all, up to its limit, until they are read or a send.
    void expect(std::size_t bytes) { expected_ = bytes; }

    // An R1 within max_bytes: the first byte that is not 0xFF, realigned to
    // its leading 0 bit, which sets the offset for the bytes that follow.
    // 0xFF when none came.
    [[nodiscard]] std::uint8_t response(int max_bytes, std::size_t expected);
    // A read's data token within min_bytes and at least budget_ns: the start
    // token, an error token, or 0xFF when none came. 0x00 bytes before it are
    // passed over. A start token that ends some bits after the R1's offset
    // (the first 0 bit after idle ones is its last bit) sets the offset for
    // the block after it; confirm_token() keeps that offset for the tokens
    // that follow, once the block proved it right.
    [[nodiscard]] std::uint8_t data_token(int min_bytes, std::uint64_t budget_ns, std::size_t expected);
    void confirm_token() { token_lateness_ = candidate_lateness_; }
    // A written block's data response within min_bytes, at the R1's offset
    // or at any bit offset of its own, as xxx0sss1 with a known status; 0xFF
    // when none came. Bytes that hold none are idle ones noise changed.
    [[nodiscard]] std::uint8_t data_response(int min_bytes, std::size_t expected);
    // Reads until DO is high again (0xFF), within min_bytes and at least
    // budget_ns; false when the card was still busy.
    [[nodiscard]] bool wait_ready(int min_bytes, std::uint64_t budget_ns);

private:
    [[nodiscard]] std::uint8_t raw(std::size_t expected);
    // The next byte begins `bits` (1 to 7) into the byte received last.
    void realign(int bits);

    spi::Link& link_;
    std::array<std::uint8_t, 1024> pending_{};
    std::size_t pending_size_ = 0;
    std::array<std::uint8_t, 32768> window_{};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::size_t expected_ = 0;
    std::size_t ahead_ = 0;      // bytes the link was asked to clock in after the window
    int shift_ = 0;              // bits the card's answers run behind the byte clock
    std::uint8_t carry_ = 0xFF;  // the raw byte read last, for a shifted read
    std::uint8_t began_in_ = 0xFF;  // the raw byte the byte received last began in
    int token_lateness_ = 0;     // bits a card's data tokens run behind its R1
    int candidate_lateness_ = 0;
    bool after_send_ = false;    // nothing read since the last send
};
