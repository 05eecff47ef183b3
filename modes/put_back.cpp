#include "modes/put_back.h"

#include <algorithm>
#include <cstdio>

#include "base/escape.h"
#include "base/exit_status.h"
#include "base/text_out.h"
#include "card/card.h"
#include "disk/restore_journal.h"
#include "modes/progress.h"
#include "modes/sector_pattern.h"

namespace {

// The card's CID, all zeros when it cannot be read.
CardRegister card_identity(Card& card) {
    CardRegister cid{};
    if (card.read_cid(cid) != CardResult::ok) cid.fill(0);
    return cid;
}

bool known(const CardRegister& cid) {
    return std::any_of(cid.begin(), cid.end(), [](std::uint8_t b) { return b != 0; });
}

}  // namespace

bool keep_unrestored(ModeRun& run, const SavingDevice& saver) {
    const auto& lost = saver.unrestored();
    if (lost.empty()) return true;
    const std::string path = journal_name(new_run_tag());
    const std::size_t count = lost.size();
    const bool one = count == 1;
    if (Outcome kept = write_journal(path, card_identity(run.card), lost); !kept) {
        text_printf("%zu %s NOT put back and what %s held could not be kept: %s\n", count, one ? "sector was" : "sectors were",
                    one ? "it" : "they", kept.why().c_str());
        return false;
    }
    text_printf("%zu %s NOT put back: what %s held is in %s; vantacle --restore=%s puts %s back\n", count,
                one ? "sector was" : "sectors were", one ? "it" : "they", escaped(path).c_str(), escaped(path).c_str(),
                one ? "it" : "them");
    return false;
}

Outcome open_journal(const std::string& path, Journal& journal) {
    journal.path = path;
    return read_journal(path, journal.cid, journal.sectors);
}

int restore_journal(ModeRun& run, const Journal& journal) {
    const std::string name = escaped(journal.path);
    if (const CardRegister card = card_identity(run.card); known(journal.cid) && known(card) && card != journal.cid)
        return fail("the journal " + name + " was kept for another card; nothing was written");
    SavingDevice saver(run.device);
    for (const LostOriginal& s : journal.sectors) saver.keep_original(s.sector, s.data);
    saver.restore();
    const std::size_t total = journal.sectors.size(), lost = saver.unrestored().size();
    for (const LostOriginal& s : saver.unrestored()) report_sector("sector", s.sector, " NOT put back");
    if (lost != 0) {
        text_printf("%zu of %zu sectors NOT put back; %s is kept: run --restore again\n", lost, total, name.c_str());
        return ExitStatus::failed;
    }
    const char* sectors = total == 1 ? "sector" : "sectors";
    if (std::remove(journal.path.c_str()) != 0) {
        text_printf("put back %zu %s from %s, verified; the journal could not be removed\n", total, sectors, name.c_str());
        return ExitStatus::failed;
    }
    text_printf("put back %zu %s from %s, verified; the journal is removed\n", total, sectors, name.c_str());
    return ExitStatus::ok;
}
