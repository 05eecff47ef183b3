// --json: the run's record made from the options and the session, and the
// person's text kept off standard output, which carries only the records.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "base/text_out.h"
#include "modes/command_line.h"
#include "report/run_record.h"

// The files the run writes (FILE of --dump, the map, report, backup, trace).
[[nodiscard]] std::vector<std::string> files_written(const Options& options);

// The record's last fields once the run has ended with status: its verdict
// when the mode gave none, the status and the time since started.
void finish_record(RunRecord& record, int status, std::chrono::steady_clock::time_point started);

// Text for standard output goes to standard error instead.
class TextToError final : public TextSink {
public:
    void put(TextStream stream, std::string_view text) override;
    void progress(std::uint64_t, std::uint64_t) override {}
};
