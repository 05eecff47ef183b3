// The probe on the card in the session: the card as the probe's block
// device, and the report.
#include "modes/card_probe.h"

#include <chrono>
#include <cstdio>

#include "base/text_out.h"
#include "report/card_report.h"
#include "report/run_record.h"
#include "base/exit_status.h"
#include "modes/progress.h"
#include "modes/sector_pattern.h"
#include "modes/units.h"
#include "base/operator.h"
#include "modes/probe.h"
#include "modes/put_back.h"
#include "disk/sector_device.h"

namespace {

constexpr const char* verdict_text(Verdict v) {
    switch (v) {
        case Verdict::genuine: return "genuine";
        case Verdict::counterfeit: return "counterfeit";
        case Verdict::uncertain: return "could not rule out a fake: run --fill";
        default: return "damaged";
    }
}

constexpr const char* kind_text(FakeKind k) {
    switch (k) {
        case FakeKind::wraps: return " (it wraps: writes past that land on lower sectors)";
        case FakeKind::drops: return " (it drops: writes past that are lost)";
        case FakeKind::limbo: return " (limbo: writes past that are lost, reads show other data)";
        default: return "";
    }
}

void list(const char* what, const std::vector<std::uint32_t>& sectors, const char* detail) {
    for (std::uint32_t s : sectors) text_printf("%s %s%s\n", what, sector_text(s).c_str(), detail);
}

void say_sectors(const char* what, std::uint64_t sectors) {
    text_printf("%s: %llu sectors (%s)\n", what, static_cast<unsigned long long>(sectors), size_text(sectors * sector_size).c_str());
}

// What the probe found, for the report: the usable sectors good, those past
// them overwritten (the card wraps) or lost, failed ones bad.
void add_to_report(CardReport* report, const ProbeReport& found) {
    if (!report || found.verdict == Verdict::interrupted) return;
    report->add(0, found.usable, SectorState::good);
    report->add(found.usable, found.claimed - found.usable, found.kind == FakeKind::wraps ? SectorState::overwritten : SectorState::lost);
    for (std::uint32_t s : found.failed) report->move(s, s < found.usable ? SectorState::good : SectorState::lost, SectorState::bad);
}

}  // namespace

int probe_the_card(ModeRun& run) {
    SectorDevice& card = run.device;
    const std::uint32_t rereads_before = card.rereads();
    std::uint32_t sizing = 0;
    std::uint64_t claimed = card.sectors();
    if (claimed == 0) claimed = probe_capacity(card, sizing);
    say_sectors("claimed", claimed);
    text_flush();
    SavingDevice saver(card);
    const ProbeReport report = probe(saver, [&run] { return run.console.stop_requested(); }, claimed, new_run_tag());
    add_to_report(run.report, report);
    list("bad sector", report.failed, ": transfer failed");
    list("sector", report.not_restored, " NOT put back");
    (void)keep_unrestored(run, saver);
    if (report.verdict == Verdict::interrupted) {
        text_printf("stopped: nothing verdict; %s\n", report.not_restored.empty() ? "every sector it wrote over was put back"
                                                                                   : "some sectors were NOT put back");
    } else {
        if (report.usable_known) say_sectors("usable", report.usable);
        text_printf("verdict: %s%s\n", verdict_text(report.verdict), kind_text(report.kind));
    }
    text_printf("probed with %u transfers, %u sectors put back, %u re-read\n",
                static_cast<unsigned>(report.transfers + sizing), static_cast<unsigned>(report.saved),
                static_cast<unsigned>(card.rereads() - rereads_before));
    if (RunRecord* record = run.record) {
        record->claimed_sectors = claimed;
        if (report.usable_known) record->usable_sectors = report.usable;
        record->verdict = report.verdict == Verdict::interrupted ? "interrupted"
                          : report.verdict == Verdict::uncertain ? "uncertain"
                                                                  : verdict_text(report.verdict);
        record->bad = report.failed.size();
        record->reread = card.rereads() - rereads_before;
        record->interrupted = report.verdict == Verdict::interrupted;
    }
    return report.verdict == Verdict::genuine ? ExitStatus::ok : ExitStatus::failed;
}
