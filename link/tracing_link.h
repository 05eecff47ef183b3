// A trace of a byte link: one line per transaction (power, select, clock,
// pause, transfer), each stamped with the link's clock and the transfer
// decoded as far as its bytes tell: command and argument, R1, tokens,
// blocks with their length and CRC result.
#pragma once

#include <cstdio>
#include <memory>

#include "link/spi_link.h"

namespace spi {

class TracingLink final : public Link {
public:
    // Owns both the link it traces and the open file it writes to.
    TracingLink(std::unique_ptr<Link> inner, std::FILE* out)
        : owned_(std::move(inner)), inner_(*owned_), out_(out), start_ns_(inner_.now_ns()) {}
    ~TracingLink() override { (void)close(); }
    TracingLink(const TracingLink&) = delete;
    TracingLink& operator=(const TracingLink&) = delete;
    // Closes the trace; false when it could not be written completely.
    [[nodiscard]] bool close();

    bool start() override;
    void power(bool on) override;
    void select(bool selected) override;
    void stop() override;
    void transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) override;
    void clock_deselected(std::size_t bytes) override;
    void set_clock(std::uint32_t hz) override;
    void pause_ns(std::uint64_t ns) override;
    [[nodiscard]] std::uint64_t now_ns() override { return inner_.now_ns(); }
    [[nodiscard]] bool healthy() override { return inner_.healthy(); }
    [[nodiscard]] std::string fault() const override { return inner_.fault(); }
    [[nodiscard]] Capabilities capabilities() const override { return inner_.capabilities(); }

private:
    void stamp();
    void describe_out(std::span<const std::uint8_t> tx);
    void describe_in(std::span<const std::uint8_t> rx);

    std::unique_ptr<Link> owned_;
    Link& inner_;
    std::FILE* out_;
    std::uint64_t start_ns_;
    bool answer_due_ = false;       // a command went out: the next byte not 0xFF is its R1
    std::size_t block_left_ = 0;    // bytes of a block (and CRC) still coming in
    std::uint16_t block_crc_ = 0;
    std::uint16_t sent_crc_ = 0;
};

}  // namespace spi
