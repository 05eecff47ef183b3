#include "modes/copy.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/text_out.h"
#include "report/card_report.h"
#include "report/run_record.h"
#include "base/exit_status.h"
#include "mapfile/map_keeper.h"
#include "base/operator.h"
#include "modes/progress.h"
#include "modes/units.h"
#include "base/escape.h"
#include "base/file_lock.h"
#include "base/safe_file.h"
#include "base/sector_file.h"
#include "card/card.h"
#include "disk/sector_device.h"
#include "sim/storage.h"

namespace {

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

// The map's file must be none of the others the run uses.
Outcome check_map_apart(const Options& o) {
    const char* other = same_file(o.map, o.file)                             ? "the file to dump, verify or load"
                        : o.port == Options::Port::sim && storage_is_file(o.map) ? "the card image"
                        : !o.trace.empty() && same_file(o.map, o.trace)      ? "the trace"
                                                                             : nullptr;
    if (!other) return Outcome::ok();
    return Outcome::failed("the mapfile " + o.map + " is " + other + "; name another file");
}

// The sectors a copy covers; open-ended copies stop where the card does. A
// copy past the end of a card that says its capacity stops at that end.
struct CopyExtent {
    std::uint32_t start;
    std::uint64_t count;
    bool open_ended;
    bool cut_at_end;  // at the card's end, sector count
};

// What a copy has done so far, and how it reports.
struct Tally {
    std::uint64_t done = 0;
    std::uint32_t bad = 0;     // sectors that could not be read or written
    std::uint32_t differ = 0;  // sectors of a verify that differ from FILE
    bool past_end = false;
    bool interrupted = false;
    bool file_failed = false;
    std::uint64_t next = 0;  // the sector the copy goes on with
};

// Sector i of a copy's buffer.
std::span<std::uint8_t, sector_size> sector_of(std::vector<std::uint8_t>& buf, std::uint32_t i) {
    return sector_in(std::span(buf), i);
}

bool same(std::span<const std::uint8_t, sector_size> a, std::span<const std::uint8_t, sector_size> b) {
    return std::equal(a.begin(), a.end(), b.begin());
}

bool all_zero(std::span<const std::uint8_t, sector_size> sector) {
    return std::ranges::all_of(sector, [](std::uint8_t b) { return b == 0; });
}

// A map mode's map written after a run of sectors, at most every
// map_interval unless the copy stops; FILE's sectors reach the disk first.
// On a real port a run of sectors takes longer than that.
constexpr auto map_interval = std::chrono::milliseconds(250);

// --dump, --verify or --load: FILE and the card, a run of sectors at a time.
class CopyRun {
public:
    explicit CopyRun(const Options& o) : o_(o) {}

    // Opens the mode's files before the session starts.
    Outcome prepare() {
        if (Outcome mapped = prepare_map(); !mapped) return mapped;
        if (o_.task == Options::Task::dump) return check_dump_file();
        return open_source_file();
    }

    int run(ModeRun& r);

private:
    // One run of sectors from first: moves n sectors and adds to the tally.
    using Step = void (CopyRun::*)(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t);
    struct Way {
        Step step;
        const char* done_word;  // the closing line's first word
    };

    std::uint64_t file_offset(std::uint64_t sector) const { return (sector - file_origin_) * sector_size; }

    // Checked before the session; the file itself is made only once the card
    // is up, so that a run that never reaches the card leaves nothing behind.
    Outcome check_dump_file() {
        if (Outcome apart = check_file_apart(o_); !apart) return apart;
        const bool resuming = keeper_ && keeper_->existed();
        if (!o_.force && !resuming && file_exists(o_.file)) return Outcome::failed(o_.file + " exists: add --force to replace it");
        return Outcome::ok();
    }

    Outcome open_source_file() {
        if (Outcome apart = check_file_apart(o_); !apart) return apart;
        if (Outcome opened = sector_file_open(o_.file, false, "file", file_); !opened) return opened;
        const std::uint64_t size = file_size(file_);
        if (size == 0 || size % sector_size != 0)
            return Outcome::failed(o_.file + " must be a non-empty multiple of 512 bytes, it has " + std::to_string(size));
        file_sectors_ = size / sector_size;
        const std::uint64_t needed = !o_.range       ? 0
                                     : o_.map.empty() ? o_.range->count
                                                      : std::uint64_t{o_.range->start} + o_.range->count;
        if (needed > file_sectors_)
            return Outcome::failed(o_.file + " holds " + std::to_string(file_sectors_) + " sectors, the range needs " +
                                   std::to_string(needed));
        return file_seek(file_, 0) ? Outcome::ok() : Outcome::failed("cannot read " + o_.file);
    }

    Outcome prepare_map() {
        if (o_.map.empty()) return Outcome::ok();
        if (Outcome apart = check_map_apart(o_); !apart) return apart;
        keeper_.emplace(o_.map);
        if (Outcome read = keeper_->read(); !read) return read;
        if (o_.task == Options::Task::verify && !keeper_->existed())
            return Outcome::failed("no mapfile " + o_.map + ": --verify with --map compares the areas a map says were copied");
        return Outcome::ok();
    }

    CopyExtent extent() const {
        const std::uint64_t capacity = device_->sectors();
        CopyExtent e{0, capacity, false, false};
        if (o_.range) e = {o_.range->start, o_.range->count, false, false};
        else if (o_.task != Options::Task::dump) e.count = file_sectors_;
        else if (capacity == 0) e = {0, 0xFFFFFFFF, true, false};
        if (capacity != 0 && e.start + e.count > capacity) {
            e.count = capacity > e.start ? capacity - e.start : 0;
            e.cut_at_end = true;
        }
        return e;
    }

    // Compares sectors from..to of a run read from the card with those read
    // from FILE, reports each that differs, and says how many did.
    std::uint32_t report_differing(std::uint32_t first, std::uint32_t from, std::uint32_t to, std::vector<std::uint8_t>& buf,
                                   const char* what, const char* detail = "") {
        std::uint32_t differing = 0;
        for (std::uint32_t i = from; i < to; ++i) {
            if (same(sector_of(buf, i), sector_of(file_run_, i))) continue;
            report_sector(what, first + i, detail);
            if (keeper_) keeper_->map().mark(first + i, 1, MapState::bad);
            if (report_) report_->move(first + i, SectorState::good, SectorState::bad);
            ++differing;
        }
        return differing;
    }

    void say_failed(const char* step, std::uint32_t sector) {
        report_sector("bad sector", sector, (": " + std::string(step) + " failed: " + device_->failure_text()).c_str());
        if (keeper_) keeper_->map().mark(sector, 1, MapState::bad);
        if (report_) report_->add(sector, 1, SectorState::bad);
    }

    // count sectors of buf to FILE from sector first: in order as they come, or
    // with a map or --sparse each at its own offset, zeros past FILE's end left out.
    bool write_sectors(std::uint32_t first, std::vector<std::uint8_t>& buf, std::uint32_t count) {
        if (!keeper_ && !o_.sparse) return std::fwrite(buf.data(), sector_size, count, file_) == count;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t at = file_offset(first + i);
            sparse_size_ = std::max(sparse_size_, at + sector_size);
            if (o_.sparse && at >= file_end_ && all_zero(sector_of(buf, i))) continue;
            if (at != file_position_ && !file_seek(file_, at)) return false;
            if (std::fwrite(buf.data() + std::size_t{i} * sector_size, sector_size, 1, file_) != 1) return false;
            file_position_ = at + sector_size;
        }
        return true;
    }

    // A run read from the card: its good sectors and re-reads go to the report.
    CardResult read_run(std::uint32_t first, std::span<std::uint8_t> data, std::uint32_t& done) {
        const std::uint32_t rereads = device_->rereads();
        const CardResult r = device_->read(first, data, done);
        if (report_) {
            report_->add(first, done, SectorState::good);
            report_->reread(first, device_->rereads() - rereads);
        }
        return r;
    }

    void dump_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
        std::uint32_t got = 0;
        const CardResult r = read_run(first, std::span(buf).first(std::size_t{n} * sector_size), got);
        std::uint32_t keep = got;
        if (r == CardResult::out_of_range) t.past_end = true;
        else if (r != CardResult::ok) {
            say_failed("read", first + got);
            std::ranges::fill(sector_of(buf, got), std::uint8_t{0});
            ++t.bad;
            ++keep;
        }
        // Counted only once they have reached the file.
        if (!write_sectors(first, buf, keep) || std::fflush(file_) != 0) {
            t.file_failed = true;
        } else {
            if (keeper_) keeper_->map().mark(first, got, MapState::good);
            t.done += keep;
        }
    }

    bool read_file(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& to, Tally& t) {
        if (keeper_ && !file_seek(file_, file_offset(first))) t.file_failed = true;
        else if (std::fread(to.data(), sector_size, n, file_) == n) return true;
        t.file_failed = true;
        return false;
    }

    // After a run from first that moved `moved` sectors and ended with r: done,
    // the card's end, or one bad sector passed over (FILE read on after it).
    void settle_run(const char* step, std::uint32_t first, std::uint32_t moved, CardResult r, Tally& t) {
        t.done += moved;
        if (r == CardResult::out_of_range) t.past_end = true;
        if (r == CardResult::ok || r == CardResult::out_of_range) return;
        say_failed(step, first + moved);
        ++t.bad;
        ++t.done;
        if (!file_seek(file_, file_offset(first + moved + 1))) t.file_failed = true;
    }

    void verify_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
        if (!read_file(first, n, file_run_, t)) return;
        std::uint32_t got = 0;
        const CardResult r = read_run(first, std::span(buf).first(std::size_t{n} * sector_size), got);
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
            const CardResult r = read_run(first + at, run, got);
            t.bad += report_differing(first, at, at + got, buf, "bad sector", ": read back differs");
            at += got;
            if (r == CardResult::ok) continue;
            say_failed("read back", first + at);
            ++t.bad;
            ++at;
        }
    }

    void load_step(std::uint32_t first, std::uint32_t n, std::vector<std::uint8_t>& buf, Tally& t) {
        if (!read_file(first, n, file_run_, t)) return;
        const auto data = std::span(file_run_).first(std::size_t{n} * sector_size);
        std::uint32_t wrote = 0;
        const CardResult w = device_->write(first, data, wrote);
        if (keeper_) keeper_->map().mark(first, wrote, MapState::good);
        check_read_back(first, wrote, buf, t);
        settle_run("write", first, wrote, w, t);
    }

    Way way() const {
        switch (o_.task) {
            case Options::Task::verify: return {&CopyRun::verify_step, "verified"};
            case Options::Task::load: return {&CopyRun::load_step, "loaded"};
            default: return {&CopyRun::dump_step, "dumped"};
        }
    }

    void closing_line(const Tally& t, std::uint32_t rereads, std::chrono::steady_clock::time_point started) const {
        text_printf("%s %llu sectors, ", way().done_word, static_cast<unsigned long long>(t.done));
        if (o_.task == Options::Task::verify) text_printf("%u differ, ", static_cast<unsigned>(t.differ));
        text_printf("%u bad, ", static_cast<unsigned>(t.bad));
        text_printf("%u re-read, %.0f bytes/s", static_cast<unsigned>(rereads), sector_rate(t.done, started));
        if (t.interrupted) text_printf(", stopped before sector 0x%X", static_cast<unsigned>(t.next));
        text_printf("\n");
    }

    // The dump file: continued when a map says what it holds, else made anew.
    // A map or --sparse needs a file that can be positioned in.
    Outcome create_file() {
        if (o_.task != Options::Task::dump) return Outcome::ok();
        if (keeper_ && keeper_->existed() && file_exists(o_.file)) {
            if (Outcome opened = sector_file_open(o_.file, true, "file", file_); !opened) return opened;
        } else if (Outcome created = create_stream(o_.file, "the dump", {.replace = o_.force, .in_place = true}, false, file_);
                   !created) {
            return created;
        }
        file_end_ = file_size(file_);
        if (!file_seek(file_, 0)) {
            if (keeper_ || o_.sparse)
                return Outcome::failed(o_.file + " cannot be positioned in: --map and --sparse need a regular file");
            file_end_ = 0;
        }
        file_position_ = 0;
        return Outcome::ok();
    }

    bool should_stop(Tally& t) {
        t.file_failed = t.file_failed || file_lost_;
        if (t.past_end || t.file_failed || device_->gone()) return true;
        t.interrupted = t.interrupted || console_->stop_requested();
        return t.interrupted;
    }

    void save_map(MapPhase phase, std::uint64_t position, int pass, bool stopping = false) {
        if (!keeper_) return;
        const auto now = std::chrono::steady_clock::now();
        if (file_lost_ || (!stopping && now - map_written_ < map_interval)) return;
        // FILE's sectors on the disk, before a map says they are there.
        file_lost_ = file_ && !file_sync(file_);
        if (file_lost_) return;
        map_written_ = now;
        keeper_->map().set_phase(phase, position, pass);
        keeper_->save();
    }

    // Runs the mode's steps over the areas until they are done, the card ends,
    // FILE fails or an ending signal comes.
    Tally move_sectors(const std::vector<MapArea>& areas, bool open_ended, bool map_changes) {
        std::uint64_t total = 0;
        for (const MapArea& a : areas) total += a.count;
        Progress progress(*console_, open_ended ? 0 : total);
        const std::uint32_t run_sectors = device_->run_sectors();
        std::vector<std::uint8_t> buf(std::size_t{run_sectors} * sector_size);
        file_run_.resize(buf.size());
        const Step step = way().step;
        Tally t;
        for (const MapArea& area : areas) {
            for (std::uint64_t at = 0; at < area.count && !should_stop(t);) {
                progress.update(t.done);
                const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(run_sectors, area.count - at));
                const std::uint64_t reported_before = t.bad + t.differ, done_before = t.done;
                (this->*step)(static_cast<std::uint32_t>(area.first + at), n, buf, t);
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
    void retry_failed(const CopyExtent& e, Tally& t) {
        std::vector<std::uint8_t> buf(sector_size);
        for (int pass = 1; pass <= o_.retries; ++pass) {
            for (const MapArea& area : keeper_->map().areas(MapState::bad, e.start, e.count, true)) {
                for (std::uint64_t s = area.first; s < area.first + area.count; ++s) {
                    if (should_stop(t)) return;
                    const auto sector = static_cast<std::uint32_t>(s);
                    if (device_->read_sector(sector, sector_of(buf, 0)) != CardResult::ok) continue;
                    if (!write_sectors(sector, buf, 1) || std::fflush(file_) != 0) {
                        t.file_failed = true;
                        return;
                    }
                    keeper_->map().mark(sector, 1, MapState::good);
                    if (report_) report_->move(sector, SectorState::bad, SectorState::reread);
                    report_sector("recovered sector", sector);
                    save_map(MapPhase::retrying, s + 1, pass + 1);
                }
            }
        }
    }

    // Says where the card ended, if it did inside the copy.
    void report_card_end(const CopyExtent& e, Tally& t) {
        const bool reached_cut = e.cut_at_end && !t.interrupted && !t.file_failed && !t.past_end;
        if (reached_cut) report_sector("end of card at sector", static_cast<std::uint32_t>(device_->sectors()));
        else if (t.past_end) report_sector("end of card at sector", static_cast<std::uint32_t>(t.next));
        t.past_end = t.past_end || reached_cut;
    }

    // The areas a copy goes over: the whole extent, or with a map those still
    // to copy (dump), already copied (verify) or not yet written (load).
    std::vector<MapArea> areas_for(const CopyExtent& e) {
        if (!keeper_) return {{e.start, e.count, MapState::untried}};
        const RescueMap& map = keeper_->map();
        if (o_.task == Options::Task::verify) return map.areas(MapState::good, e.start, e.count);
        std::vector<MapArea> areas = map.areas(MapState::untried, e.start, e.count, o_.task == Options::Task::load);
        std::ranges::sort(areas, {}, &MapArea::first);
        return areas;
    }

    std::uint64_t good_within(const CopyExtent& e) {
        std::uint64_t n = 0;
        for (const MapArea& a : keeper_->map().areas(MapState::good, e.start, e.count)) n += a.count;
        return n;
    }

    void say_map() {
        const RescueMap& map = keeper_->map();
        const std::uint64_t good = map.count(MapState::good), untried = map.count(MapState::untried);
        text_printf("mapfile %s: %llu of %llu sectors good, %llu bad, %llu not tried\n", escaped(keeper_->path()).c_str(),
                    static_cast<unsigned long long>(good), static_cast<unsigned long long>(map.sectors()),
                    static_cast<unsigned long long>(map.sectors() - good - untried), static_cast<unsigned long long>(untried));
    }

    // A map copy is tied to its card and its file.
    Outcome fit_map() {
        if (!keeper_) return Outcome::ok();
        const std::uint64_t bytes = o_.task == Options::Task::dump ? file_end_ : file_sectors_ * sector_size;
        return keeper_->fit(device_->sectors(), bytes, file_identity(file_));
    }

    // A sparse dump's file reaches as far as its last sector, holes included.
    void finish_sparse(Tally& t) {
        if (!o_.sparse || file_end_ >= sparse_size_) return;
        std::error_code ec;
        std::filesystem::resize_file(o_.file, sparse_size_, ec);
        if (ec) t.file_failed = true;
    }

    const Options& o_;
    SectorDevice* device_ = nullptr;
    CardReport* report_ = nullptr;
    Operator* console_ = nullptr;
    std::FILE* file_ = nullptr;
    std::uint64_t file_sectors_ = 0;
    // A run's sectors from FILE, beside those from the card.
    std::vector<std::uint8_t> file_run_;
    // With --map: the map, and FILE a whole-card image; else FILE starts at the copy's first sector.
    std::optional<MapKeeper> keeper_;
    std::uint32_t file_origin_ = 0;
    // Where FILE's stream stands, so that runs in order need no seek.
    std::uint64_t file_position_ = 0;
    // --sparse: sectors of zeros past file_end_ are not written; the file is
    // made sparse_size_ long at the end.
    std::uint64_t file_end_ = 0;
    std::uint64_t sparse_size_ = 0;
    std::chrono::steady_clock::time_point map_written_{};
    // Set once FILE could not be put on the disk: the system reports that
    // only once, so no later map may trust what went to FILE before it.
    bool file_lost_ = false;
};

// The card's CID in hex, "" when the card does not send it.
std::string cid_text(Card& card) {
    CardRegister cid{};
    if (card.read_cid(cid) != CardResult::ok) return "";
    std::string text;
    char two[3];
    for (const std::uint8_t b : cid) {
        std::snprintf(two, sizeof two, "%02X", b);
        text += two;
    }
    return text;
}

int CopyRun::run(ModeRun& r) {
    device_ = &r.device;
    report_ = r.report;
    console_ = &r.console;
    if (keeper_) {
        const std::string copy = o_.task == Options::Task::load ? "load" : "dump";
        if (Outcome same_card = keeper_->check_card(copy, cid_text(r.card)); !same_card) return fail(same_card.why());
    }
    if (Outcome created = create_file(); !created) return fail(created.why());
    // FILE is held for the copy: no other run writes it meanwhile, nor reads what this one writes.
    Outcome held = lock_file(file_, "the file " + o_.file, o_.task == Options::Task::dump);
    if (Outcome fitted = held ? fit_map() : held; !fitted) {
        std::fclose(file_);
        file_ = nullptr;
        return fail(fitted.why());
    }
    const CopyExtent e = extent();
    if (o_.task == Options::Task::load && e.cut_at_end) {
        std::fclose(file_);
        file_ = nullptr;
        return fail("the card ends at sector " + sector_text(device_->sectors()) + ", before the end of what " + o_.file +
                    " would load: nothing was written");
    }
    file_origin_ = keeper_ ? 0 : e.start;
    const bool map_changes = keeper_ && o_.task != Options::Task::verify;
    if (map_changes) save_map(MapPhase::copying, e.start, 1, true);
    const auto started = std::chrono::steady_clock::now();
    const std::uint32_t rereads_before = device_->rereads();
    Tally t = move_sectors(areas_for(e), e.open_ended, map_changes);
    if (keeper_ && o_.task == Options::Task::dump && !t.interrupted && !t.file_failed) retry_failed(e, t);
    report_card_end(e, t);
    if (std::fflush(file_) != 0) t.file_failed = true;
    const bool complete = keeper_ && good_within(e) == e.count;
    if (map_changes) save_map(t.interrupted ? MapPhase::copying : MapPhase::finished, t.next, 1, true);
    t.file_failed = t.file_failed || file_lost_;
    // A dump that could not be written whole ends after its last whole sector.
    if (o_.task == Options::Task::dump && t.file_failed && !keeper_ && !o_.sparse)
        (void)file_truncate(file_, t.done * sector_size);
    if (std::fclose(file_) != 0) t.file_failed = true;
    file_ = nullptr;
    finish_sparse(t);
    const bool card_larger = o_.task == Options::Task::verify && !o_.range && !t.interrupted &&
                             device_->sectors() > file_sectors_;
    if (card_larger)
        text_printf("the card holds %llu sectors, %s only %llu: compared those\n",
                    static_cast<unsigned long long>(device_->sectors()), escaped(o_.file).c_str(),
                    static_cast<unsigned long long>(file_sectors_));
    if (map_changes) say_map();
    closing_line(t, device_->rereads() - rereads_before, started);
    if (RunRecord* record = r.record) {
        record->sectors = t.done;
        record->bad = t.bad;
        record->differ = t.differ;
        record->reread = device_->rereads() - rereads_before;
        record->interrupted = t.interrupted;
    }
    if (t.file_failed)
        report_failure(o_.file + " could not be " + (o_.task == Options::Task::dump ? "written" : "read") +
                       " completely");
    const bool short_run = t.past_end && !e.open_ended;
    const bool all_good = map_changes ? complete : t.bad == 0;
    const bool map_failed = keeper_ && keeper_->failed();
    return all_good && t.differ == 0 && !short_run && !t.file_failed && !map_failed ? ExitStatus::ok : ExitStatus::failed;
}

}  // namespace

Outcome copy_prepare(const Options& o, std::function<int(ModeRun&)>& run) {
    auto copy = std::make_shared<CopyRun>(o);
    run = [copy](ModeRun& r) { return copy->run(r); };
    return copy->prepare();
}
