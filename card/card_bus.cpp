#include "card/card_bus.h"

#include <algorithm>
#include <utility>

#include "card/protocol.h"

namespace {
constexpr std::uint8_t idle_byte = 0xFF;
constexpr std::uint8_t filler_byte = 0x00;
constexpr std::uint64_t slow_busy_poll_ns = 100'000;  // between polls of a card busy for long

// Leading 1 bits of a byte that is not 0xFF: idle bits before a late answer.
int leading_ones(std::uint8_t byte) {
    int n = 0;
    while (byte & (0x80 >> n)) ++n;
    return n;
}

bool known_response(std::uint32_t five_bits) {
    const auto status = static_cast<std::uint8_t>(five_bits & protocol::data_response_mask);
    return status == protocol::data_accepted || status == protocol::data_crc_error || status == protocol::data_write_error;
}
}  // namespace

void CardBus::send(std::span<const std::uint8_t> bytes) {
    // Bytes read ahead belong to the answer before this one; what the card
    // sends while it listens is idle, which is what a shifted read carries in.
    head_ = tail_ = 0;
    expected_ = 0;
    ahead_ = 0;  // the link drops them when it sends
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
        // What goes out with the read shares the link's transaction with it.
        const std::size_t room = ahead > pending_size_ ? ahead - pending_size_ : 1;
        const std::size_t wanted = std::max(expected, expected_);
        const std::size_t n = ahead_ > 0 ? ahead_ : std::clamp<std::size_t>(wanted, 1, room);
        // The rest of an announced run goes out behind this window.
        ahead_ = ahead > 1 && wanted > n ? std::min(wanted - n, ahead) : 0;
        link_.transfer_then(std::span(pending_).first(pending_size_), std::span(window_).first(n), ahead_);
        pending_size_ = 0;
        head_ = 0;
        tail_ = n;
    }
    if (expected_ > 0) --expected_;
    return window_[head_++];
}

std::uint8_t CardBus::receive(std::size_t expected) {
    if (shift_ == 0) return began_in_ = raw(expected);
    // The first byte clocked in after a send starts with the tail of what
    // the card sent while it listened: the card's next byte begins in it.
    if (std::exchange(after_send_, false)) carry_ = raw(expected + 1);
    const std::uint8_t next = raw(expected);
    const auto byte = static_cast<std::uint8_t>(carry_ << shift_ | next >> (8 - shift_));
    began_in_ = carry_;
    carry_ = next;
    return byte;
}

// The raw byte after began_in_ is carry_ on a shifted read (the last one
// taken from the window, which can give it back) and the next one else.
void CardBus::realign(int bits) {
    const bool shifted = shift_ > 0;
    const int start = shift_ + bits;
    if (start < 8) {
        if (shifted) --head_;
        carry_ = began_in_;
        shift_ = start;
    } else {
        shift_ = start - 8;
        if (shift_ == 0) --head_;
    }
    after_send_ = false;
}

// A span that nothing is read ahead of, and that is all the link would
// read ahead, is clocked in as one transfer: the same bytes in the same
// order as one at a time, without the per-byte calls.
void CardBus::receive(std::span<std::uint8_t> into) {
    const std::size_t ahead = std::min(link_.capabilities().read_ahead, window_.size());
    if (shift_ == 0 && head_ == tail_ && ahead_ == 0 && std::min(std::max(expected_, into.size()), ahead) <= into.size()) {
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

std::uint8_t CardBus::data_token(int min_bytes, std::uint64_t budget_ns, std::size_t expected) {
    const std::uint64_t start = link_.now_ns();
    int offset = 0;  // bits moved from the R1's offset
    for (int i = 1;; ++i) {
        const std::uint8_t byte = receive(expected);
        if (byte == idle_byte && offset != token_lateness_) {
            realign(token_lateness_);
            offset = token_lateness_;
        } else if (byte == protocol::data_start_token || protocol::is_error_token(byte)) {
            candidate_lateness_ = offset;
            return byte;
        } else if (byte != idle_byte && byte != filler_byte) {
            const int late = leading_ones(byte) + 1;
            realign(late);
            candidate_lateness_ = (offset + late) % 8;
            return protocol::data_start_token;
        }
        if (i >= min_bytes && link_.now_ns() - start >= budget_ns) return idle_byte;
    }
}

// The first 0 bit after idle ones begins 0sss1, or the card's xxx bits
// when they are 000 (then 0sss1 follows them).
std::uint8_t CardBus::data_response(int min_bytes, std::size_t expected) {
    for (int i = 0; i < min_bytes; ++i) {
        const std::uint8_t byte = receive(expected);
        if (byte == idle_byte) continue;
        if (known_response(byte)) return byte;
        const int zero = leading_ones(byte);
        std::uint32_t bits = byte;
        int have = 8;
        while (have < zero + 8) bits = bits << 8 | receive(expected), have += 8;
        const auto at = [&](int p) { return bits >> (have - p - 5) & 0x1F; };
        if (known_response(at(zero))) return static_cast<std::uint8_t>(0xE0 | at(zero));
        if ((at(zero) & 0x1E) == 0 && known_response(at(zero + 3)))
            return static_cast<std::uint8_t>(0xE0 | at(zero + 3));
    }
    return idle_byte;
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
