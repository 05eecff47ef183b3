#include "app/whole_card.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/card_probe.h"
#include "app/console.h"
#include "app/fill.h"
#include "app/progress.h"
#include "base/sector_file.h"
#include "sim/storage.h"

namespace {

std::FILE* file = nullptr;
std::uint64_t file_sectors = 0;
std::string file_name;
// A run's sectors from FILE, beside those from the card.
std::vector<std::uint8_t> file_run;

// The mode's file must be none of the others the run writes to or reads
// from: the simulated card's image, the trace, standard output.
Outcome check_file_apart(const Options& o) {
    const char* other = o.port == Options::Port::sim && storage_is_file(o.file) ? "the card image"
                        : !o.trace.empty() && same_file(o.file, o.trace)        ? "the trace"
                        : is_open_file(stdout, o.file)                           ? "standard output"
                                                                                 : nullptr;
    if (!other) return Outcome::ok();
    return Outcome::failed("the file " + o.file + " is " + other + "; name another file");
}

// Checked before the session; the file itself is made only once the card
// is up, so that a run that never reaches the card leaves nothing behind.
Outcome check_dump_file(const Options& o) {
    if (Outcome apart = check_file_apart(o); !apart) return apart;
    if (!o.force && file_exists(o.file)) return Outcome::failed(o.file + " exists: add --force to replace it");
    return Outcome::ok();
}

Outcome open_source_file(const Options& o) {
    if (Outcome apart = check_file_apart(o); !apart) return apart;
    if (Outcome opened = sector_file_open(o.file, false, "file", file); !opened) return opened;
    const std::uint64_t size = file_size(file);
    if (size == 0 || size % sector_size != 0)
        return Outcome::failed(o.file + " must be a non-empty multiple of 512 bytes, it has " + std::to_string(size));
    file_sectors = size / sector_size;
    if (o.range && o.range->count > file_sectors)
        return Outcome::failed(o.file + " holds " + std::to_string(file_sectors) + " sectors, the range " +
                               std::to_string(o.range->count));
    return file_seek(file, 0) ? Outcome::ok() : Outcome::failed("cannot read " + o.file);
}

// The sectors a run covers; open-ended runs stop where the card does. A run
// past the end of a card that says its capacity stops at that end.
struct Extent {
    std::uint32_t start;
    std::uint64_t count;
    bool open_ended;
    bool cut_at_end;  // at the card's end, sector count
};

Extent extent_for(const Options& o) {
    const std::uint64_t capacity = card_capacity_sectors();
    Extent e{0, capacity, false, false};
    if (o.range) e = {o.range->start, o.range->count, false, false};
    else if (o.whole != Options::WholeCard::dump) e.count = file_sectors;
    else if (capacity == 0) e = {0, 0xFFFFFFFF, true, false};
    if (capacity != 0 && e.start + e.count > capacity) {
        e.count = capacity > e.start ? capacity - e.start : 0;
        e.cut_at_end = true;
    }
    return e;
}

// What a run has done so far, and how it reports.
struct Tally {
    std::uint64_t done = 0;
    std::uint32_t bad = 0;     // sectors that could not be read or written
    std::uint32_t differ = 0;  // sectors of a verify that differ from FILE
    bool past_end = false;
    bool interrupted = false;
    bool file_failed = false;
};

// Sector i of a run's buffer.
std::span<std::uint8_t, sector_size> sector_of(std::vector<std::uint8_t>& buf, std::uint32_t i) {
    return std::span(buf).subspan(std::size_t{i} * sector_size).first<sector_size>();
}

bool same(std::span<const std::uint8_t, sector_size> a, std::span<const std::uint8_t, sector_size> b) {
    return std::equal(a.begin(), a.end(), b.begin());
}

// Compares sectors from..to of a run read from the card with those read
// from FILE, reports each that differs, and says how many did.
std::uint32_t report_differing(std::uint32_t first, std::uint32_t from, std::uint32_t to, std::vector<std::uint8_t>& buf,
                               const char* what, const char* detail = "") {
    std::uint32_t differing = 0;
    for (std::uint32_t i = from; i < to; ++i) {
        if (same(sector_of(buf, i), sector_of(file_run, i))) continue;
        report_sector(what, first + i, detail);
        ++differing;
    }
    return differing;
}

void say_failed(const char* step, std::uint32_t sector, CardResult r) {
    char detail[48];
    std::snprintf(detail, sizeof detail, ": %s failed (card result %d)", step, static_cast<int>(r));
    report_sector("bad sector", sector, detail);
}

// One run of sectors from first: moves n sectors and adds to the tally.
using Step = void (*)(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t);

void dump_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
    std::uint32_t got = 0;
    const CardResult r = spi_read_blocks(first, std::span(buf).first(std::size_t{n} * sector_size), got);
    std::uint32_t keep = got;
    if (r == CardResult::out_of_range) t.past_end = true;
    else if (r != CardResult::ok) {
        say_failed("read", first + got, r);
        std::ranges::fill(sector_of(buf, got), std::uint8_t{0});
        ++t.bad;
        ++keep;
    }
    // Counted only once they have reached the file.
    if (std::fwrite(buf.data(), sector_size, keep, file) != keep || std::fflush(file) != 0) t.file_failed = true;
    else t.done += keep;
}

bool read_file(std::uint32_t n, std::vector<std::uint8_t>& to, Tally& t) {
    if (std::fread(to.data(), sector_size, n, file) == n) return true;
    t.file_failed = true;
    return false;
}

// After a run from first that moved `moved` sectors and ended with r: done,
// the card's end, or one bad sector passed over (FILE read on after it).
void settle_run(const char* step, std::uint32_t first, std::uint32_t moved, CardResult r, Tally& t) {
    t.done += moved;
    if (r == CardResult::out_of_range) t.past_end = true;
    if (r == CardResult::ok || r == CardResult::out_of_range) return;
    say_failed(step, first + moved, r);
    ++t.bad;
    ++t.done;
    if (!file_seek(file, t.done * sector_size)) t.file_failed = true;
}

void verify_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
    if (!read_file(n, file_run, t)) return;
    std::uint32_t got = 0;
    const CardResult r = spi_read_blocks(first, std::span(buf).first(std::size_t{n} * sector_size), got);
    t.differ += report_differing(first, 0, got, buf, "differs sector");
    settle_run("read", first, got, r, t);
}

// Reads back the count sectors just written from first and compares them
// with what was written; a sector that cannot be read is bad, and the
// read-back goes on after it.
void check_read_back(std::uint32_t first, std::uint32_t count, std::vector<std::uint8_t>& buf, Tally& t) {
    for (std::uint32_t at = 0; at < count;) {
        std::uint32_t got = 0;
        const auto run = std::span(buf).subspan(std::size_t{at} * sector_size, std::size_t{count - at} * sector_size);
        const CardResult r = spi_read_blocks(first + at, run, got);
        t.bad += report_differing(first, at, at + got, buf, "bad sector", ": read back differs");
        at += got;
        if (r == CardResult::ok) continue;
        say_failed("read back", first + at, r);
        ++t.bad;
        ++at;
    }
}

void load_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
    if (!read_file(n, file_run, t)) return;
    const auto data = std::span(file_run).first(std::size_t{n} * sector_size);
    std::uint32_t wrote = 0;
    const CardResult w = spi_write_blocks(first, data, wrote);
    check_read_back(first, wrote, buf, t);
    settle_run("write", first, wrote, w, t);
}

struct Mode {
    Step step;
    const char* done_word;  // the closing line's first word
};

Mode mode_for(Options::WholeCard whole) {
    switch (whole) {
        case Options::WholeCard::verify: return {verify_step, "verified"};
        case Options::WholeCard::load: return {load_step, "loaded"};
        default: return {dump_step, "dumped"};
    }
}

void closing_line(const Mode& mode, const Extent& e, const Tally& t, std::uint32_t rereads,
                  std::chrono::steady_clock::time_point started) {
    std::printf("%s %llu sectors, ", mode.done_word, static_cast<unsigned long long>(t.done));
    if (mode.step == verify_step) std::printf("%u differ, ", static_cast<unsigned>(t.differ));
    std::printf("%u bad, ", static_cast<unsigned>(t.bad));
    std::printf("%u re-read, %.0f bytes/s", static_cast<unsigned>(rereads), sector_rate(t.done, started));
    if (t.interrupted) std::printf(", stopped before sector 0x%X", static_cast<unsigned>(e.start + t.done));
    std::printf("\n");
}

Outcome create_file_for(const Options& o) {
    if (o.whole != Options::WholeCard::dump) return Outcome::ok();
    file = sector_file_create(o.file, o.force, false);
    if (file) return Outcome::ok();
    return Outcome::failed("cannot create " + o.file + ": " + (errno == ENXIO ? "a FIFO that nothing reads" : std::strerror(errno)));
}

// Runs the mode's steps over the extent until it is done, the card ends,
// FILE fails or an ending signal comes.
Tally move_sectors(const Mode& mode, const Extent& e) {
    Progress progress(e.open_ended ? 0 : e.count);
    std::vector<std::uint8_t> buf(std::size_t{card_run_sectors} * sector_size);
    file_run.resize(buf.size());
    Tally t;
    while (t.done < e.count && !t.past_end && !t.file_failed) {
        if (console_signal_pending()) {
            t.interrupted = true;
            break;
        }
        progress.update(t.done);
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(card_run_sectors, e.count - t.done));
        const std::uint64_t reported_before = t.bad + t.differ;
        mode.step(static_cast<std::uint32_t>(e.start + t.done), n, buf, t);
        if (t.bad + t.differ != reported_before) progress.clear();
    }
    progress.clear();
    return t;
}

// Says where the card ended, if it did inside the run.
void report_card_end(const Extent& e, Tally& t) {
    const bool reached_cut = e.cut_at_end && !t.interrupted && t.done == e.count;
    if (reached_cut) report_sector("end of card at sector", static_cast<std::uint32_t>(card_capacity_sectors()));
    else if (t.past_end) report_sector("end of card at sector", static_cast<std::uint32_t>(e.start + t.done));
    t.past_end = t.past_end || reached_cut;
}

int run_whole_card(const Options& o) {
    if (Outcome created = create_file_for(o); !created) {
        std::fflush(stdout);
        std::fprintf(stderr, "vantacle: %s\n", created.why().c_str());
        return 1;
    }
    const Mode mode = mode_for(o.whole);
    const Extent e = extent_for(o);
    if (o.whole == Options::WholeCard::load && e.cut_at_end) {
        std::fflush(stdout);
        std::fprintf(stderr, "vantacle: the card ends at sector 0x%llX, before the end of what %s would load: nothing was written\n",
                     static_cast<unsigned long long>(card_capacity_sectors()), file_name.c_str());
        std::fclose(file);
        file = nullptr;
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    const std::uint32_t rereads_before = spi_rereads();
    Tally t = move_sectors(mode, e);
    report_card_end(e, t);
    // A dump that could not be written whole ends after its last whole sector.
    if (o.whole == Options::WholeCard::dump && t.file_failed) (void)file_truncate(file, t.done * sector_size);
    if (std::fclose(file) != 0) t.file_failed = true;
    file = nullptr;
    const bool card_larger = o.whole == Options::WholeCard::verify && !o.range && !t.interrupted &&
                             card_capacity_sectors() > file_sectors;
    if (card_larger)
        std::printf("the card holds %llu sectors, %s only %llu: compared those\n", static_cast<unsigned long long>(card_capacity_sectors()),
                    file_name.c_str(), static_cast<unsigned long long>(file_sectors));
    closing_line(mode, e, t, spi_rereads() - rereads_before, started);
    if (t.file_failed) {
        std::fflush(stdout);
        std::fprintf(stderr, "vantacle: %s could not be %s completely\n", file_name.c_str(),
                     o.whole == Options::WholeCard::dump ? "written" : "read");
    }
    const bool short_run = t.past_end && !e.open_ended;
    return t.bad == 0 && t.differ == 0 && !short_run && !t.file_failed ? 0 : 1;
}

}  // namespace

Outcome whole_card_prepare(const Options& o) {
    file_name = o.file;
    switch (o.whole) {
        case Options::WholeCard::dump: return check_dump_file(o);
        case Options::WholeCard::verify:
        case Options::WholeCard::load: return open_source_file(o);
        case Options::WholeCard::fill: return fill_prepare(o);
        default: return Outcome::ok();
    }
}

CardWork whole_card_work(const Options& o) {
    if (o.whole == Options::WholeCard::probe) return {probe_the_card, 1};
    if (o.whole == Options::WholeCard::fill) return {[&o] { return run_fill(o); }, 1};
    return {[&o] { return run_whole_card(o); }, 1};
}
