// The simulated card (or an empty socket) behind a parallel port: the data
// register drives its lines, the status register shows its DO.
#pragma once

#include <memory>

#include "base/outcome.h"
#include "port/line_driver.h"
#include "sim/settings.h"
#include "sim/sim_card.h"

class SimPort final : public LineDriver {
public:
    // Opens the card's image; on failure makes nothing.
    static Outcome open(const SimSettings& settings, std::unique_ptr<SimPort>& made);

    void write_data(std::uint8_t lines) override { card_->write_lines(lines); }
    std::uint8_t read_status() override { return card_->read_status(); }
    // The card stays in its socket, its image open, until the port goes:
    // a run of cards one after another takes the port again.
    [[nodiscard]] bool release() override { return true; }
    [[nodiscard]] bool link_ok() override { return link_up_; }
    [[nodiscard]] std::uint64_t now_ns() override { return card_->now_ns(); }
    void pause_ns(std::uint64_t ns) override { card_->pass(ns); }

    [[nodiscard]] SimCard& card() { return *card_; }

private:
    SimPort(std::unique_ptr<SimCard> card, bool link_up) : card_(std::move(card)), link_up_(link_up) {}

    std::unique_ptr<SimCard> card_;
    bool link_up_;
};
