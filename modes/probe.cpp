#include "modes/probe.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <optional>

#include "modes/sector_pattern.h"

namespace {

using Block = std::array<std::uint8_t, sector_size>;

// Sector numbers are 32 bits and all ones is no sector.
constexpr std::uint64_t addressable = 0xFFFFFFFF;
constexpr int transfer_attempts = 6;
// A block that differs from a tag in this many bytes or fewer is that tag
// with bits the line flipped; any other data differs in nearly all of them.
constexpr std::size_t garbled_bytes = sector_size / 8;

// One sector, as a run of one: a card's tags then go the way its long runs do.
CardResult read_one(SectorDevice& device, std::uint32_t sector, Block& out) {
    std::uint32_t done = 0;
    return device.read(sector, out, done);
}
CardResult write_one(SectorDevice& device, std::uint32_t sector, const Block& data) {
    std::uint32_t done = 0;
    return device.write(sector, data, done);
}

// Every header of a tag: the sector number and the run's value.
constexpr std::size_t header_stride = 64;

// Bytes that depend on the sector and the run, and a header every
// header_stride bytes: a tag with a few bytes flipped still names its sector.
Block make_tag(std::uint32_t sector, std::uint32_t run_id) {
    Block b{};
    fill_pattern(b, pattern_seed(sector, run_id));
    for (std::size_t at = 0; at < sector_size; at += header_stride) {
        put_le32(b, at, sector);
        put_le32(b, at + 4, run_id);
    }
    return b;
}

std::size_t bytes_apart(const Block& a, const Block& b) {
    return static_cast<std::size_t>(std::inner_product(a.begin(), a.end(), b.begin(), std::ptrdiff_t{0}, std::plus<>(),
                                                       [](std::uint8_t x, std::uint8_t y) { return x != y ? 1 : 0; }));
}

// The distinct primes that divide n.
std::vector<std::uint64_t> prime_factors(std::uint64_t n) {
    std::vector<std::uint64_t> primes;
    for (std::uint64_t p = 2; p * p <= n; ++p) {
        if (n % p != 0) continue;
        primes.push_back(p);
        while (n % p == 0) n /= p;
    }
    if (n > 1) primes.push_back(n);
    return primes;
}

std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

// What a sector holds: its own tag, another sector's tag, a tag with a few
// bytes wrong, zeros (or the card refuses it), or other data.
enum class Seen { own, other, garbled, empty, junk };

struct Look {
    Seen seen = Seen::junk;
    std::uint32_t tag = 0;  // for own, other and garbled: the sector whose tag it is
    [[nodiscard]] bool tagged() const { return seen == Seen::own || seen == Seen::other; }
    [[nodiscard]] bool lost() const { return seen == Seen::empty || seen == Seen::junk; }
};

// Ends the search: a transfer kept failing, or the user stopped it.
struct SearchEnded {};
// Ends the search: the card did not do the same thing twice.
struct Doubt {};

class Run {
public:
    Run(SavingDevice& device, const StopCheck& stop, std::uint32_t run_id, ProbeReport& report, std::uint64_t sectors)
        : device_(device), stop_requested_(stop), run_id_(run_id), report_(report), sectors_(sectors) {
        base_ = sectors >= probe_base_from ? probe_base : 0;
        block_ = probe_block_sectors(sectors);
        block_first_ = static_cast<std::uint32_t>(sectors - block_);
        plan_flush();
    }

    // The first sector that does not keep data, or sectors when all do.
    std::uint64_t search() {
        try {
            return find_size();
        } catch (const SearchEnded&) {
        } catch (const Doubt&) {
            doubt_ = true;
        }
        report_.usable_known = false;
        return sectors_;
    }

    // Every sector written over goes back; the saving device counts its own transfers.
    void restore() {
        device_.restore();
        for (const LostOriginal& lost : device_.unrestored()) report_.not_restored.push_back(lost.sector);
        report_.saved = static_cast<std::uint32_t>(device_.restored() + device_.unrestored().size());
        report_.transfers += device_.transfers();
    }

    [[nodiscard]] bool uneven() const { return uneven_; }
    [[nodiscard]] bool doubt() const { return doubt_; }

    [[nodiscard]] bool stopped() {
        if (!stop_) stop_ = stop_requested_();
        return stop_;
    }

private:
    // Tags the top block_ sectors and reads them back; where every one keeps
    // its tag, reads one sector in every block_ below them. Two sectors
    // block_ + j * block_ apart or less share a block: every wrap size has
    // a pair of them, and a card that wraps shows a tag on the lower.
    std::uint64_t find_size() {
        for (std::uint64_t s = block_first_; s < sectors_; ++s) put_tag(static_cast<std::uint32_t>(s));
        flush();
        std::vector<Look> seen;
        for (std::uint64_t s = block_first_; s < sectors_; ++s) seen.push_back(check(static_cast<std::uint32_t>(s)));
        if (std::any_of(seen.begin(), seen.end(), [](const Look& l) { return l.lost(); })) recheck_below_kept(seen);
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (seen[i].seen == Seen::other) return wrap_size(block_first_ + static_cast<std::uint32_t>(i), seen[i].tag);
        }
        const auto first_lost = std::find_if(seen.begin(), seen.end(), [](const Look& l) { return l.lost(); });
        if (first_lost != seen.end()) {
            report_.kind = first_lost->seen == Seen::junk ? FakeKind::limbo : FakeKind::drops;
            return drop_boundary(block_first_ + static_cast<std::uint32_t>(first_lost - seen.begin()));
        }
        for (std::uint64_t step = block_; step <= block_first_; step += block_) {
            if (const auto wrap = wrap_at(static_cast<std::uint32_t>(block_first_ - step))) return *wrap;
        }
        if (block_first_ % block_ != 0) {
            if (const auto wrap = wrap_at(0)) return *wrap;
        }
        return sectors_;
    }

    // A block sector lost below one that kept its tag is tagged again; one
    // still lost makes the card uneven.
    void recheck_below_kept(std::vector<Look>& seen) {
        const auto last_kept = std::find_if(seen.rbegin(), seen.rend(), [](const Look& l) { return l.tagged(); });
        const auto kept_end = static_cast<std::size_t>(seen.rend() - last_kept);
        for (std::size_t i = 0; i < kept_end; ++i) {
            if (!seen[i].lost()) continue;
            seen[i] = lost_again(block_first_ + static_cast<std::uint32_t>(i));
            if (seen[i].lost()) uneven_ = true;
        }
    }

    // The size a tag read at sector gives, if it shows one of another sector.
    // One read is enough for anything but a tag: the line does not turn a
    // tag into other data without leaving one of its headers.
    std::optional<std::uint64_t> wrap_at(std::uint32_t sector) {
        Look l = classify(buffer_, read(sector, buffer_), sector);
        if (l.seen == Seen::garbled) l = settled(sector);
        if (l.seen == Seen::garbled) {
            flush();
            l = settled(sector);
        }
        if (l.seen == Seen::garbled) throw Doubt{};
        if (l.seen == Seen::other) return wrap_size(sector, l.tag);
        return std::nullopt;
    }

    // The 64 sectors right below the block, leaving out those read in the
    // wrap search, and above the first MiB.
    void plan_flush() {
        for (std::uint64_t s = block_first_; s > base_ && flush_.size() < probe_flush_sectors;) {
            --s;
            if ((block_first_ - s) % block_ != 0) flush_.push_back(static_cast<std::uint32_t>(s));
        }
    }

    void check_stop() {
        if (stopped()) throw SearchEnded{};
    }

    [[noreturn]] void fail(std::uint32_t sector) {
        if (std::find(report_.failed.begin(), report_.failed.end(), sector) == report_.failed.end())
            report_.failed.push_back(sector);
        throw SearchEnded{};
    }

    // A read that keeps failing ends the search; a card that refuses the
    // sector every time keeps nothing there.
    CardResult read(std::uint32_t sector, Block& out) {
        CardResult r = CardResult::ok;
        for (int attempt = 0; attempt < transfer_attempts; ++attempt) {
            check_stop();
            ++report_.transfers;
            r = read_one(device_, sector, out);
            if (r == CardResult::ok || r == CardResult::out_of_range) return r;
        }
        fail(sector);
    }

    void write(std::uint32_t sector, const Block& data) {
        for (int attempt = 0; attempt < transfer_attempts; ++attempt) {
            check_stop();
            ++report_.transfers;
            if (write_one(device_, sector, data) == CardResult::ok) return;
        }
        fail(sector);
    }

    // The device saves what the sector held before the first tag goes over it.
    void put_tag(std::uint32_t sector) { write(sector, make_tag(sector, run_id_)); }

    // Tags written over the flush sectors push the others out of a write
    // cache; being tags, any that lands on another sector shows too.
    void flush() {
        for (std::uint32_t s : flush_) put_tag(s);
    }

    Look classify(const Block& b, CardResult r, std::uint32_t sector) const {
        if (r == CardResult::out_of_range) return {Seen::empty, 0};
        std::optional<std::uint32_t> tried;
        for (std::size_t at = 0; at < sector_size; at += header_stride) {
            const std::uint32_t named = get_le32(b, at);
            if (get_le32(b, at + 4) != run_id_ || named == tried) continue;
            tried = named;
            const Block tag = make_tag(named, run_id_);
            if (b == tag) return {named == sector ? Seen::own : Seen::other, named};
            if (bytes_apart(b, tag) <= garbled_bytes) return {Seen::garbled, named};
        }
        if (bytes_apart(b, make_tag(sector, run_id_)) <= garbled_bytes) return {Seen::garbled, sector};
        const bool zeros = std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
        return {zeros ? Seen::empty : Seen::junk, 0};
    }

    // What the sector holds: a whole tag read once (the line cannot make
    // one), anything else read until two reads agree.
    Look settled(std::uint32_t sector) {
        for (int attempt = 0; attempt < transfer_attempts; ++attempt) {
            const CardResult r = read(sector, buffer_);
            const Look first = classify(buffer_, r, sector);
            if (first.tagged()) return first;
            const CardResult again = read(sector, other_);
            if (again == r && (r == CardResult::out_of_range || other_ == buffer_)) return first;
        }
        fail(sector);
    }

    // What a sector just tagged holds; one whose tag came garbled is tagged again.
    Look check(std::uint32_t sector) {
        for (int attempt = 0; attempt < transfer_attempts; ++attempt) {
            const Look l = settled(sector);
            if (l.seen != Seen::garbled) return l;
            put_tag(sector);
            flush();
        }
        fail(sector);
    }

    Look tag_and_check(std::uint32_t sector) {
        put_tag(sector);
        flush();
        return check(sector);
    }

    // A sector seen lost, tagged afresh twice more: a write the line lost
    // now and then does not stay lost three times.
    Look lost_again(std::uint32_t sector) {
        Look l;
        for (int round = 0; round < 2; ++round) {
            l = tag_and_check(sector);
            if (!l.lost()) break;
        }
        return l;
    }

    // Writes stop staying somewhere in (good, bad]: the first sector that
    // loses one, seen lost three times. A tag that turns up at another sector
    // gives the wrap size.
    std::uint64_t drop_boundary(std::uint32_t lost) {
        std::int64_t good = -1, bad = lost;
        const auto probe_at = [&](std::uint32_t mid) {
            const Look l = tag_and_check(mid);
            if (l.seen == Seen::other) return std::optional<std::uint64_t>(wrap_size(mid, l.tag));
            (l.seen == Seen::own ? good : bad) = mid;
            return std::optional<std::uint64_t>();
        };
        if (base_ > 0 && base_ < bad) {
            if (const auto wrap = probe_at(base_)) return *wrap;
        }
        while (bad - good > 1) {
            if (const auto wrap = probe_at(static_cast<std::uint32_t>(good + (bad - good) / 2))) return *wrap;
        }
        if (!lost_again(static_cast<std::uint32_t>(bad)).lost()) throw Doubt{};
        return static_cast<std::uint64_t>(bad);
    }

    // Sector a holds the tag of sector b: the card keeps n sectors and n
    // divides their distance. Each prime comes off the distance while the
    // card still folds the rest onto one sector; what is left is n.
    std::uint64_t wrap_size(std::uint32_t a, std::uint32_t b) {
        report_.kind = FakeKind::wraps;
        std::uint64_t size = distance(a, b);
        if (size == 0 || size >= sectors_ || !folds(size, size)) throw Doubt{};
        std::vector<std::uint64_t> whole;  // primes whose every power left is part of n
        for (;;) {
            std::vector<std::uint64_t> primes = prime_factors(size);
            const auto p = std::find_if(primes.begin(), primes.end(), [&](std::uint64_t q) {
                return std::find(whole.begin(), whole.end(), q) == whole.end();
            });
            if (p == primes.end()) return size;
            const std::uint64_t smaller = size / *p;
            if (folds(size, smaller)) size = std::gcd(size, smaller);
            else whole.push_back(*p);
        }
    }

    // Tags two sectors apart by distance, flushes, and reads both: one tag
    // in both means they share a block. A tag seen on another sector than
    // its own narrows the size known to be a multiple of n.
    bool folds(std::uint64_t& size, std::uint64_t apart) {
        const bool fits = base_ + apart < sectors_;
        const auto low = static_cast<std::uint32_t>(fits ? base_ : sectors_ - 1 - apart);
        const auto high = static_cast<std::uint32_t>(low + apart);
        const bool low_tagged = low >= base_;
        for (int attempt = 0; attempt < transfer_attempts; ++attempt) {
            if (low_tagged) put_tag(low);
            put_tag(high);
            flush();
            const Look at_low = settled(low);
            const Look at_high = settled(high);
            narrow(size, at_low, low);
            narrow(size, at_high, high);
            if (at_low.seen == Seen::garbled || at_high.seen == Seen::garbled) continue;
            // A tag that did not stay is not a card that wraps.
            if (!at_high.tagged() || (low_tagged && !at_low.tagged())) throw Doubt{};
            return at_low.tagged() && at_low.tag == at_high.tag;
        }
        fail(high);
    }

    static void narrow(std::uint64_t& size, const Look& l, std::uint32_t sector) {
        if (l.seen == Seen::other) size = std::gcd(size, distance(l.tag, sector));
    }

    SavingDevice& device_;
    const StopCheck& stop_requested_;
    std::uint32_t run_id_;
    ProbeReport& report_;
    std::uint64_t sectors_;
    std::uint32_t base_ = 0;
    std::uint64_t block_ = 1;
    std::uint32_t block_first_ = 0;
    std::vector<std::uint32_t> flush_;
    Block buffer_{};
    Block other_{};
    bool stop_ = false;
    bool uneven_ = false;
    bool doubt_ = false;
};

}  // namespace

std::uint64_t probe_block_sectors(std::uint64_t sectors) {
    const std::uint64_t base = sectors >= probe_base_from ? probe_base : 0;
    const auto block = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(sectors) / 6)));
    return std::clamp<std::uint64_t>(block, 1, std::max<std::uint64_t>(sectors - base, 1));
}

std::uint64_t probe_transfer_bound(std::uint64_t sectors) {
    const std::uint64_t block = probe_block_sectors(sectors);
    // The block and the flush sectors saved (two reads), tagged, read back
    // and put back (a write and two reads); one read in every block below.
    const std::uint64_t search = 7 * (block + probe_flush_sectors) + sectors / block + 1;
    // Each fold test or boundary step saves, tags, reads and puts back two
    // sectors and flushes: one per bit of a size, one per prime, a few more.
    const std::uint64_t step = probe_flush_sectors + 4 * 7;
    return search + (2 * 32 + 16) * step;
}

std::uint64_t probe_capacity(SectorDevice& device, std::uint32_t& transfers) {
    Block block{};
    const auto inside = [&](std::uint64_t sector) {
        ++transfers;
        return read_one(device, static_cast<std::uint32_t>(sector), block) != CardResult::out_of_range;
    };
    if (!inside(0)) return 0;
    std::uint64_t good = 0, past = 1;
    while (past < addressable && inside(past)) {
        good = past;
        past = std::min(past * 2, addressable);
    }
    while (past - good > 1) {
        const std::uint64_t mid = good + (past - good) / 2;
        (inside(mid) ? good : past) = mid;
    }
    return past;
}

ProbeReport probe(SavingDevice& device, const StopCheck& stop, std::uint64_t claimed, std::uint32_t run_id) {
    ProbeReport report;
    report.claimed = claimed;
    const std::uint64_t sectors = std::min(claimed, addressable);
    if (sectors == 0) {
        report.verdict = Verdict::damaged;
        return report;
    }
    Run run(device, stop, run_id, report, sectors);
    const std::uint64_t usable = run.search();
    report.usable = usable == sectors ? claimed : usable;
    const bool interrupted = run.stopped();
    run.restore();
    if (interrupted) report.verdict = Verdict::interrupted;
    else if (!report.failed.empty() || run.uneven() || !report.not_restored.empty()) report.verdict = Verdict::damaged;
    else if (run.doubt()) report.verdict = Verdict::uncertain;
    else if (report.usable < claimed) report.verdict = Verdict::counterfeit;
    else report.verdict = Verdict::genuine;
    if (report.verdict != Verdict::counterfeit) report.kind = FakeKind::none;
    return report;
}
