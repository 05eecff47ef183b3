// The bytes a card has queued for DO: runs of one repeated byte, of a
// buffer that stays put until sent, or of one byte held until a time on
// the card's clock. Busy runs are the card programming: DO held low.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

class OutQueue {
public:
    // No answer of the card takes more runs than this.
    static constexpr std::size_t capacity = 10;

    void clear() {
        head_ = tail_ = 0;
        late_ = late_marked_ = sent_busy_ = false;
    }
    // Bytes from the next run queued on are late (late() true once the
    // first of them is sent), until clear().
    void late_from_here() {
        late_marked_ = true;
        late_at_ = tail_;
    }
    [[nodiscard]] bool late() const { return late_; }
    // True while the byte last handed out came from a busy run.
    [[nodiscard]] bool sent_busy() const { return sent_busy_; }
    // True once the busy time the byte last handed out belongs to is over.
    [[nodiscard]] bool busy_over(std::uint64_t now_ns) const {
        return sent_busy_ && busy_until_ns_ != 0 && now_ns >= busy_until_ns_;
    }
    [[nodiscard]] bool empty(std::uint64_t now_ns) {
        while (head_ != tail_ && runs_[head_].count == 0 && now_ns >= runs_[head_].until_ns) ++head_;
        return head_ == tail_;
    }
    void fill(std::uint8_t byte, std::uint32_t count) { push({nullptr, byte, count, 0, false}); }
    void bytes(std::span<const std::uint8_t> data) {
        push({data.data(), 0, static_cast<std::uint32_t>(data.size()), 0, false});
    }
    // `byte` for as long as the card's clock is before until_ns.
    void hold(std::uint8_t byte, std::uint64_t until_ns) { push({nullptr, byte, 0, until_ns, false}); }
    // DO low for count bytes, then for as long as the card's clock is
    // before until_ns.
    void busy(std::uint32_t count, std::uint64_t until_ns) {
        push({nullptr, 0x00, count, 0, true});
        push({nullptr, 0x00, 0, until_ns, true});
    }
    // The next byte for DO; 0xFF, an undriven line, when nothing is queued.
    [[nodiscard]] std::uint8_t next(std::uint64_t now_ns) {
        sent_busy_ = false;
        if (empty(now_ns)) return 0xFF;
        if (late_marked_ && head_ >= late_at_) late_ = true;
        Run& run = runs_[head_];
        sent_busy_ = run.busy;
        busy_until_ns_ = run.count == 0 ? run.until_ns : 0;
        if (run.count == 0) return run.byte;
        --run.count;
        return run.data ? *run.data++ : run.byte;
    }

private:
    struct Run {
        const std::uint8_t* data;
        std::uint8_t byte;
        std::uint32_t count;
        std::uint64_t until_ns;
        bool busy;
    };
    // A run that does not fit is a fault of the card model itself: stop
    // rather than send a wrong answer.
    void push(Run run) {
        if (run.count == 0 && run.until_ns == 0) return;
        if (empty(0)) {
            head_ = tail_ = 0;
            late_at_ = 0;
        }
        if (tail_ == runs_.size()) {
            std::fputs("vantacle: the simulated card's answer does not fit its output queue\n", stderr);
            std::abort();
        }
        runs_[tail_++] = run;
    }
    std::array<Run, capacity> runs_{};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    bool late_marked_ = false;
    bool late_ = false;
    std::size_t late_at_ = 0;
    bool sent_busy_ = false;
    std::uint64_t busy_until_ns_ = 0;
};
