#include "link/tracing_link.h"

#include <algorithm>
#include <cinttypes>

#include "base/crc.h"

namespace spi {

namespace {
constexpr std::size_t block_bytes = 512;
constexpr std::size_t frame_bytes = 6;
constexpr std::size_t crc_bytes = 2;
constexpr std::uint8_t start_token = 0xFE;
constexpr std::uint8_t multi_write_token = 0xFC;
constexpr std::uint8_t stop_token = 0xFD;

}  // namespace

bool TracingLink::close() {
    if (!out_) return true;
    const bool written = !std::ferror(out_);
    const bool closed = std::fclose(out_) == 0;
    out_ = nullptr;
    return written && closed;
}

void TracingLink::stamp() {
    const std::uint64_t us = (inner_.now_ns() - start_ns_) / 1000;
    std::fprintf(out_, "%10" PRIu64 ".%03" PRIu64 " ms ", us / 1000, us % 1000);
}

bool TracingLink::start() {
    const bool usable = inner_.start();
    stamp();
    std::fprintf(out_, "start: %s\n", usable ? "link usable" : "link cannot reach the card");
    return usable;
}

void TracingLink::power(bool on) {
    inner_.power(on);
    stamp();
    std::fprintf(out_, "supply %s\n", on ? "on" : "off");
}

void TracingLink::select(bool selected) {
    inner_.select(selected);
    stamp();
    std::fprintf(out_, "%s\n", selected ? "select (CS low)" : "deselect (CS high)");
}

void TracingLink::stop() {
    inner_.stop();
    stamp();
    std::fputs("stop: every line low\n", out_);
}

void TracingLink::clock_deselected(std::size_t bytes) {
    stamp();
    inner_.clock_deselected(bytes);
    std::fprintf(out_, "wake-up: %zu bytes of FF with CS high\n", bytes);
}

void TracingLink::set_clock(std::uint32_t hz) {
    inner_.set_clock(hz);
    stamp();
    std::fprintf(out_, "clock %" PRIu32 " Hz\n", hz);
}

void TracingLink::pause_ns(std::uint64_t ns) {
    stamp();
    std::fprintf(out_, "pause %" PRIu64 " us\n", ns / 1000);
    inner_.pause_ns(ns);
}

void TracingLink::transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) {
    stamp();
    inner_.transfer(tx, rx);
    if (!tx.empty()) describe_out(tx);
    if (!rx.empty()) describe_in(rx);
    std::fputc('\n', out_);
}

// Command frames, data blocks and tokens among the bytes sent.
void TracingLink::describe_out(std::span<const std::uint8_t> tx) {
    std::fprintf(out_, " out %zu:", tx.size());
    for (std::size_t i = 0; i < tx.size();) {
        const std::uint8_t b = tx[i];
        if ((b & 0xC0) == 0x40 && tx.size() - i >= frame_bytes) {
            std::fprintf(out_, " CMD%u %02X%02X%02X%02X crc %02X", b & 0x3F, tx[i + 1], tx[i + 2], tx[i + 3], tx[i + 4],
                         tx[i + 5]);
            answer_due_ = true;
            block_left_ = 0;
            i += frame_bytes;
        } else if ((b == start_token || b == multi_write_token) && tx.size() - i >= 1 + crc_bytes) {
            // A sector, or a shorter block that ends the transfer (a CSD, a lock block).
            const std::size_t length = std::min(block_bytes, tx.size() - i - 1 - crc_bytes);
            std::fprintf(out_, " token %02X block %zu crc %02X%02X", b, length, tx[i + 1 + length], tx[i + 2 + length]);
            i += 1 + length + crc_bytes;
        } else {
            if (b == stop_token) std::fputs(" stop token", out_);
            ++i;
        }
    }
}

// The answer to a command, then start tokens and the blocks after them,
// which may run on into the next transfer.
void TracingLink::describe_in(std::span<const std::uint8_t> rx) {
    std::fprintf(out_, " in %zu:", rx.size());
    for (const std::uint8_t b : rx) {
        if (block_left_ > 0) {
            if (block_left_ > 2) block_crc_ = crc::crc16_add(block_crc_, b);
            else sent_crc_ = static_cast<std::uint16_t>(sent_crc_ << 8 | b);
            if (--block_left_ == 0) std::fprintf(out_, " block %zu crc %s", block_bytes, block_crc_ == sent_crc_ ? "ok" : "BAD");
        } else if (b != 0xFF && answer_due_) {
            std::fprintf(out_, " R1 %02X", b);
            answer_due_ = false;
        } else if (b == start_token) {
            std::fputs(" token FE", out_);
            block_left_ = block_bytes + 2;
            block_crc_ = sent_crc_ = 0;
        }
    }
    if (block_left_ > 0) std::fputs(" ...", out_);
}

}  // namespace spi
