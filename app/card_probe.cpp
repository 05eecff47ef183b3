// The probe on the card in the session: the card as the probe's block
// device, and the report.
#include <chrono>
#include <cstdio>
#include <random>

#include "app/card_probe.h"
#include "app/progress.h"

namespace {

constexpr const char* verdict_text(Verdict v) {
    switch (v) {
        case Verdict::genuine: return "genuine";
        case Verdict::counterfeit: return "counterfeit";
        default: return "damaged";
    }
}

std::uint32_t run_id() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::random_device{}() ^ static_cast<std::uint32_t>(now);
}

void list(const char* what, const std::vector<std::uint32_t>& sectors, const char* detail) {
    for (std::uint32_t s : sectors) report_sector(what, s, detail);
}

}  // namespace

int probe_the_card() {
    CardProbeDevice card;
    const std::uint32_t rereads_before = spi_rereads();
    std::uint32_t sizing = 0;
    std::uint64_t claimed = card_capacity_sectors();
    if (claimed == 0) claimed = probe_capacity(card, sizing);
    std::printf("claimed: %llu sectors\n", static_cast<unsigned long long>(claimed));
    std::fflush(stdout);
    const ProbeReport report = probe(card, claimed, run_id());
    list("bad sector", report.failed, ": transfer failed");
    list("sector", report.not_restored, " NOT put back");
    if (report.verdict != Verdict::interrupted) {
        std::printf("usable: %llu sectors\nverdict: %s\n", static_cast<unsigned long long>(report.usable),
                    verdict_text(report.verdict));
    }
    std::printf("probed with %u transfers, %u sectors put back, %u re-read\n",
                static_cast<unsigned>(report.transfers + sizing), static_cast<unsigned>(report.saved),
                static_cast<unsigned>(spi_rereads() - rereads_before));
    return report.verdict == Verdict::genuine ? 0 : 1;
}
