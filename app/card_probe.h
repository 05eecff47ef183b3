// The probe on the card in the session.
#pragma once

#include "app/console.h"
#include "app/probe.h"

// The initialised card as the probe's block device: one sector a transfer;
// an ending signal (Ctrl+C and the like) stops the search.
class CardProbeDevice final : public ProbeDevice {
public:
    // Each transfer timed for the run's report, when there is one.
    CardResult read(std::uint32_t sector, std::span<std::uint8_t, sector_size> out) override;
    CardResult write(std::uint32_t sector, std::span<const std::uint8_t, sector_size> data) override;
    bool stop_requested() override { return console_signal_pending() != 0; }
};

// Probes the initialised card and reports; the exit status.
int probe_the_card();
