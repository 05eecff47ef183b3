#include "modes/probe.h"

#include <algorithm>
#include <array>
#include <bit>
#include <numeric>
#include <optional>

#include "modes/sector_pattern.h"

namespace {

using Block = std::array<std::uint8_t, sector_size>;

// Sector numbers are 32 bits and all ones is no sector.
constexpr std::uint64_t addressable = 0xFFFFFFFF;
constexpr int restore_attempts = 6;

// One sector, as a run of one: a card's tags then go the way its long runs do.
CardResult read_one(SectorDevice& device, std::uint32_t sector, Block& out) {
    std::uint32_t done = 0;
    return device.read(sector, out, done);
}
CardResult write_one(SectorDevice& device, std::uint32_t sector, const Block& data) {
    std::uint32_t done = 0;
    return device.write(sector, data, done);
}

struct Saved {
    std::uint32_t sector;
    Block data;
    bool refused = false;  // the card refused to read it: nothing to put back
};

// The sector number, the run's value, then bytes that depend on both.
Block make_tag(std::uint32_t sector, std::uint32_t run_id) {
    Block b{};
    put_le32(b, 0, sector);
    put_le32(b, 4, run_id);
    fill_pattern(std::span(b).subspan(8), pattern_seed(sector, run_id));
    return b;
}

// The sector a block is this run's tag of, if it is one.
std::optional<std::uint32_t> tag_of(const Block& b, std::uint32_t run_id) {
    const std::uint32_t sector = get_le32(b, 0);
    if (get_le32(b, 4) != run_id || b != make_tag(sector, run_id)) return std::nullopt;
    return sector;
}

// base, base plus every power of four and plus the highest power of two, and
// the last sector: a card that wraps at a power of two folds one of them onto base.
std::vector<std::uint32_t> spread_positions(std::uint64_t sectors, std::uint32_t base) {
    std::vector<std::uint32_t> positions{base};
    std::uint64_t power = 1;
    for (; power < sectors; power *= 2) {
        if (std::countr_zero(power) % 2 == 0 && base + power < sectors) positions.push_back(static_cast<std::uint32_t>(base + power));
    }
    if (base + power / 2 < sectors) positions.push_back(static_cast<std::uint32_t>(base + power / 2));
    positions.push_back(static_cast<std::uint32_t>(sectors - 1));
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
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

constexpr int transfer_attempts = 6;

// What a sector holds: its own tag, another sector's tag, zeros (or the
// card refuses it), other data, or it could not be read.
enum class Seen { own, other, empty, junk, failed };

struct Look {
    Seen seen = Seen::failed;
    std::uint32_t tag = 0;  // for other: the sector whose tag it is
};

// Ends the search: a transfer kept failing, or the user stopped it.
struct SearchEnded {};

class Run {
public:
    Run(SectorDevice& device, const StopCheck& stop, std::uint32_t run_id, ProbeReport& report, std::uint64_t sectors)
        : device_(device), stop_requested_(stop), run_id_(run_id), report_(report), sectors_(sectors) {
        base_ = sectors >= probe_base_from ? probe_base : 0;
        // Between base + 4^5 and base + 4^6, apart from every spread position.
        const std::uint64_t flush_at = base_ + 1088;
        if (flush_at + probe_flush_sectors < sectors) flush_first_ = static_cast<std::uint32_t>(flush_at);
    }

    // The first sector that does not keep data, or sectors when all do.
    std::uint64_t search() {
        try {
            return find_size();
        } catch (const SearchEnded&) {
            report_.usable_known = false;
            return sectors_;
        }
    }

    void restore() {
        for (auto entry = journal_.rbegin(); entry != journal_.rend(); ++entry) {
            if (!put_back(*entry)) report_.not_restored.push_back(entry->sector);
        }
        report_.saved = static_cast<std::uint32_t>(journal_.size());
    }

    [[nodiscard]] bool uneven() const { return uneven_; }

    [[nodiscard]] bool stopped() {
        if (!stop_) stop_ = stop_requested_();
        return stop_;
    }

private:
    std::uint64_t find_size() {
        const std::vector<std::uint32_t> positions = spread_positions(sectors_, base_);
        for (std::uint32_t p : positions) save(p);
        // Highest first, so that where two positions share a block the lower one's tag stays.
        for (auto p = positions.rbegin(); p != positions.rend(); ++p) put_tag(*p);
        flush();
        std::vector<Look> seen;
        for (std::uint32_t p : positions) seen.push_back(look(p));
        for (std::size_t i = 0; i < positions.size(); ++i) {
            if (seen[i].seen == Seen::other) return wrap_size(positions[i], seen[i].tag);
        }
        const auto first_bad = std::find_if(seen.begin(), seen.end(), [](const Look& l) { return l.seen != Seen::own; });
        if (first_bad == seen.end()) return sectors_;
        const auto bad = static_cast<std::size_t>(first_bad - seen.begin());
        report_.kind = first_bad->seen == Seen::junk ? FakeKind::limbo : FakeKind::drops;
        uneven_ = std::any_of(first_bad, seen.end(), [](const Look& l) { return l.seen == Seen::own; });
        return drop_boundary(bad == 0 ? -1 : std::int64_t{positions[bad - 1]}, positions[bad]);
    }

    void check_stop() {
        if (stopped()) throw SearchEnded{};
    }

    void fail(std::uint32_t sector) {
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
        return r;
    }

    void write(std::uint32_t sector, const Block& data) {
        for (int attempt = 0; attempt < transfer_attempts; ++attempt) {
            check_stop();
            ++report_.transfers;
            if (write_one(device_, sector, data) == CardResult::ok) return;
        }
        fail(sector);
    }

    // Keeps what the sector held, once, before the first write to it.
    void save(std::uint32_t sector) {
        if (std::binary_search(saved_.begin(), saved_.end(), sector)) return;
        Saved entry{sector, {}};
        if (read(sector, entry.data) == CardResult::out_of_range) entry.refused = true;
        journal_.push_back(entry);
        saved_.insert(std::upper_bound(saved_.begin(), saved_.end(), sector), sector);
    }

    void put_tag(std::uint32_t sector) {
        save(sector);
        write(sector, make_tag(sector, run_id_));
    }

    // Tags written over the flush area push the others out of a write cache;
    // being tags, any that lands on another sector shows too.
    void flush() {
        if (flush_first_) flush_from(*flush_first_);
    }

    void flush_from(std::uint64_t first) {
        for (std::uint64_t s = first; s < first + probe_flush_sectors && s < sectors_; ++s) put_tag(static_cast<std::uint32_t>(s));
    }

    Look classify(const Block& b, CardResult r) const {
        if (r == CardResult::out_of_range) return {Seen::empty, 0};
        if (const auto tag = tag_of(b, run_id_)) return {*tag == last_sector_ ? Seen::own : Seen::other, *tag};
        const bool zeros = std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
        return {zeros ? Seen::empty : Seen::junk, 0};
    }

    // What the sector holds now; anything but its own tag is read twice and
    // must read the same both times.
    Look look(std::uint32_t sector) {
        last_sector_ = sector;
        for (int attempt = 0; attempt < transfer_attempts; ++attempt) {
            const Look first = classify(buffer_, read(sector, buffer_));
            if (first.seen == Seen::own) return first;
            const Block kept = buffer_;
            const CardResult again = read(sector, buffer_);
            const Look second = classify(buffer_, again);
            if (second.seen == first.seen && second.tag == first.tag && buffer_ == kept) return first;
        }
        fail(sector);
        return {};
    }

    // Tags a sector, flushes, and sees what it holds.
    Look tag_and_look(std::uint32_t sector) {
        put_tag(sector);
        flush();
        return look(sector);
    }

    // Writes stop staying somewhere in (good, bad]: the first sector that
    // loses one. A tag that turns up at another sector gives the wrap size.
    std::uint64_t drop_boundary(std::int64_t good, std::int64_t bad) {
        while (bad - good > 1) {
            const auto mid = static_cast<std::uint32_t>(good + (bad - good) / 2);
            const Look l = tag_and_look(mid);
            if (l.seen == Seen::other) return wrap_size(mid, l.tag);
            if (l.seen == Seen::own) good = mid;
            else bad = mid;
        }
        return static_cast<std::uint64_t>(bad);
    }

    // Sector a holds the tag of sector b: the card keeps n sectors and n
    // divides their distance. Each prime comes off the distance while the
    // card still folds the rest onto the lower sector; what is left is n.
    std::uint64_t wrap_size(std::uint32_t a, std::uint32_t b) {
        report_.kind = FakeKind::wraps;
        std::uint32_t low = std::min(a, b);
        std::uint64_t size = a > b ? a - b : b - a;
        for (bool shrunk = true; shrunk;) {
            shrunk = false;
            for (std::uint64_t p : prime_factors(size)) {
                const Look l = fold_test(low, size / p);
                if (l.seen == Seen::other && l.tag == low + size / p) {
                    size /= p;
                } else if (l.seen == Seen::other) {
                    // A flush tag at low: its distance narrows the size too;
                    // one that does not tells nothing about this prime.
                    const std::uint64_t narrowed = std::gcd(size, std::uint64_t{l.tag > low ? l.tag - low : low - l.tag});
                    if (narrowed == size) continue;
                    size = narrowed;
                } else if (l.seen != Seen::own) {
                    fail(low);
                } else {
                    continue;
                }
                shrunk = true;
                break;
            }
        }
        return size;
    }

    // Tags low, then low + distance, flushes right above low (where only a
    // card that keeps a few dozen sectors could fold a flush tag onto low),
    // and reads low back.
    Look fold_test(std::uint32_t low, std::uint64_t distance) {
        put_tag(low);
        put_tag(static_cast<std::uint32_t>(low + distance));
        flush_from(std::uint64_t{low} + 1);
        return look(low);
    }

    bool put_back(const Saved& entry) {
        if (entry.refused) return true;
        for (int attempt = 0; attempt < restore_attempts; ++attempt) {
            ++report_.transfers;
            (void)write_one(device_, entry.sector, entry.data);
            ++report_.transfers;
            if (read_one(device_, entry.sector, buffer_) == CardResult::ok && buffer_ == entry.data) return true;
        }
        return false;
    }

    SectorDevice& device_;
    const StopCheck& stop_requested_;
    std::uint32_t run_id_;
    ProbeReport& report_;
    std::uint64_t sectors_;
    std::uint32_t base_ = 0;
    std::optional<std::uint32_t> flush_first_;
    std::vector<Saved> journal_;
    std::vector<std::uint32_t> saved_;  // sorted
    Block buffer_{};
    std::uint32_t last_sector_ = 0;
    bool stop_ = false;
    bool uneven_ = false;
};

}  // namespace

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

ProbeReport probe(SectorDevice& device, const StopCheck& stop, std::uint64_t claimed, std::uint32_t run_id) {
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
    else if (report.usable < claimed) report.verdict = Verdict::counterfeit;
    else report.verdict = Verdict::genuine;
    if (report.verdict != Verdict::counterfeit) report.kind = FakeKind::none;
    return report;
}
