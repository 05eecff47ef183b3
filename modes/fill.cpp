#include "modes/fill.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/text_out.h"
#include "report/card_report.h"
#include "report/run_record.h"
#include "base/operator.h"
#include "base/exit_status.h"
#include "modes/progress.h"
#include "modes/sector_pattern.h"
#include "modes/units.h"
#include "modes/copy.h"
#include "base/escape.h"
#include "base/safe_file.h"
#include "base/sector_file.h"
#include "sim/storage.h"
#include "disk/saving_device.h"
#include "modes/put_back.h"

namespace {

constexpr std::size_t seed_at = 4, tag_at = 8, pattern_at = 12;
// A block that differs from its own pattern in fewer bits than this is that
// pattern with bits flipped; old data or zeros differ in about half of them.
constexpr int corrupted_below_bits = sector_size * 8 / 4;
// Sectors named for each kind in the report.
constexpr std::size_t named_per_kind = 4;

constexpr std::array<const char*, 5> kind_names{"ok", "unreadable", "corrupted", "overwritten", "lost"};

int differing_bits(std::span<const std::uint8_t, sector_size> a, std::span<const std::uint8_t, sector_size> b) {
    int bits = 0;
    for (std::size_t i = 0; i < sector_size; ++i) bits += std::popcount(static_cast<unsigned>(a[i] ^ b[i]));
    return bits;
}

using Block = std::array<std::uint8_t, sector_size>;

std::span<std::uint8_t, sector_size> sector_in(std::vector<std::uint8_t>& buf, std::uint32_t i) {
    return ::sector_in(std::span(buf), i);
}

// How a sector's kind shows in the run's report.
constexpr std::array<SectorState, 5> report_states{SectorState::good, SectorState::bad, SectorState::bad,
                                                   SectorState::overwritten, SectorState::lost};

}  // namespace

void FillPattern::make(std::uint32_t sector, std::span<std::uint8_t, sector_size> out) const {
    put_le32(out, 0, sector);
    put_le32(out, seed_at, seed_);
    put_le32(out, tag_at, tag_);
    fill_pattern(out.subspan(pattern_at), pattern_seed(sector, seed_));
}

Kept FillPattern::sort(std::uint32_t sector, std::span<const std::uint8_t, sector_size> block, std::uint32_t& holds) const {
    Block own{};
    make(sector, own);
    if (std::equal(own.begin(), own.end(), block.begin())) return Kept::ok;
    const std::uint32_t named = get_le32(block, 0);
    if (named != sector && get_le32(block, seed_at) == seed_ && get_le32(block, tag_at) == tag_) {
        Block other{};
        make(named, other);
        if (std::equal(other.begin(), other.end(), block.begin())) {
            holds = named;
            return Kept::overwritten;
        }
    }
    // An earlier run's pattern of this sector is its old data.
    if (named == sector && get_le32(block, seed_at) == seed_ && get_le32(block, tag_at) != tag_) return Kept::lost;
    return differing_bits(own, block) < corrupted_below_bits ? Kept::corrupted : Kept::lost;
}

namespace {

// The sectors the test covers.
struct Extent {
    std::uint32_t start = 0;
    std::uint64_t count = 0;
};

struct Named {
    std::uint32_t sector;
    std::uint32_t holds;
};

// How the read-back sorted the sectors so far.
struct Sorting {
    std::array<std::uint64_t, kind_names.size()> counts{};
    std::array<std::vector<Named>, kind_names.size()> named;
    std::uint64_t usable = 0;  // sectors from the start before the first that did not keep its data
    std::uint64_t checked = 0;

    void add(std::uint32_t sector, Kept kept, std::uint32_t holds = 0) {
        const auto k = static_cast<std::size_t>(kept);
        ++counts[k];
        if (named[k].size() < named_per_kind) named[k].push_back({sector, holds});
        if (kept == Kept::ok && usable == checked) ++usable;
        ++checked;
    }
    [[nodiscard]] std::uint64_t count(Kept k) const { return counts[static_cast<std::size_t>(k)]; }
};

enum class FillVerdict { genuine, counterfeit, damaged };

// One sector's data at another, or a card that keeps nothing past a point,
// is a counterfeit; any other fault is damage.
FillVerdict verdict_of(const Sorting& s) {
    if (s.count(Kept::ok) == s.checked) return FillVerdict::genuine;
    const bool lost_tail = s.count(Kept::lost) == s.checked - s.usable;
    if (s.count(Kept::overwritten) != 0 || lost_tail) return FillVerdict::counterfeit;
    return FillVerdict::damaged;
}

constexpr const char* verdict_name(FillVerdict v) {
    switch (v) {
        case FillVerdict::genuine: return "genuine";
        case FillVerdict::counterfeit: return "counterfeit";
        default: return "damaged";
    }
}

class Fill {
public:
    Fill(ModeRun& run, const Options& o, Extent e, std::uint32_t tag)
        : run_(run), card_(run.device), report_(run.report), record_(run.record), console_(run.console), options_(o), extent_(e),
          pattern_(o.fill_seed.value_or(tag), tag),
          buf_(std::size_t{card_.run_sectors()} * sector_size) {}

    int run() {
        if (!options_.backup.empty() && !save_backup()) return ExitStatus::failed;
        const bool written = write_all();
        if (written) read_back();
        print_report(written);
        record(written);
        const bool restored = options_.backup.empty() || put_backup_back();
        const bool genuine = written && sorting_.checked == extent_.count && verdict_of(sorting_) == FillVerdict::genuine;
        return genuine && restored ? ExitStatus::ok : ExitStatus::failed;
    }

private:
    [[nodiscard]] bool stopped() const { return console_.stop_requested(); }

    std::uint32_t run_length(std::uint64_t left) const {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(card_.run_sectors(), left));
    }

    // Writes the runs from the top of the extent down, so that on a card that
    // wraps, the sectors it really has are written last and keep their own
    // pattern. True when every run was written (not stopped).
    bool write_all() {
        Progress progress(console_, extent_.count);
        std::uint64_t top = extent_.count;
        while (top > 0) {
            if (stopped()) break;
            progress.update(extent_.count - top);
            const std::uint32_t n = run_length(top);
            const auto first = static_cast<std::uint32_t>(extent_.start + top - n);
            for (std::uint32_t i = 0; i < n; ++i) pattern_.make(first + i, sector_in(buf_, i));
            top -= n;
            if (top == 0) write_singly_down(first, n);
            else write_run(first, n);
        }
        progress.clear();
        wrote_ = extent_.count - top;
        return top == 0;
    }

    // The lowest run a sector at a time from its top: a card that wraps
    // within one run keeps these sectors' own patterns too.
    void write_singly_down(std::uint32_t first, std::uint32_t n) {
        for (std::uint32_t i = n; i-- > 0;) {
            std::uint32_t wrote = 0;
            (void)device().write(first + i, sector_in(buf_, i), wrote);
        }
    }

    // A sector whose write fails is passed over: the read-back sorts it.
    void write_run(std::uint32_t first, std::uint32_t n) {
        for (std::uint32_t at = 0; at < n;) {
            std::uint32_t wrote = 0;
            const auto data = std::span(buf_).subspan(std::size_t{at} * sector_size, std::size_t{n - at} * sector_size);
            const CardResult r = device().write(first + at, data, wrote);
            at += wrote + (r == CardResult::ok ? 0 : 1);
        }
    }

    void read_back() {
        Progress progress(console_, extent_.count);
        for (std::uint64_t at = 0; at < extent_.count;) {
            if (stopped()) break;
            progress.update(at);
            const std::uint32_t n = run_length(extent_.count - at);
            const auto first = static_cast<std::uint32_t>(extent_.start + at);
            std::uint32_t got = 0;
            const CardResult r = device().read(first, std::span(buf_).first(std::size_t{n} * sector_size), got);
            for (std::uint32_t i = 0; i < got; ++i) {
                std::uint32_t holds = 0;
                const Kept kept = pattern_.sort(first + i, sector_in(buf_, i), holds);
                sort(first + i, kept, holds);
            }
            at += got;
            if (r == CardResult::ok) continue;
            // A card that refuses a sector it claims keeps nothing there.
            sort(static_cast<std::uint32_t>(extent_.start + at), r == CardResult::out_of_range ? Kept::lost : Kept::unreadable);
            ++at;
        }
        progress.clear();
    }

    void sort(std::uint32_t sector, Kept kept, std::uint32_t holds = 0) {
        sorting_.add(sector, kept, holds);
        if (report_) report_->add(sector, 1, report_states[static_cast<std::size_t>(kept)]);
    }

    void print_kind(Kept kind) const {
        const auto k = static_cast<std::size_t>(kind);
        text_printf("%s: %llu", kind_names[k], static_cast<unsigned long long>(sorting_.counts[k]));
        if (kind != Kept::ok) {
            for (std::size_t i = 0; i < sorting_.named[k].size(); ++i) {
                const Named& n = sorting_.named[k][i];
                text_printf("%s%s", i == 0 ? ", first " : ", ", sector_text(n.sector).c_str());
                if (kind == Kept::overwritten) text_printf(" (holds %s)", sector_text(n.holds).c_str());
            }
        }
        text_printf("\n");
    }

    void print_report(bool written) const {
        if (!written) {
            text_printf("stopped: wrote %llu of %llu sectors (%s to %s); nothing was checked\n",
                        static_cast<unsigned long long>(wrote_), static_cast<unsigned long long>(extent_.count),
                        sector_text(extent_.start + extent_.count - wrote_).c_str(),
                        sector_text(extent_.start + extent_.count - 1).c_str());
            return;
        }
        for (std::size_t k = 0; k < kind_names.size(); ++k) print_kind(static_cast<Kept>(k));
        if (sorting_.checked < extent_.count) {
            text_printf("stopped: checked %llu of %llu sectors; the rest was not checked\n",
                        static_cast<unsigned long long>(sorting_.checked), static_cast<unsigned long long>(extent_.count));
            return;
        }
        text_printf("usable: %llu sectors (%s)\nverdict: %s\n", static_cast<unsigned long long>(sorting_.usable),
                    size_text(sorting_.usable * sector_size).c_str(), verdict_name(verdict_of(sorting_)));
    }

    void record(bool written) const {
        if (!record_) return;
        const auto count = [&](Kept k) { return sorting_.counts[static_cast<std::size_t>(k)]; };
        record_->sectors = written ? sorting_.checked : wrote_;
        record_->bad = count(Kept::unreadable) + count(Kept::corrupted);
        record_->interrupted = !written || sorting_.checked < extent_.count;
        if (record_->interrupted) {
            record_->verdict = "interrupted";
            return;
        }
        record_->usable_sectors = sorting_.usable;
        record_->verdict = verdict_name(verdict_of(sorting_));
    }

    // The extent's sectors into the backup file, before anything is written
    // (each run read twice alike): a sector that cannot be read or saved
    // ends the test there.
    bool save_backup() {
        const WriteRules rules{.replace = options_.force, .in_place = true};
        if (Outcome created = create_stream(options_.backup, "the backup", rules, true, backup_); !created)
            return say_backup(created.why());
        if (!file_seek(backup_, 0)) return say_backup(options_.backup + " cannot be read back: name a regular file");
        saver_.emplace(card_, originals_in_file(backup_, extent_.start));
        Progress progress(console_, extent_.count);
        for (std::uint64_t at = 0; at < extent_.count;) {
            if (stopped()) return say_backup("stopped while saving the backup; nothing was written");
            progress.update(at);
            const std::uint32_t n = run_length(extent_.count - at);
            std::uint32_t saved = 0;
            const CardResult r = saver_->save(static_cast<std::uint32_t>(extent_.start + at), n, saved);
            if (saver_->store_failed())
                return say_backup(options_.backup + " could not be written; nothing was written to the card");
            if (r != CardResult::ok) {
                progress.clear();
                return say_backup("sector " + sector_text(extent_.start + at + saved) +
                                  " could not be read for the backup; nothing was written");
            }
            at += n;
        }
        progress.clear();
        text_printf("saved %llu sectors to %s\n", static_cast<unsigned long long>(extent_.count), escaped(options_.backup).c_str());
        return true;
    }

    bool say_backup(const std::string& why) {
        saver_.reset();
        if (backup_) std::fclose(backup_);
        backup_ = nullptr;
        report_failure(why);
        return false;
    }

    // Writes the backup over the extent, each run read back twice; goes on
    // after Ctrl+C, since until then the card holds the test's patterns.
    bool put_backup_back() {
        saver_->restore();
        const auto& lost = saver_->unrestored();
        for (std::size_t i = 0; i < lost.size() && i < named_per_kind; ++i)
            report_sector("backup not put back at sector", lost[i].sector);
        const bool whole = lost.empty();
        if (whole) text_printf("put back %llu sectors from %s, verified\n", static_cast<unsigned long long>(saver_->restored()),
                               escaped(options_.backup).c_str());
        else text_printf("the backup was NOT put back completely: %zu sectors differ or were not written; %s holds it\n",
                         lost.size(), escaped(options_.backup).c_str());
        (void)keep_unrestored(run_, *saver_);
        saver_.reset();
        std::fclose(backup_);
        backup_ = nullptr;
        return whole;
    }

    // The card, through the backup's saving device when there is one.
    SectorDevice& device() { return saver_ ? static_cast<SectorDevice&>(*saver_) : card_; }

    ModeRun& run_;
    SectorDevice& card_;
    CardReport* report_;
    RunRecord* record_;
    Operator& console_;
    const Options& options_;
    Extent extent_;
    FillPattern pattern_;
    std::vector<std::uint8_t> buf_;
    Sorting sorting_;
    std::uint64_t wrote_ = 0;
    std::FILE* backup_ = nullptr;
    std::optional<SavingDevice> saver_;
};

}  // namespace

Outcome fill_prepare(const Options& o) {
    if (o.backup.empty()) return Outcome::ok();
    if (o.port == Options::Port::sim && storage_is_file(o.backup))
        return Outcome::failed("the backup " + o.backup + " is the card image; name another file");
    if (!o.trace.empty() && same_file(o.backup, o.trace))
        return Outcome::failed("the backup " + o.backup + " is the trace; name another file");
    if (!o.force && file_exists(o.backup)) return Outcome::failed(o.backup + " exists: add --force to replace it");
    return Outcome::ok();
}

int run_fill(ModeRun& run, const Options& o) {
    const std::uint64_t capacity = run.device.sectors();
    Extent e{0, capacity};
    if (o.range) e = {o.range->start, o.range->count};
    if (capacity != 0 && e.start + e.count > capacity) {
        e.count = capacity > e.start ? capacity - e.start : 0;
        if (e.count != 0) text_printf("the card ends at sector %s: the range stops there\n", sector_text(capacity).c_str());
    }
    if (e.count == 0) {
        return fail(capacity == 0 ? "the card does not say its capacity: give --range" : "the range lies past the card's end");
    }
    text_printf("filling %llu sectors from %s (%s)\n", static_cast<unsigned long long>(e.count),
                sector_text(e.start).c_str(), size_text(e.count * sector_size).c_str());
    text_flush();
    Fill fill(run, o, e, new_run_tag());
    return fill.run();
}
