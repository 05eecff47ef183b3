#include "app/run_json.h"

#include <cstdio>

#include "base/exit_status.h"

std::vector<std::string> files_written(const Options& o) {
    std::vector<std::string> files;
    if (o.task == Options::Task::dump) files.push_back(o.file);
    const bool map_written = o.task == Options::Task::dump || o.task == Options::Task::load;
    if (!o.map.empty() && map_written) files.push_back(o.map);
    if (!o.backup.empty()) files.push_back(o.backup);
    if (!o.report.empty()) files.push_back(o.report);
    if (!o.trace.empty()) files.push_back(o.trace);
    return files;
}

void finish_record(RunRecord& record, int status, std::chrono::steady_clock::time_point started) {
    record.exit_status = status;
    record.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!record.verdict.empty()) return;
    if (!record.card_found) record.verdict = "no card";
    else if (record.interrupted || status >= ExitStatus::signal_base) record.verdict = "interrupted";
    else record.verdict = status == ExitStatus::ok ? "passed" : "failed";
}

void TextToError::put(TextStream, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stderr); }
