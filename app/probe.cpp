#include "app/probe.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>

#include "app/sector_pattern.h"

namespace {

using Block = std::array<std::uint8_t, sector_size>;

// Sector numbers are 32 bits and all ones is no sector.
constexpr std::uint64_t addressable = 0xFFFFFFFF;
constexpr int restore_attempts = 2;

struct Saved {
    std::uint32_t sector;
    Block data;
};

void put32(Block& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get32(const Block& b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
    return v;
}

// The sector number, the run's value, then bytes that depend on both.
Block make_tag(std::uint32_t sector, std::uint32_t run_id) {
    Block b{};
    put32(b, 0, sector);
    put32(b, 4, run_id);
    fill_pattern(std::span(b).subspan(8), pattern_seed(sector, run_id));
    return b;
}

// The sector a block is this run's tag of, if it is one.
std::optional<std::uint32_t> tag_of(const Block& b, std::uint32_t run_id) {
    const std::uint32_t sector = get32(b, 0);
    if (get32(b, 4) != run_id || b != make_tag(sector, run_id)) return std::nullopt;
    return sector;
}

// 0, every power of four, the highest power of two and the last sector: a
// card that wraps at a power of two folds one of them onto a lower one.
std::vector<std::uint32_t> spread_positions(std::uint64_t sectors) {
    std::vector<std::uint32_t> positions{0};
    std::uint64_t power = 1;
    for (; power < sectors; power *= 2) {
        if (std::countr_zero(power) % 2 == 0) positions.push_back(static_cast<std::uint32_t>(power));
    }
    positions.push_back(static_cast<std::uint32_t>(power / 2));
    positions.push_back(static_cast<std::uint32_t>(sectors - 1));
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}

enum class Seen { own, wrapped, lost, failed };

class Run {
public:
    Run(ProbeDevice& device, std::uint32_t run_id, ProbeReport& report)
        : device_(device), run_id_(run_id), report_(report) {}

    // The first sector that does not keep data, or sectors when all do.
    std::uint64_t search(std::uint64_t sectors) {
        const std::vector<std::uint32_t> positions = spread_positions(sectors);
        const std::vector<Seen> seen = tag_positions(positions);
        if (stopped()) return sectors;
        const auto first_bad =
            std::find_if(seen.begin(), seen.end(), [](Seen s) { return s == Seen::wrapped || s == Seen::lost; });
        if (first_bad == seen.end()) return sectors;
        const auto bad = static_cast<std::size_t>(first_bad - seen.begin());
        std::int64_t good = -1;
        for (std::size_t i = 0; i < bad; ++i) {
            if (seen[i] == Seen::own) good = positions[i];
        }
        report_.wraps = *first_bad == Seen::wrapped;
        if (report_.wraps) return wrap_boundary(good, positions[bad], seen[0] == Seen::own);
        // Past the size of a card that drops writes no position keeps its tag.
        uneven_ = std::find(first_bad, seen.end(), Seen::own) != seen.end();
        return drop_boundary(good, positions[bad]);
    }

    void restore() {
        for (auto entry = journal_.rbegin(); entry != journal_.rend(); ++entry) {
            if (!put_back(*entry)) report_.not_restored.push_back(entry->sector);
        }
        report_.saved = static_cast<std::uint32_t>(journal_.size());
    }

    // A sector kept its tag above one that lost it: not a card that is only smaller.
    [[nodiscard]] bool uneven() const { return uneven_; }

    [[nodiscard]] bool stopped() {
        if (!stop_) stop_ = device_.stop_requested();
        return stop_;
    }

private:
    CardResult read(std::uint32_t sector, Block& out) {
        ++report_.transfers;
        return device_.read(sector, out);
    }

    CardResult write(std::uint32_t sector, const Block& data) {
        ++report_.transfers;
        return device_.write(sector, data);
    }

    // Saves every position, tags them, and reads back what each holds.
    std::vector<Seen> tag_positions(const std::vector<std::uint32_t>& positions) {
        std::vector<Seen> seen(positions.size(), Seen::failed);
        for (std::size_t i = 0; i < positions.size() && !stopped(); ++i) seen[i] = save(positions[i]);
        // Highest first, so that where two positions share a block the lower one's tag stays.
        for (std::size_t i = positions.size(); i-- > 0 && !stopped();) {
            if (seen[i] == Seen::own && !put(positions[i], make_tag(positions[i], run_id_))) seen[i] = Seen::failed;
        }
        for (std::size_t i = 0; i < positions.size() && !stopped(); ++i) {
            if (seen[i] == Seen::own) seen[i] = look(positions[i]);
        }
        return seen;
    }

    void fail(std::uint32_t sector) {
        if (std::find(report_.failed.begin(), report_.failed.end(), sector) == report_.failed.end())
            report_.failed.push_back(sector);
    }

    // A card that refuses sectors past its real size keeps nothing there.
    Seen save(std::uint32_t sector) {
        Saved entry{sector, {}};
        const CardResult r = read(sector, entry.data);
        if (r == CardResult::out_of_range) return Seen::lost;
        if (r != CardResult::ok) {
            fail(sector);
            return Seen::failed;
        }
        journal_.push_back(entry);
        return Seen::own;
    }

    bool put(std::uint32_t sector, const Block& data) {
        if (write(sector, data) == CardResult::ok) return true;
        fail(sector);
        return false;
    }

    // What the block at a tagged position holds now.
    Seen look(std::uint32_t sector) {
        const CardResult r = read(sector, buffer_);
        if (r == CardResult::out_of_range) return Seen::lost;
        if (r != CardResult::ok) {
            fail(sector);
            return Seen::failed;
        }
        const auto tag = tag_of(buffer_, run_id_);
        if (!tag) return Seen::lost;
        return *tag == sector ? Seen::own : Seen::wrapped;
    }

    // Saves, tags and reads back one sector: true when the tag stayed.
    bool keeps(std::uint32_t sector) {
        return save(sector) == Seen::own && put(sector, make_tag(sector, run_id_)) && look(sector) == Seen::own;
    }

    // True when a tag written at sector shows at sector 0 (whose own tag is there).
    bool folds_onto_zero(std::uint32_t sector) {
        const Block tag = make_tag(sector, run_id_);
        if (save(sector) != Seen::own || !put(sector, tag)) return false;
        if (read(0, buffer_) != CardResult::ok) {
            fail(0);
            return false;
        }
        return buffer_ == tag;
    }

    // Writes stop staying somewhere in (good, bad]: the first sector that loses one.
    std::uint64_t drop_boundary(std::int64_t good, std::int64_t bad) {
        while (bad - good > 1 && !stopped()) {
            const std::int64_t mid = good + (bad - good) / 2;
            if (keeps(static_cast<std::uint32_t>(mid))) good = mid;
            else bad = mid;
        }
        return static_cast<std::uint64_t>(bad);
    }

    // The card folds bad onto a lower sector. Wrapping at a power of two puts
    // every multiple of it on sector 0: the first power of two in (good, bad)
    // that does so is the size, else bad itself is the best bound.
    std::uint64_t wrap_boundary(std::int64_t good, std::uint32_t bad, bool zero_tagged) {
        if (!zero_tagged) return bad;
        std::vector<std::uint32_t> candidates;
        for (std::uint64_t p = 1; p < bad; p *= 2) {
            if (static_cast<std::int64_t>(p) > good) candidates.push_back(static_cast<std::uint32_t>(p));
        }
        std::size_t below = 0, above = candidates.size();  // candidates[above] folds (bad, past the end)
        while (above > below && !stopped()) {
            const std::size_t mid = below + (above - below) / 2;
            if (folds_onto_zero(candidates[mid])) above = mid;
            else below = mid + 1;
        }
        return above < candidates.size() ? candidates[above] : bad;
    }

    bool put_back(const Saved& entry) {
        for (int attempt = 0; attempt < restore_attempts; ++attempt) {
            (void)write(entry.sector, entry.data);
            if (read(entry.sector, buffer_) == CardResult::ok && buffer_ == entry.data) return true;
        }
        return false;
    }

    ProbeDevice& device_;
    std::uint32_t run_id_;
    ProbeReport& report_;
    std::vector<Saved> journal_;
    Block buffer_{};
    bool stop_ = false;
    bool uneven_ = false;
};

}  // namespace

std::uint64_t probe_capacity(ProbeDevice& device, std::uint32_t& transfers) {
    Block block{};
    const auto inside = [&](std::uint64_t sector) {
        ++transfers;
        return device.read(static_cast<std::uint32_t>(sector), block) != CardResult::out_of_range;
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

ProbeReport probe(ProbeDevice& device, std::uint64_t claimed, std::uint32_t run_id) {
    ProbeReport report;
    report.claimed = claimed;
    const std::uint64_t sectors = std::min(claimed, addressable);
    if (sectors == 0) {
        report.verdict = Verdict::damaged;
        return report;
    }
    Run run(device, run_id, report);
    const std::uint64_t usable = run.search(sectors);
    report.usable = usable == sectors ? claimed : usable;
    const bool interrupted = run.stopped();
    run.restore();
    const bool failed_below = std::any_of(report.failed.begin(), report.failed.end(),
                                          [&](std::uint32_t s) { return s < report.usable; });
    if (interrupted) report.verdict = Verdict::interrupted;
    else if (failed_below || run.uneven() || !report.not_restored.empty()) report.verdict = Verdict::damaged;
    else if (report.usable < claimed) report.verdict = Verdict::counterfeit;
    else report.verdict = Verdict::genuine;
    return report;
}
