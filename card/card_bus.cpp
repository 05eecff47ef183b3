#include "card/card_bus.h"

#include <algorithm>
#include <utility>

namespace {
constexpr std::uint8_t idle_byte = 0xFF;
constexpr std::uint64_t slow_busy_poll_ns = 100'000;  // between polls of a card busy for long

// Leading 1 bits of a byte that is not 0xFF: idle bits before a late answer.
int leading_ones(std::uint8_t byte) {
    int n = 0;
    while (byte & (0x80 >> n)) ++n;
    return n;
}
}  // namespace

void CardBus::send(std::span<const std::uint8_t> bytes) {
    // Bytes read ahead belong to the answer before this one; what the card
    // sends while it listens is idle, which is what a shifted read carries in.
    head_ = tail_ = 0;
    expected_ = 0;
    after_send_ = true;
    while (!bytes.empty()) {
        if (pending_size_ == pending_.size()) flush();
        const std::size_t n = std::min(bytes.size(), pending_.size() - pending_size_);
        std::copy_n(bytes.begin(), n, pending_.begin() + static_cast<std::ptrdiff_t>(pending_size_));
        pending_size_ += n;
        bytes = bytes.subspan(n);
    }
}

void CardBus::flush() {
    if (pending_size_ == 0) return;
    link_.transfer(std::span(pending_).first(pending_size_), std::span<std::uint8_t>{});
    pending_size_ = 0;
}

std::uint8_t CardBus::raw(std::size_t expected) {
    if (head_ == tail_) {
        const std::size_t ahead = std::min(link_.capabilities().read_ahead, window_.size());
        const std::size_t n = std::clamp<std::size_t>(std::max(expected, expected_), 1, ahead);
        link_.transfer(std::span(pending_).first(pending_size_), std::span(window_).first(n));
        pending_size_ = 0;
        head_ = 0;
        tail_ = n;
    }
    if (expected_ > 0) --expected_;
    return window_[head_++];
}

std::uint8_t CardBus::receive(std::size_t expected) {
    if (shift_ == 0) return raw(expected);
    // The first byte clocked in after a send starts with the tail of what
    // the card sent while it listened: the card's next byte begins in it.
    if (std::exchange(after_send_, false)) carry_ = raw(expected + 1);
    const std::uint8_t next = raw(expected);
    const auto byte = static_cast<std::uint8_t>(carry_ << shift_ | next >> (8 - shift_));
    carry_ = next;
    return byte;
}

// A span that nothing is read ahead of, and that is all the link would
// read ahead, is clocked in as one transfer: the same bytes in the same
// order as one at a time, without the per-byte calls.
void CardBus::receive(std::span<std::uint8_t> into) {
    const std::size_t ahead = std::min(link_.capabilities().read_ahead, window_.size());
    if (shift_ == 0 && head_ == tail_ && std::min(std::max(expected_, into.size()), ahead) <= into.size()) {
        link_.transfer(std::span(pending_).first(pending_size_), into);
        pending_size_ = 0;
        expected_ -= std::min(expected_, into.size());
        return;
    }
    std::size_t left = into.size();
    for (auto& byte : into) byte = receive(left--);
}

std::uint8_t CardBus::response(int max_bytes, std::size_t expected) {
    shift_ = 0;
    for (int i = 0; i < max_bytes; ++i) {
        const std::uint8_t byte = raw(expected);
        if (byte == idle_byte) continue;
        shift_ = leading_ones(byte);
        after_send_ = false;
        if (shift_ == 0) return byte;
        carry_ = byte;
        return receive(expected);
    }
    return idle_byte;
}

std::uint8_t CardBus::await(int min_bytes, std::uint64_t budget_ns, std::size_t expected,
                            bool (*can_be)(std::uint8_t)) {
    const std::uint64_t start = link_.now_ns();
    for (int i = 1;; ++i) {
        const std::uint8_t byte = receive(expected);
        if (byte != idle_byte && can_be(byte)) return byte;
        if (i >= min_bytes && link_.now_ns() - start >= budget_ns) return idle_byte;
    }
}

// Most cards are ready at once: a link that reads ahead asks for a few
// bytes first and for more the longer the card stays busy. A card still
// busy after min_bytes is slow: it is then asked a byte at a time, with a
// pause between, rather than clocked flat out for up to the whole budget.
bool CardBus::wait_ready(int min_bytes, std::uint64_t budget_ns) {
    const std::uint64_t start = link_.now_ns();
    for (int i = 1;; ++i) {
        const bool slow = i > min_bytes;
        if (slow && head_ == tail_) {
            flush();
            link_.pause_ns(slow_busy_poll_ns);
        }
        if (receive(slow ? 1 : std::size_t{8} << std::min(i / 8, 12)) == idle_byte) return true;
        if (i >= min_bytes && link_.now_ns() - start >= budget_ns) return false;
    }
}
