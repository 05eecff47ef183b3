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
    // The first byte at the offset of the last R1 that can be what is awaited
    // (a token or a data response, whose leading bits may be 1s), within
    // min_bytes and at least budget_ns; 0xFF when none came. Other bytes are
    // idle ones that noise changed, and are passed over.
    [[nodiscard]] std::uint8_t await(int min_bytes, std::uint64_t budget_ns, std::size_t expected,
                                     bool (*can_be)(std::uint8_t));
    // Reads until DO is high again (0xFF), within min_bytes and at least
    // budget_ns; false when the card was still busy.
    [[nodiscard]] bool wait_ready(int min_bytes, std::uint64_t budget_ns);

private:
    [[nodiscard]] std::uint8_t raw(std::size_t expected);

    spi::Link& link_;
    std::array<std::uint8_t, 1024> pending_{};
    std::size_t pending_size_ = 0;
    std::array<std::uint8_t, 32768> window_{};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::size_t expected_ = 0;
    int shift_ = 0;              // bits the card's answers run behind the byte clock
    std::uint8_t carry_ = 0xFF;  // the raw byte read last, for a shifted read
    bool after_send_ = false;    // nothing read since the last send
};
