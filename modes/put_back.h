// Sectors a mode wrote over and could not put back: their originals go to
// a journal in the current directory, named in the summary, and
// --restore=JOURNAL puts them back on a later run.
#pragma once

#include <string>
#include <vector>

#include "base/outcome.h"
#include "card/registers.h"
#include "disk/saving_device.h"
#include "modes/mode_run.h"

// After saver.restore(): keeps what would not go back in a new journal and
// says where, or why it could not be kept. True when every sector went back.
bool keep_unrestored(ModeRun& run, const SavingDevice& saver);

// A journal read before the card is reached.
struct Journal {
    std::string path;
    CardRegister cid{};
    std::vector<LostOriginal> sectors;
};
Outcome open_journal(const std::string& path, Journal& journal);

// --restore=JOURNAL: puts the journal's sectors back on the card they came
// from, each checked by two reads; removes the journal once all are back.
// Exit status 0 then, else 1.
int restore_journal(ModeRun& run, const Journal& journal);
