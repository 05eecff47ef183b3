#include "app/whole_card.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/card_probe.h"
#include "app/card_report.h"
#include "app/exit_status.h"
#include "app/map_keeper.h"
#include "app/nbd_server.h"
#include "app/console.h"
#include "app/fill.h"
#include "app/progress.h"
#include "app/units.h"
#include "base/escape.h"
#include "base/safe_file.h"
#include "base/sector_file.h"
#include "sim/storage.h"

namespace {

std::FILE* file = nullptr;
std::uint64_t file_sectors = 0;
std::string file_name;
// A run's sectors from FILE, beside those from the card.
std::vector<std::uint8_t> file_run;
// With --map: the map, and FILE a whole-card image; else FILE starts at the run's first sector.
std::optional<MapKeeper> keeper;
std::uint32_t file_origin = 0;
// Where FILE's stream stands, so that runs in order need no seek.
std::uint64_t file_position = 0;
// --sparse: sectors of zeros past file_end are not written; the file is
// made sparse_size long at the end.
bool sparse = false;
std::uint64_t file_end = 0;
std::uint64_t sparse_size = 0;

std::uint64_t file_offset(std::uint64_t sector) { return (sector - file_origin) * sector_size; }

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
    const bool resuming = keeper && keeper->existed();
    if (!o.force && !resuming && file_exists(o.file)) return Outcome::failed(o.file + " exists: add --force to replace it");
    return Outcome::ok();
}

Outcome open_source_file(const Options& o) {
    if (Outcome apart = check_file_apart(o); !apart) return apart;
    if (Outcome opened = sector_file_open(o.file, false, "file", file); !opened) return opened;
    const std::uint64_t size = file_size(file);
    if (size == 0 || size % sector_size != 0)
        return Outcome::failed(o.file + " must be a non-empty multiple of 512 bytes, it has " + std::to_string(size));
    file_sectors = size / sector_size;
    const std::uint64_t needed = !o.range ? 0 : o.map.empty() ? o.range->count : std::uint64_t{o.range->start} + o.range->count;
    if (needed > file_sectors)
        return Outcome::failed(o.file + " holds " + std::to_string(file_sectors) + " sectors, the range needs " +
                               std::to_string(needed));
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
    std::uint64_t next = 0;  // the sector the run goes on with
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
        if (keeper) keeper->map().mark(first + i, 1, MapState::bad);
        if (CardReport* report = run_report()) report->move(first + i, SectorState::good, SectorState::bad);
        ++differing;
    }
    return differing;
}

void say_failed(const char* step, std::uint32_t sector, CardResult) {
    report_sector("bad sector", sector, (": " + std::string(step) + " failed: " + card_failure_text()).c_str());
    if (keeper) keeper->map().mark(sector, 1, MapState::bad);
    if (CardReport* report = run_report()) report->add(sector, 1, SectorState::bad);
}

bool all_zero(std::span<const std::uint8_t, sector_size> sector) {
    return std::ranges::all_of(sector, [](std::uint8_t b) { return b == 0; });
}

// count sectors of buf to FILE from sector first: in order as they come, or
// with a map or --sparse each at its own offset, zeros past FILE's end left out.
bool write_sectors(std::uint32_t first, std::vector<std::uint8_t>& buf, std::uint32_t count) {
    if (!keeper && !sparse) return std::fwrite(buf.data(), sector_size, count, file) == count;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = file_offset(first + i);
        sparse_size = std::max(sparse_size, at + sector_size);
        if (sparse && at >= file_end && all_zero(sector_of(buf, i))) continue;
        if (at != file_position && !file_seek(file, at)) return false;
        if (std::fwrite(buf.data() + std::size_t{i} * sector_size, sector_size, 1, file) != 1) return false;
        file_position = at + sector_size;
    }
    return true;
}

// A card transfer of a run of sectors, timed for the report: read or write
// n sectors from first into or out of data; done gets how many went right.
CardResult timed_transfer(Transfer kind, std::uint32_t first, std::span<std::uint8_t> data, std::uint32_t& done) {
    CardReport* report = run_report();
    const std::uint32_t rereads = spi_rereads();
    const std::uint64_t started = report ? card_clock_ns() : 0;
    const CardResult r = kind == Transfer::read ? spi_read_blocks(first, data, done) : spi_write_blocks(first, data, done);
    if (!report) return r;
    const std::uint64_t moved = done + (r == CardResult::ok || r == CardResult::out_of_range ? 0 : 1);
    report->time(first, moved, kind, card_clock_ns() - started);
    if (kind == Transfer::read) {
        report->add(first, done, SectorState::good);
        report->reread(first, spi_rereads() - rereads);
    }
    return r;
}

// One run of sectors from first: moves n sectors and adds to the tally.
using Step = void (*)(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t);

void dump_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
    std::uint32_t got = 0;
    const CardResult r = timed_transfer(Transfer::read, first, std::span(buf).first(std::size_t{n} * sector_size), got);
    std::uint32_t keep = got;
    if (r == CardResult::out_of_range) t.past_end = true;
    else if (r != CardResult::ok) {
        say_failed("read", first + got, r);
        std::ranges::fill(sector_of(buf, got), std::uint8_t{0});
        ++t.bad;
        ++keep;
    }
    // Counted only once they have reached the file.
    if (!write_sectors(first, buf, keep) || std::fflush(file) != 0) {
        t.file_failed = true;
    } else {
        if (keeper) keeper->map().mark(first, got, MapState::good);
        t.done += keep;
    }
}

bool read_file(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& to, Tally& t) {
    if (keeper && !file_seek(file, file_offset(first))) t.file_failed = true;
    else if (std::fread(to.data(), sector_size, n, file) == n) return true;
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
    if (!file_seek(file, file_offset(first + moved + 1))) t.file_failed = true;
}

void verify_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
    if (!read_file(first, n, file_run, t)) return;
    std::uint32_t got = 0;
    const CardResult r = timed_transfer(Transfer::read, first, std::span(buf).first(std::size_t{n} * sector_size), got);
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
        const CardResult r = timed_transfer(Transfer::read, first + at, run, got);
        t.bad += report_differing(first, at, at + got, buf, "bad sector", ": read back differs");
        at += got;
        if (r == CardResult::ok) continue;
        say_failed("read back", first + at, r);
        ++t.bad;
        ++at;
    }
}

void load_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
    if (!read_file(first, n, file_run, t)) return;
    const auto data = std::span(file_run).first(std::size_t{n} * sector_size);
    std::uint32_t wrote = 0;
    const CardResult w = timed_transfer(Transfer::write, first, data, wrote);
    if (keeper) keeper->map().mark(first, wrote, MapState::good);
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

void closing_line(const Mode& mode, const Tally& t, std::uint32_t rereads,
                  std::chrono::steady_clock::time_point started) {
    std::printf("%s %llu sectors, ", mode.done_word, static_cast<unsigned long long>(t.done));
    if (mode.step == verify_step) std::printf("%u differ, ", static_cast<unsigned>(t.differ));
    std::printf("%u bad, ", static_cast<unsigned>(t.bad));
    std::printf("%u re-read, %.0f bytes/s", static_cast<unsigned>(rereads), sector_rate(t.done, started));
    if (t.interrupted) std::printf(", stopped before sector 0x%X", static_cast<unsigned>(t.next));
    std::printf("\n");
}

// The dump file: continued when a map says what it holds, else made anew.
// A map or --sparse needs a file that can be positioned in.
Outcome create_file_for(const Options& o) {
    if (o.whole != Options::WholeCard::dump) return Outcome::ok();
    if (keeper && keeper->existed() && file_exists(o.file)) {
        if (Outcome opened = sector_file_open(o.file, true, "file", file); !opened) return opened;
    } else if (Outcome created = create_stream(o.file, "the dump", {.replace = o.force, .in_place = true}, false, file);
               !created) {
        return created;
    }
    file_end = file_size(file);
    if (!file_seek(file, 0)) {
        if (keeper || sparse) return Outcome::failed(o.file + " cannot be positioned in: --map and --sparse need a regular file");
        file_end = 0;
    }
    file_position = 0;
    return Outcome::ok();
}

bool should_stop(Tally& t) {
    if (t.past_end || t.file_failed) return true;
    t.interrupted = t.interrupted || console_signal_pending();
    return t.interrupted;
}

// FILE's sectors on the disk, before a map says they are there.
bool sync_file() { return file_sync(file); }

// A map mode's map written after a run of sectors, at most every
// map_interval unless the run stops; FILE's sectors reach the disk first. On
// a real port a run of sectors takes longer than that.
constexpr auto map_interval = std::chrono::milliseconds(250);
std::chrono::steady_clock::time_point map_written{};

void save_map(MapPhase phase, std::uint64_t position, int pass, bool stopping = false) {
    if (!keeper) return;
    const auto now = std::chrono::steady_clock::now();
    if (!stopping && now - map_written < map_interval) return;
    if (file && !sync_file()) return;
    map_written = now;
    keeper->map().set_phase(phase, position, pass);
    keeper->save();
}

// Runs the mode's steps over the areas until they are done, the card ends,
// FILE fails or an ending signal comes.
Tally move_sectors(const Mode& mode, const std::vector<MapArea>& areas, bool open_ended, bool map_changes) {
    std::uint64_t total = 0;
    for (const MapArea& a : areas) total += a.count;
    Progress progress(open_ended ? 0 : total);
    const std::uint32_t run_sectors = card_run_sectors();
    std::vector<std::uint8_t> buf(std::size_t{run_sectors} * sector_size);
    file_run.resize(buf.size());
    Tally t;
    for (const MapArea& area : areas) {
        for (std::uint64_t at = 0; at < area.count && !should_stop(t);) {
            progress.update(t.done);
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(run_sectors, area.count - at));
            const std::uint64_t reported_before = t.bad + t.differ, done_before = t.done;
            mode.step(static_cast<std::uint32_t>(area.first + at), n, buf, t);
            at += t.done - done_before;
            t.next = area.first + at;
            if (map_changes) save_map(MapPhase::copying, t.next, 1);
            if (t.bad + t.differ != reported_before) progress.clear();
        }
        if (t.interrupted || t.past_end || t.file_failed) break;
    }
    progress.clear();
    return t;
}

// Reads the map's failed sectors within the extent again, one at a time,
// for each retry pass.
void retry_failed(const Extent& e, int retries, Tally& t) {
    std::vector<std::uint8_t> buf(sector_size);
    for (int pass = 1; pass <= retries; ++pass) {
        for (const MapArea& area : keeper->map().areas(MapState::bad, e.start, e.count, true)) {
            for (std::uint64_t s = area.first; s < area.first + area.count; ++s) {
                if (should_stop(t)) return;
                const auto sector = static_cast<std::uint32_t>(s);
                if (spi_read(sector, sector_of(buf, 0)) != CardResult::ok) continue;
                if (!write_sectors(sector, buf, 1)) {
                    t.file_failed = true;
                    return;
                }
                keeper->map().mark(sector, 1, MapState::good);
                if (CardReport* report = run_report()) report->move(sector, SectorState::bad, SectorState::reread);
                report_sector("recovered sector", sector);
                save_map(MapPhase::retrying, s + 1, pass + 1);
            }
        }
    }
}

// Says where the card ended, if it did inside the run.
void report_card_end(const Extent& e, Tally& t) {
    const bool reached_cut = e.cut_at_end && !t.interrupted && !t.file_failed && !t.past_end;
    if (reached_cut) report_sector("end of card at sector", static_cast<std::uint32_t>(card_capacity_sectors()));
    else if (t.past_end) report_sector("end of card at sector", static_cast<std::uint32_t>(t.next));
    t.past_end = t.past_end || reached_cut;
}

// The areas a run goes over: the whole extent, or with a map those still to
// copy (dump), already copied (verify) or not yet written (load).
std::vector<MapArea> areas_for(Options::WholeCard whole, const Extent& e) {
    if (!keeper) return {{e.start, e.count, MapState::untried}};
    const RescueMap& map = keeper->map();
    if (whole == Options::WholeCard::verify) return map.areas(MapState::good, e.start, e.count);
    std::vector<MapArea> areas = map.areas(MapState::untried, e.start, e.count, whole == Options::WholeCard::load);
    std::ranges::sort(areas, {}, &MapArea::first);
    return areas;
}

std::uint64_t good_within(const Extent& e) {
    std::uint64_t n = 0;
    for (const MapArea& a : keeper->map().areas(MapState::good, e.start, e.count)) n += a.count;
    return n;
}

void say_map() {
    const RescueMap& map = keeper->map();
    const std::uint64_t good = map.count(MapState::good), untried = map.count(MapState::untried);
    std::printf("mapfile %s: %llu of %llu sectors good, %llu bad, %llu not tried\n", escaped(keeper->path()).c_str(),
                static_cast<unsigned long long>(good), static_cast<unsigned long long>(map.sectors()),
                static_cast<unsigned long long>(map.sectors() - good - untried), static_cast<unsigned long long>(untried));
}

Outcome fit_map(const Options& o) {
    if (!keeper) return Outcome::ok();
    std::error_code ec;
    const std::uint64_t bytes = o.whole == Options::WholeCard::dump && file_exists(o.file) && keeper->existed()
                                    ? std::filesystem::file_size(o.file, ec)
                                    : file_sectors * sector_size;
    return keeper->fit(card_capacity_sectors(), ec ? 0 : bytes);
}

// A sparse dump's file reaches as far as its last sector, holes included.
void finish_sparse(Tally& t) {
    if (!sparse || file_end >= sparse_size) return;
    std::error_code ec;
    std::filesystem::resize_file(file_name, sparse_size, ec);
    if (ec) t.file_failed = true;
}

int run_whole_card(const Options& o) {
    if (Outcome fitted = fit_map(o); !fitted) return fail(fitted.why());
    if (Outcome created = create_file_for(o); !created) return fail(created.why());
    const Mode mode = mode_for(o.whole);
    const Extent e = extent_for(o);
    if (o.whole == Options::WholeCard::load && e.cut_at_end) {
        std::fclose(file);
        file = nullptr;
        return fail("the card ends at sector " + sector_text(card_capacity_sectors()) + ", before the end of what " +
                    file_name + " would load: nothing was written");
    }
    file_origin = keeper ? 0 : e.start;
    const bool map_changes = keeper && o.whole != Options::WholeCard::verify;
    if (map_changes) save_map(MapPhase::copying, e.start, 1, true);
    const auto started = std::chrono::steady_clock::now();
    const std::uint32_t rereads_before = spi_rereads();
    Tally t = move_sectors(mode, areas_for(o.whole, e), e.open_ended, map_changes);
    if (keeper && o.whole == Options::WholeCard::dump && !t.interrupted && !t.file_failed) retry_failed(e, o.retries, t);
    report_card_end(e, t);
    if (std::fflush(file) != 0) t.file_failed = true;
    const bool complete = keeper && good_within(e) == e.count;
    if (map_changes) save_map(t.interrupted ? MapPhase::copying : MapPhase::finished, t.next, 1, true);
    // A dump that could not be written whole ends after its last whole sector.
    if (o.whole == Options::WholeCard::dump && t.file_failed && !keeper && !sparse)
        (void)file_truncate(file, t.done * sector_size);
    if (std::fclose(file) != 0) t.file_failed = true;
    file = nullptr;
    finish_sparse(t);
    const bool card_larger = o.whole == Options::WholeCard::verify && !o.range && !t.interrupted &&
                             card_capacity_sectors() > file_sectors;
    if (card_larger)
        std::printf("the card holds %llu sectors, %s only %llu: compared those\n", static_cast<unsigned long long>(card_capacity_sectors()),
                    escaped(file_name).c_str(), static_cast<unsigned long long>(file_sectors));
    if (map_changes) say_map();
    closing_line(mode, t, spi_rereads() - rereads_before, started);
    if (t.file_failed)
        report_failure(file_name + " could not be " + (o.whole == Options::WholeCard::dump ? "written" : "read") +
                       " completely");
    const bool short_run = t.past_end && !e.open_ended;
    const bool all_good = map_changes ? complete : t.bad == 0;
    const bool map_failed = keeper && keeper->failed();
    return all_good && t.differ == 0 && !short_run && !t.file_failed && !map_failed ? ExitStatus::ok : ExitStatus::failed;
}

// The map's file must be none of the others the run uses.
Outcome check_map_apart(const Options& o) {
    const char* other = same_file(o.map, o.file)                             ? "the file to dump, verify or load"
                        : o.port == Options::Port::sim && storage_is_file(o.map) ? "the card image"
                        : !o.trace.empty() && same_file(o.map, o.trace)      ? "the trace"
                                                                             : nullptr;
    if (!other) return Outcome::ok();
    return Outcome::failed("the mapfile " + o.map + " is " + other + "; name another file");
}

Outcome prepare_map(const Options& o) {
    if (o.map.empty()) return Outcome::ok();
    if (Outcome apart = check_map_apart(o); !apart) return apart;
    keeper.emplace(o.map);
    if (Outcome read = keeper->read(); !read) return read;
    if (o.whole == Options::WholeCard::verify && !keeper->existed())
        return Outcome::failed("no mapfile " + o.map + ": --verify with --map compares the areas a map says were copied");
    return Outcome::ok();
}

}  // namespace

Outcome whole_card_prepare(const Options& o) {
    file_name = o.file;
    sparse = o.sparse;
    if (Outcome mapped = prepare_map(o); !mapped) return mapped;
    switch (o.whole) {
        case Options::WholeCard::dump: return check_dump_file(o);
        case Options::WholeCard::verify:
        case Options::WholeCard::load: return open_source_file(o);
        case Options::WholeCard::fill: return fill_prepare(o);
        default: return Outcome::ok();
    }
}

namespace {

ServeSettings serve_settings(const Options& o) {
    ServeSettings s{o.serve, o.writable, o.insecure, o.tls_psk, o.tls_certificates, {}};
    if (o.timeout) s.limits.request = std::chrono::seconds(o.timeout);
    if (o.idle) s.limits.idle = std::chrono::seconds(o.idle);
    return s;
}

}  // namespace

CardWork whole_card_work(const Options& o) {
    if (o.whole == Options::WholeCard::probe) return {probe_the_card, ExitStatus::failed, CardSetup::checked_crc};
    if (o.whole == Options::WholeCard::serve)
        return {[&o] { return serve_card(serve_settings(o)); }, ExitStatus::failed, CardSetup::checked_crc};
    if (o.whole == Options::WholeCard::fill) return {[&o] { return run_fill(o); }, ExitStatus::failed, CardSetup::checked_crc};
    return {[&o] { return run_whole_card(o); }, ExitStatus::failed, CardSetup::checked_crc};
}
