#include "app/session.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "report/card_report.h"
#include "report/run_record.h"
#include "app/console/console.h"
#include "base/exit_status.h"
#include "base/file_lock.h"
#include "card/card.h"
#include "card/mmc_spi.h"
#include "disk/card_device.h"
#include "disk/timed_device.h"
#include "link/spi_link.h"
#include "portaccess/giveio.h"

namespace {

void report_level(int level) {
    switch (level) {
        case 0: return say("Can't Access Direct I/O\n");
        case 1: return say("Win95/98/Me\n");
        case 2: return say("Opened\n");
        case 3: return say("Started: Opened\n");
        case 4: return say("Installed: Started: Opened\n");
        default: return;
    }
}

// True when the card is ready for the browser.
bool report_init(CardResult result) {
    switch (result) {
        case CardResult::ok: say("OK\n"); return true;
        case CardResult::no_link: say("MMC hardware error\n"); return false;
        case CardResult::cmd0_failed: say("CMD0 response error\n"); return false;
        case CardResult::cmd1_failed: say("CMD1 response error\n"); return false;
        default: say("Error\n"); return false;
    }
}

const char* step_name(InitStep step) {
    switch (step) {
        case InitStep::cmd0: return "CMD0";
        case InitStep::cmd8: return "CMD8";
        case InitStep::cmd55: return "CMD55";
        case InitStep::acmd41: return "ACMD41";
        case InitStep::cmd58: return "CMD58";
        default: return "?";
    }
}

// After a card that did not come up: which ways were tried and what the
// card answered, on standard error.
void report_ways_tried(CardResult result, const InitRecord& r, Card& card) {
    if (result != CardResult::cmd0_failed && result != CardResult::cmd1_failed) return;
    char text[256];
    int at = std::snprintf(text, sizeof text, "the card did not come up: ");
    const auto add = [&](auto... parts) {
        at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), parts...);
    };
    if (result == CardResult::cmd0_failed) add("CMD0 answered %02X", r.cmd0_answer);
    else if (r.cmd1_answer == 0x01) add("CMD1 left it idle after %d tries", r.cmd1_tries);
    else add("CMD1 answered %02X", r.cmd1_answer);
    if (r.sd_way != InitWay::none) {
        add("; as an SD card version %d, ", r.sd_way == InitWay::sd_v2 ? 2 : 1);
        if (r.failed_step == InitStep::acmd41 && r.answer == 0x01) add("ACMD41 left it idle after %d tries", r.acmd41_tries);
        else if (r.failed_step == InitStep::cmd8 && r.answer == 0x01)
            add("CMD8 echoed %08X instead of 000001AA", static_cast<unsigned>(r.r7));
        else add("%s answered %02X", step_name(r.failed_step), r.answer);
    }
    // A card stuck in a transfer answers nothing until its supply goes off.
    if (result == CardResult::cmd0_failed && r.cmd0_answer == 0xFF && !card.link().capabilities().switches_supply)
        add("; no card there, or one stuck in a transfer that this adapter cannot power off: "
            "switch the card's supply off and on, then run again");
    report_failure(text);
}

// Sets the card up for the work, or says in one line why it could not be.
Outcome set_up(Card& card, CardSetup setup) {
    const CardResult ready = setup == CardSetup::known ? card.settle_addressing() : card.prepare(setup == CardSetup::checked_crc);
    switch (ready) {
        case CardResult::ok: return Outcome::ok();
        case CardResult::unclear:
            return Outcome::failed("the card's OCR and CSD disagree on whether it takes sector numbers or byte "
                                   "addresses; nothing was read or written");
        case CardResult::no_ocr:
            return Outcome::failed("the card did not send its OCR, which says whether it takes sector numbers or "
                                   "byte addresses; nothing was read or written");
        default: return Outcome::failed("could not tell whether the card is an MMC or an SD card");
    }
}

// Port access combines the driver, where the backend runs port instructions
// on an NT-family system, with the backend's own acquisition of the port.
// The level is 0 when it fails.
Outcome obtain_port_access(spi::Link& link, bool uses_port, int& level) {
    if (!uses_port) {
        level = 1;
        return Outcome::ok();
    }
    const bool driver = link.needs_io_privilege();
    bool left_installed = false;
    level = driver ? giveio_start(left_installed) : 1;
    if (level == 0) {
#ifdef _WIN64
        // A 64-bit Windows loads no driver of the 32-bit kind.
        std::string why = "cannot get port access through the giveio driver: 64-bit Windows cannot load it; reach the "
                          "card through an FTDI bridge (--port=ftdi)";
#else
        std::string why = "cannot get port access through the giveio driver: is giveio.sys in this directory?";
#endif
        if (left_installed)
            why += " The giveio service installed for this run could not be stopped and removed: sc stop giveio, sc "
                   "delete giveio";
        return Outcome::failed(why);
    }
    Outcome acquired = link.acquire();
    if (acquired) return acquired;
    if (driver) (void)giveio_stop(level);
    level = 0;
    return acquired;
}

// Gives the port back, then undoes what the driver did: 0, or the level
// when the driver could not be stopped or removed (1 when only the port
// could not be given back).
int give_port_access_back(spi::Link& link, bool uses_port, int level) {
    if (!uses_port) return 0;
    const bool released = link.release();
    const int stopped = link.needs_io_privilege() ? giveio_stop(level) : 0;
    if (stopped != 0) return stopped;
    return released ? 0 : 1;
}

// The mode over the card, timed for its report when --report asks for one;
// a report that cannot be written says so and makes the status 1.
int run_mode(Card& card, const CardWork& work, Operator& console) {
    CardDevice device(card);
    std::optional<CardReport> report;
    if (!work.report_path.empty()) report.emplace(card.capacity_sectors(), "vantacle " + work.report_title);
    TransferTally tally(report ? &*report : nullptr);
    TimedDevice timed(device, report || work.record ? &tally : nullptr);
    ModeRun run{card, timed, report ? &*report : nullptr, console, work.record};
    if (work.record) describe_card(card, *work.record);
    const int status = work.run(run);
    if (work.record) {
        work.record->read_rate = tally.rate(Transfer::read);
        work.record->write_rate = tally.rate(Transfer::write);
    }
    if (!report) return status;
    const Outcome written = write_report(*report, work.report_path);
    if (written) return status;
    report_failure(written.why());
    return status == ExitStatus::ok ? ExitStatus::failed : status;
}

int run_work(Card& card, const CardWork& work, Operator& console) {
    if (!work.guard) return run_mode(card, work, console);
    return work.guard(card, console, [&] { return run_mode(card, work, console); });
}

void closing_report(int level) {
    say("\nGIVEIO close: ");
    if (level == 3) say("Stop :");
    if (level == 4) say("Remove :Stop :");
    say("\n");
}

}  // namespace

int run_session(Card& card, const CardWork& work, bool uses_port, Operator& console) {
    int giveio_result = 0;
    say("Vantacle\n\n");
    say("Open GIVEIO for WinNT/2K/XP : ");
    const Outcome access = obtain_port_access(card.link(), uses_port, giveio_result);
    report_level(giveio_result);
    if (!access) {
        report_failure(access.why());
        return access.held_elsewhere() ? ExitStatus::failed : work.status_without_card;
    }
    say("Initialize MMC Card for SPI mode:");
    int status = work.status_without_card;
    const CardResult init = mmc_init_spi(card);
    if (report_init(init)) {
        if (Outcome ready = set_up(card, work.setup); ready) status = run_work(card, work, console);
        else report_failure(ready.why());
        mmc_disable(card);
    } else if (card.link().fault().empty()) {
        report_ways_tried(init, card.init_record(), card);
    }
    // The adapter failing is said in its own words, whatever the card seemed to answer.
    if (const std::string fault = card.link().fault(); !fault.empty()) {
        report_failure(fault);
        status = ExitStatus::failed;
    }
    closing_report(giveio_result);
    giveio_result = give_port_access_back(card.link(), uses_port, giveio_result);
    if (giveio_result == 3) say("Can't stop GIVEIO\n");
    if (giveio_result == 4) say("Can't remove GIVEIO\n");
    if (giveio_result != 0 && giveio_result != 3 && giveio_result != 4)
        report_failure("the port could not be given back");
    return giveio_result == 0 ? status : ExitStatus::failed;
}
