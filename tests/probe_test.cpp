// The counterfeit-capacity probe against cards kept in memory: genuine ones,
// ones that wrap at a power of two, ones that drop writes past their real
// size, damaged ones; each boundary found to the sector, the transfers
// counted, and every byte the card held still there afterwards.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <map>
#include <random>
#include <set>

#include "modes/probe.h"

namespace {

using Block = std::array<std::uint8_t, sector_size>;

enum class Kind { genuine, wrap, drop };

Block original(std::uint32_t sector) {
    Block b{};
    std::uint32_t x = sector * 747796405u + 1;
    for (auto& byte : b) byte = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    return b;
}

// Claims `claimed` sectors and keeps `real` of them; only the blocks written
// are stored, the rest read as original(sector).
class FakeCard final : public SectorDevice {
public:
    FakeCard(Kind kind, std::uint64_t claimed, std::uint64_t real) : kind_(kind), claimed_(claimed), real_(real) {}

    std::uint64_t sectors() override { return claimed_; }
    CardResult read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) override {
        for (done = 0; done < buf.size() / sector_size; ++done) {
            if (const CardResult r = read_one(first + done, sector_in(buf, done)); r != CardResult::ok) return r;
        }
        return CardResult::ok;
    }
    CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) override {
        for (done = 0; done < buf.size() / sector_size; ++done) {
            if (const CardResult r = write_one(first + done, sector_in(buf, done)); r != CardResult::ok) return r;
        }
        return CardResult::ok;
    }
    // The probe's stop check.
    StopCheck stop() {
        return [this] { return transfers >= stop_after; };
    }

    CardResult read_one(std::uint32_t sector, std::span<std::uint8_t, sector_size> out) {
        ++transfers;
        if (sector >= claimed_) return CardResult::out_of_range;
        if (flaky()) return CardResult::bad_crc;
        for (const auto& [cached, data] : cache_) {
            if (cached != sector) continue;
            std::copy(data.begin(), data.end(), out.begin());
            return CardResult::ok;
        }
        if (kind_ == Kind::drop && sector >= real_) {
            std::fill(out.begin(), out.end(), 0);
            return CardResult::ok;
        }
        const std::uint32_t block = where(sector);
        const auto stored = blocks_.find(block);
        const Block b = stored == blocks_.end() ? original(block) : stored->second;
        std::copy(b.begin(), b.end(), out.begin());
        return CardResult::ok;
    }
    CardResult write_one(std::uint32_t sector, std::span<const std::uint8_t, sector_size> data) {
        ++transfers;
        if (sector >= claimed_) return CardResult::out_of_range;
        if (failing.count(sector) || flaky()) return CardResult::no_data;
        lowest_written = std::min(lowest_written, sector);
        if (cache_sectors != 0) {
            cache_.emplace_back(sector, Block{});
            std::copy(data.begin(), data.end(), cache_.back().second.begin());
            if (cache_.size() > cache_sectors) cache_.pop_front();
        }
        if (kind_ == Kind::drop && sector >= real_) return CardResult::ok;
        std::copy(data.begin(), data.end(), blocks_[where(sector)].begin());
        return CardResult::ok;
    }

    // Every block written holds what it held before.
    bool intact() const {
        for (const auto& [block, data] : blocks_)
            if (data != original(block)) return false;
        return true;
    }

    std::uint32_t transfers = 0;
    std::uint32_t stop_after = 0xFFFFFFFF;
    std::set<std::uint32_t> failing;  // writes to these fail
    double failure_rate = 0;          // any transfer fails with this chance
    std::size_t cache_sectors = 0;    // reads see the last writes this many, kept or not
    std::uint32_t lowest_written = 0xFFFFFFFF;

private:
    bool flaky() { return failure_rate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < failure_rate; }
    std::uint32_t where(std::uint32_t sector) const {
        return kind_ == Kind::wrap ? static_cast<std::uint32_t>(sector % real_) : sector;
    }
    Kind kind_;
    std::uint64_t claimed_;
    std::uint64_t real_;
    std::map<std::uint32_t, Block> blocks_;
    std::deque<std::pair<std::uint32_t, Block>> cache_;
    std::mt19937 random_{7};
};

constexpr std::uint64_t tib2 = std::uint64_t{1} << 32;  // 2 TiB in sectors
constexpr std::uint32_t transfer_limit = 3000;

struct Case {
    Kind kind;
    std::uint64_t claimed;
    std::uint64_t real;
};

constexpr std::array<Case, 25> cases{{
    {Kind::genuine, 1, 1}, {Kind::genuine, 1000, 1000}, {Kind::genuine, 65536, 65536},
    {Kind::genuine, 15523840, 15523840},  // an 8 GB card
    {Kind::genuine, tib2, tib2},
    {Kind::wrap, 65536, 1}, {Kind::wrap, 65536, 2}, {Kind::wrap, 65536, 8}, {Kind::wrap, 65536, 4096},
    {Kind::wrap, 65536, 32768}, {Kind::wrap, 15523840, 1 << 20}, {Kind::wrap, 3 << 22, 1 << 22},
    {Kind::wrap, tib2, 1 << 23}, {Kind::wrap, tib2, std::uint64_t{1} << 31},
    {Kind::drop, 65536, 1}, {Kind::drop, 65536, 12345}, {Kind::drop, 65536, 65535}, {Kind::drop, 1000, 999},
    {Kind::drop, 15523840, 7761920}, {Kind::drop, tib2, 3}, {Kind::drop, tib2, 123456789},
    {Kind::drop, tib2, std::uint64_t{1} << 31}, {Kind::drop, tib2, (std::uint64_t{1} << 31) + 1},
    {Kind::drop, tib2, tib2 - 2}, {Kind::drop, tib2, 0xC0000001},
}};

std::string name(const Case& c) {
    static constexpr const char* kinds[] = {"genuine", "wrap", "drop"};
    return std::string(kinds[static_cast<int>(c.kind)]) + " " + std::to_string(c.claimed) + "/" + std::to_string(c.real);
}

}  // namespace

TEST(Probe, FindsTheExactSizeWithFewTransfersAndPutsEverythingBack) {
    for (const Case& c : cases) {
        FakeCard card(c.kind, c.claimed, c.real);
        const ProbeReport r = probe(card, card.stop(), c.claimed, 0x5EED1234);
        EXPECT_EQ(r.usable, c.real) << name(c);
        EXPECT_EQ(r.verdict, c.kind == Kind::genuine ? Verdict::genuine : Verdict::counterfeit) << name(c);
        EXPECT_EQ(r.transfers, card.transfers) << name(c);
        EXPECT_LT(card.transfers, transfer_limit) << name(c);
        EXPECT_TRUE(r.failed.empty() && r.not_restored.empty()) << name(c);
        EXPECT_TRUE(card.intact()) << name(c);
    }
}

TEST(Probe, SectorsThatFailBelowTheSizeMakeTheCardDamaged) {
    for (const Case& c : {Case{Kind::genuine, 65536, 65536}, Case{Kind::drop, tib2, 1 << 20}}) {
        FakeCard card(c.kind, c.claimed, c.real);
        card.failing = {probe_base + 16};
        const ProbeReport r = probe(card, card.stop(), c.claimed, 7);
        EXPECT_EQ(r.verdict, Verdict::damaged) << name(c);
        EXPECT_EQ(r.failed, std::vector<std::uint32_t>{probe_base + 16}) << name(c);
        EXPECT_TRUE(card.intact()) << name(c);
    }
}

TEST(Probe, StoppedAtAnyPointItStillPutsEverythingBack) {
    for (const Case& c : {Case{Kind::drop, tib2, 123456789}, Case{Kind::wrap, tib2, 1 << 23}}) {
        FakeCard whole(c.kind, c.claimed, c.real);
        const ProbeReport full = probe(whole, whole.stop(), c.claimed, 99);
        const std::uint32_t searching = full.transfers - 2 * full.saved;  // putting back is not stopped
        for (std::uint32_t stop = 0; stop < searching; stop += 1 + searching / 16) {
            FakeCard card(c.kind, c.claimed, c.real);
            card.stop_after = stop;
            const ProbeReport r = probe(card, card.stop(), c.claimed, 99);
            EXPECT_EQ(r.verdict, Verdict::interrupted) << name(c) << " stop " << stop;
            EXPECT_TRUE(card.intact()) << name(c) << " stop " << stop;
        }
    }
}

TEST(Probe, CapacityOfACardThatDoesNotSayIt) {
    for (std::uint64_t claimed : {std::uint64_t{1}, std::uint64_t{65536}, std::uint64_t{15523840}, std::uint64_t{0x7FFFFF}}) {
        FakeCard card(Kind::genuine, claimed, claimed);
        std::uint32_t transfers = 0;
        EXPECT_EQ(probe_capacity(card, transfers), claimed);
        EXPECT_EQ(transfers, card.transfers);
        EXPECT_LE(transfers, 50u);
    }
}

// Transfers that fail now and then are tried again: the verdict is right, or
// damaged with the sectors that kept failing; never a wrong size.
TEST(Probe, FailingTransfersNeverMakeACardSmaller) {
    for (double rate : {0.01, 0.1, 0.3, 0.6}) {
        for (const Case& c : {Case{Kind::genuine, 65536, 65536}, Case{Kind::wrap, 65536, 4096}, Case{Kind::drop, 65536, 12345}}) {
            FakeCard card(c.kind, c.claimed, c.real);
            card.failure_rate = rate;
            const ProbeReport r = probe(card, card.stop(), c.claimed, 3);
            if (r.verdict == Verdict::damaged) {
                EXPECT_FALSE(r.failed.empty() && r.not_restored.empty()) << name(c) << " " << rate;
                EXPECT_FALSE(r.usable_known && r.usable != c.real) << name(c) << " " << rate;
            } else {
                EXPECT_EQ(r.usable, c.real) << name(c) << " " << rate;
                EXPECT_EQ(r.verdict, c.kind == Kind::genuine ? Verdict::genuine : Verdict::counterfeit) << name(c) << " " << rate;
            }
            if (r.not_restored.empty()) {
                EXPECT_TRUE(card.intact()) << name(c) << " " << rate;
            }
        }
    }
}

// A tag that turns up at another sector gives the exact size of a card that
// wraps anywhere; where none does, the card passes (the full-capacity test
// finds it), never with a wrong size.
TEST(Probe, AWrapThatATagRevealsIsExact) {
    int revealed = 0;
    for (std::uint64_t real = 1001; real < 65536; real = real * 3 + 17) {
        FakeCard card(Kind::wrap, 65536, real);
        const ProbeReport r = probe(card, card.stop(), 65536, 11);
        EXPECT_TRUE(r.usable == real || r.usable == 65536) << real;
        EXPECT_TRUE(card.intact()) << real;
        if (r.usable == real) ++revealed;
    }
    FakeCard odd(Kind::wrap, 8192, 3001);
    EXPECT_EQ(probe(odd, odd.stop(), 8192, 11).usable, 3001u);
    EXPECT_GT(revealed, 0);
}

// The tags are read only after enough other writes to push them out of a
// write cache, and the first MiB is left alone on a card that has room.
TEST(Probe, ACacheDoesNotHideLostWritesAndTheFirstMiBIsLeftAlone) {
    for (const Case& c : {Case{Kind::drop, 65536, 12345}, Case{Kind::drop, tib2, 123456789}, Case{Kind::genuine, 65536, 65536}}) {
        FakeCard card(c.kind, c.claimed, c.real);
        card.cache_sectors = probe_flush_sectors / 2;
        const ProbeReport r = probe(card, card.stop(), c.claimed, 5);
        EXPECT_EQ(r.usable, c.real) << name(c);
        EXPECT_GE(card.lowest_written, probe_base) << name(c);
    }
}
