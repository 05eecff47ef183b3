// The counterfeit-capacity probe against cards kept in memory: genuine ones,
// ones that wrap or drop writes past a real size of any number of sectors,
// damaged and noisy ones; each size found to the sector within the bound,
// never a false verdict, and every byte the card held still there afterwards.
// The same cards under the device that saves and puts back sectors.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "disk/restore_journal.h"
#include "disk/traced_device.h"
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

// Claims `claimed` sectors and keeps `real` of them: past them a wrapping
// card's controller takes the address modulo real, a dropping one loses
// writes and reads zeros. Only the blocks written are stored, the rest read
// as original(sector). Noise fails transfers (a failed write may still land)
// or, without a word, flips a few bits of a block read or written or loses
// a write.
class FakeCard final : public SectorDevice {
public:
    FakeCard(Kind kind, std::uint64_t claimed, std::uint64_t real, std::uint32_t seed = 7)
        : kind_(kind), claimed_(claimed), real_(real), random_(seed) {}

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
        if (chance(failure_rate)) return CardResult::bad_crc;
        const auto cached = std::find_if(cache_.rbegin(), cache_.rend(), [&](const auto& c) { return c.first == sector; });
        if (cached != cache_.rend()) {
            std::copy(cached->second.begin(), cached->second.end(), out.begin());
        } else if (kind_ == Kind::drop && sector >= real_) {
            std::fill(out.begin(), out.end(), 0);
        } else {
            const auto stored = blocks_.find(where(sector));
            const Block b = stored == blocks_.end() ? original(where(sector)) : stored->second;
            std::copy(b.begin(), b.end(), out.begin());
        }
        if (chance(garble_rate)) garble(out);
        return CardResult::ok;
    }
    CardResult write_one(std::uint32_t sector, std::span<const std::uint8_t, sector_size> data) {
        ++transfers;
        if (sector >= claimed_) return CardResult::out_of_range;
        if (failing.count(sector)) return CardResult::no_data;
        const bool failed = chance(failure_rate);
        if (failed && chance(0.5)) return CardResult::no_data;
        if (chance(loss_rate)) return CardResult::ok;
        lowest_written = std::min(lowest_written, sector);
        Block kept{};
        std::copy(data.begin(), data.end(), kept.begin());
        if (chance(garble_rate)) garble(kept);
        if (cache_sectors != 0) {
            cache_.emplace_back(sector, kept);
            if (cache_.size() > cache_sectors) cache_.pop_front();
        }
        if (kind_ != Kind::drop || sector < real_) blocks_[where(sector)] = kept;
        return failed ? CardResult::no_data : CardResult::ok;
    }

    // Every block written holds what it held before.
    bool intact() const {
        return std::all_of(blocks_.begin(), blocks_.end(), [](const auto& b) { return b.second == original(b.first); });
    }

    std::uint32_t transfers = 0;
    std::uint32_t stop_after = 0xFFFFFFFF;
    std::set<std::uint32_t> failing;  // writes to these fail
    double failure_rate = 0;          // a transfer fails with this chance
    double garble_rate = 0;           // a block read or written comes with bits flipped
    double loss_rate = 0;             // a write said to be done is not (its answer misread)
    std::size_t cache_sectors = 0;    // reads see the last writes this many, kept or not
    std::uint32_t lowest_written = 0xFFFFFFFF;

private:
    bool chance(double rate) { return rate > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < rate; }
    void garble(std::span<std::uint8_t> b) {
        for (int flips = std::uniform_int_distribution<int>(1, 8)(random_); flips > 0; --flips) {
            const auto bit = std::uniform_int_distribution<std::size_t>(0, sector_size * 8 - 1)(random_);
            b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    std::uint32_t where(std::uint32_t sector) const {
        return kind_ == Kind::wrap ? static_cast<std::uint32_t>(sector % real_) : sector;
    }
    Kind kind_;
    std::uint64_t claimed_;
    std::uint64_t real_;
    std::map<std::uint32_t, Block> blocks_;
    std::deque<std::pair<std::uint32_t, Block>> cache_;
    std::mt19937 random_;
};

// The probe over the card, through the device that saves and puts back.
ProbeReport probe_of(FakeCard& card, std::uint64_t claimed, std::uint32_t run_id) {
    SavingDevice saver(card);
    return probe(saver, card.stop(), claimed, run_id);
}

constexpr std::uint64_t mib1 = 2048;
constexpr std::uint64_t tib2 = std::uint64_t{1} << 32;  // 2 TiB in sectors

struct Case {
    Kind kind;
    std::uint64_t claimed;
    std::uint64_t real;
};

// Powers of two and odd sizes, a sector from either end, inside the first
// MiB, on cards from 1 MiB to 2 TiB.
constexpr Case cases[] = {
    {Kind::genuine, 1, 1}, {Kind::genuine, 1000, 1000}, {Kind::genuine, mib1, mib1}, {Kind::genuine, 65536, 65536},
    {Kind::genuine, 15523840, 15523840},  // an 8 GB card
    {Kind::genuine, tib2, tib2},
    {Kind::wrap, 65536, 1}, {Kind::wrap, 65536, 2}, {Kind::wrap, 65536, 8}, {Kind::wrap, 65536, 4096},
    {Kind::wrap, 65536, 32768}, {Kind::wrap, 15523840, 1 << 20}, {Kind::wrap, 3 << 22, 1 << 22},
    {Kind::wrap, 0x4000, 0x1064}, {Kind::wrap, 0x4000, 0x10C8}, {Kind::wrap, 0x4000, 0x1800},
    {Kind::wrap, 0x4000, 0x2001}, {Kind::wrap, 0x4000, 0x3000}, {Kind::wrap, 0x4000, 0x3FFF},
    {Kind::wrap, 0x4000, 1500}, {Kind::wrap, mib1, 3}, {Kind::wrap, mib1, 2047}, {Kind::wrap, mib1, 1001},
    {Kind::wrap, 15523840, 15523839}, {Kind::wrap, 15523840, 7761921}, {Kind::wrap, 15523840, 999983},
    {Kind::wrap, tib2, std::uint64_t{1} << 31}, {Kind::wrap, tib2, tib2 - 2}, {Kind::wrap, tib2, 3000000019},
    {Kind::wrap, tib2, 65537}, {Kind::wrap, tib2 - 1, 2147483647},
    {Kind::drop, 65536, 1}, {Kind::drop, 65536, 12345}, {Kind::drop, 65536, 65535}, {Kind::drop, 1000, 999},
    {Kind::drop, 0x4000, 0x1064}, {Kind::drop, 0x4000, 0x3FFF}, {Kind::drop, mib1, 1001}, {Kind::drop, mib1, 1},
    {Kind::drop, 15523840, 7761920}, {Kind::drop, tib2, 3}, {Kind::drop, tib2, 123456789},
    {Kind::drop, tib2, (std::uint64_t{1} << 31) + 1}, {Kind::drop, tib2, tib2 - 2},
};

std::string name(const Case& c) {
    static constexpr const char* kinds[] = {"genuine", "wrap", "drop"};
    return std::string(kinds[static_cast<int>(c.kind)]) + " " + std::to_string(c.claimed) + "/" + std::to_string(c.real);
}

Verdict truth(const Case& c) { return c.kind == Kind::genuine ? Verdict::genuine : Verdict::counterfeit; }

// A verdict the card does not deserve: genuine or counterfeit where it is
// not, or the wrong size.
bool falsely_sure(const ProbeReport& r, const Case& c) {
    if (r.verdict != Verdict::genuine && r.verdict != Verdict::counterfeit) return false;
    return r.verdict != truth(c) || r.usable != c.real;
}

}  // namespace

TEST(Probe, FindsTheExactSizeWithinTheBoundAndPutsEverythingBack) {
    std::map<std::uint64_t, std::uint32_t> worst;  // by claimed size
    for (const Case& c : cases) {
        FakeCard card(c.kind, c.claimed, c.real);
        const ProbeReport r = probe_of(card, c.claimed, 0x5EED1234);
        EXPECT_EQ(r.usable, c.real) << name(c);
        EXPECT_EQ(r.verdict, truth(c)) << name(c);
        EXPECT_EQ(r.transfers, card.transfers) << name(c);
        EXPECT_LE(card.transfers, probe_transfer_bound(c.claimed)) << name(c);
        EXPECT_TRUE(r.failed.empty() && r.not_restored.empty()) << name(c);
        EXPECT_TRUE(card.intact()) << name(c);
        worst[c.claimed] = std::max(worst[c.claimed], card.transfers);
    }
    for (const auto& [claimed, transfers] : worst)
        std::cout << "probe of " << claimed << " sectors: at most " << transfers << " transfers, bound "
                  << probe_transfer_bound(claimed) << "\n";
}

// Sizes all over a 1 MiB card and a 4.2 MiB one (probed past the first MiB).
TEST(Probe, FindsEverySizeOfSmallCards) {
    for (const std::uint64_t claimed : {mib1, std::uint64_t{8200}}) {
        for (const Kind kind : {Kind::wrap, Kind::drop}) {
            for (std::uint64_t real = 1; real < claimed; real += claimed == mib1 ? 5 : 97) {
                FakeCard card(kind, claimed, real);
                const ProbeReport r = probe_of(card, claimed, 3);
                ASSERT_TRUE(r.verdict == Verdict::counterfeit && r.usable == real && card.intact())
                    << name({kind, claimed, real}) << " found " << r.usable;
            }
        }
    }
}

// Transfers that fail, blocks read or written with bits flipped and writes
// lost with no word of it, over 20 seeds: the verdict and the size are right, or the
// card is damaged or left open; never falsely sure, every sector put back.
TEST(Probe, NoiseNeverMakesItFalselySure) {
    constexpr Case noisy[] = {
        {Kind::genuine, 0x4000, 0x4000}, {Kind::genuine, mib1, mib1}, {Kind::genuine, 3 << 20, 3 << 20},
        {Kind::wrap, 0x4000, 0x1064}, {Kind::wrap, 0x4000, 0x10C8}, {Kind::wrap, 0x4000, 0x1800},
        {Kind::wrap, 0x4000, 0x2001}, {Kind::wrap, 0x4000, 0x3000}, {Kind::wrap, 0x4000, 0x3FFF},
        {Kind::wrap, 0x4000, 0x1000}, {Kind::wrap, 0x4000, 5}, {Kind::wrap, mib1, 1001}, {Kind::wrap, 3 << 20, 1000003},
        {Kind::drop, 0x4000, 0x1064}, {Kind::drop, 0x4000, 0x3FFF}, {Kind::drop, 0x4000, 0x2001},
        {Kind::drop, mib1, 999}, {Kind::drop, 3 << 20, 1000003},
    };
    int right = 0, runs = 0;
    for (const Case& c : noisy) {
        for (std::uint32_t seed = 1; seed <= 20; ++seed) {
            FakeCard card(c.kind, c.claimed, c.real, seed);
            card.failure_rate = 0.02 * (seed % 4);
            card.garble_rate = 0.01 * (seed % 5);
            card.loss_rate = 0.01 * (seed % 3);
            card.cache_sectors = seed % 3 == 0 ? probe_flush_sectors / 2 : 0;
            const ProbeReport r = probe_of(card, c.claimed, seed);
            const std::string where = name(c) + " seed " + std::to_string(seed);
            EXPECT_FALSE(falsely_sure(r, c)) << where << " found " << r.usable;
            EXPECT_TRUE(r.verdict != Verdict::damaged || !r.failed.empty() || !r.not_restored.empty()) << where;
            if (r.not_restored.empty()) {
                EXPECT_TRUE(card.intact()) << where;
            }
            ++runs;
            if (r.verdict == truth(c)) ++right;
        }
    }
    std::cout << "under noise: " << right << " of " << runs << " probes gave the verdict, the rest damaged or open\n";
    EXPECT_GT(right, runs / 2);
}

TEST(Probe, SectorsThatKeepFailingMakeTheCardDamaged) {
    for (const Case& c : {Case{Kind::genuine, 65536, 65536}, Case{Kind::drop, tib2, 1 << 20}, Case{Kind::wrap, 65536, 3001}}) {
        FakeCard card(c.kind, c.claimed, c.real);
        const auto flushed = static_cast<std::uint32_t>(c.claimed - probe_block_sectors(c.claimed) - 1);
        card.failing = {flushed};
        const ProbeReport r = probe_of(card, c.claimed, 7);
        EXPECT_EQ(r.verdict, Verdict::damaged) << name(c);
        EXPECT_FALSE(r.usable_known) << name(c);
        EXPECT_EQ(r.failed, std::vector<std::uint32_t>{flushed}) << name(c);
        EXPECT_TRUE(card.intact()) << name(c);
    }
}

TEST(Probe, StoppedAtAnyPointItStillPutsEverythingBack) {
    for (const Case& c : {Case{Kind::drop, 1 << 22, 123456}, Case{Kind::wrap, 1 << 22, 3000017}}) {
        FakeCard whole(c.kind, c.claimed, c.real);
        const ProbeReport full = probe_of(whole, c.claimed, 99);
        const std::uint32_t searching = full.transfers - 3 * full.saved;  // putting back is not stopped
        for (std::uint32_t stop = 0; stop < searching; stop += 1 + searching / 16) {
            FakeCard card(c.kind, c.claimed, c.real);
            card.stop_after = stop;
            const ProbeReport r = probe_of(card, c.claimed, 99);
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

// The tags are read only after enough other writes to push them out of a
// write cache, and the first MiB is left alone on a card that has room.
TEST(Probe, ACacheDoesNotHideLostWritesAndTheFirstMiBIsLeftAlone) {
    for (const Case& c : {Case{Kind::drop, 65536, 12345}, Case{Kind::drop, tib2, 123456789}, Case{Kind::genuine, 65536, 65536},
                          Case{Kind::wrap, 65536, 3001}, Case{Kind::wrap, 0x4000, 0x3FFF}}) {
        FakeCard card(c.kind, c.claimed, c.real);
        card.cache_sectors = probe_flush_sectors / 2;
        const ProbeReport r = probe_of(card, c.claimed, 5);
        EXPECT_EQ(r.usable, c.real) << name(c);
        EXPECT_GE(card.lowest_written, probe_base) << name(c);
    }
}

// The device that saves what is written over, seen through the traced one:
// what it reads before a write, what it writes and reads back to put a
// sector back, and what is left when a sector will not go back.
TEST(SavingDevice, SavesOnceBeforeTheFirstWriteAndPutsBackUntilTwoReadsAgree) {
    const Block tag = original(1000);
    const struct {
        const char* what;
        void (*work)(SavingDevice&, const Block&);
        std::vector<std::string> log;
    } cases[] = {
        {"one sector written twice",
         [](SavingDevice& d, const Block& b) {
             std::uint32_t done = 0;
             (void)d.write(5, b, done);
             (void)d.write(5, b, done);
         },
         {"read 0x5+1: ok", "read 0x5+1: ok", "write 0x5+1: ok", "write 0x5+1: ok", "write 0x5+1: ok", "read 0x5+1: ok",
          "read 0x5+1: ok"}},
        {"a backup of a run, then the run written",
         [](SavingDevice& d, const Block&) {
             std::uint32_t saved = 0, done = 0;
             (void)d.save(8, 3, saved);
             std::vector<std::uint8_t> run(3 * sector_size, 0xA5);
             (void)d.write(8, run, done);
         },
         {"read 0x8+3: ok", "read 0x8+3: ok", "write 0x8+3: ok", "write 0x8+3: ok", "read 0x8+3: ok", "read 0x8+3: ok"}},
        {"a sector past the end has nothing to put back",
         [](SavingDevice& d, const Block& b) {
             std::uint32_t done = 0;
             (void)d.write(64, b, done);
         },
         {"read 0x40+1: out-of-range", "read 0x40+1: out-of-range", "write 0x40+1: out-of-range"}},
    };
    for (const auto& c : cases) {
        FakeCard card(Kind::genuine, 64, 64);
        std::vector<std::string> log;
        TracedDevice traced(card, [&](std::string_view line) { log.emplace_back(line); });
        SavingDevice saver(traced);
        c.work(saver, tag);
        saver.restore();
        EXPECT_EQ(log, c.log) << c.what;
        EXPECT_TRUE(saver.unrestored().empty() && card.intact()) << c.what;
    }
}

// On a card that folds sectors onto each other, on one whose writes fail or
// come back garbled most of the time, and on one that refuses a write it
// never took, every sector goes back; one whose writes fail from some point
// on is named with what it held, and its journal puts it back next time.
TEST(SavingDevice, EverySectorGoesBackOrIntoTheJournal) {
    const struct {
        const char* what;
        Kind kind;
        std::uint64_t real;
        double failure_rate, garble_rate;
        std::set<std::uint32_t> failing_before, failing_after;
    } cases[] = {
        {"folds at 4", Kind::wrap, 4, 0, 0, {}, {}},
        {"noisy", Kind::genuine, 64, 0.3, 0.2, {}, {}},
        {"refuses a write it never took", Kind::genuine, 64, 0, 0, {6}, {}},
        {"fails once written", Kind::genuine, 64, 0, 0, {}, {6, 9}},
    };
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        for (const auto& c : cases) {
            FakeCard card(c.kind, 64, c.real, seed);
            card.failing = c.failing_before;
            SavingDevice saver(card);
            for (std::uint32_t s : {3u, 6u, 7u, 9u, 11u}) {
                std::uint32_t done = 0;
                card.failure_rate = 0;  // the writes over the sectors go in; only putting them back is hard
                (void)saver.write(s, original(2000 + s), done);
            }
            card.failure_rate = c.failure_rate;
            card.garble_rate = c.garble_rate;
            card.failing.insert(c.failing_after.begin(), c.failing_after.end());
            saver.restore();
            std::set<std::uint32_t> lost;
            for (const LostOriginal& l : saver.unrestored()) {
                lost.insert(l.sector);
                EXPECT_TRUE(l.known && l.data == original(l.sector)) << c.what << " " << l.sector;
            }
            EXPECT_EQ(lost, c.failing_after) << c.what << " seed " << seed;
            if (lost.empty()) {
                EXPECT_TRUE(card.intact()) << c.what << " seed " << seed;
                continue;
            }
            const std::string path = ::testing::TempDir() + journal_name(seed);
            std::remove(path.c_str());
            const CardRegister cid{0x15, 1, 2, 3};
            ASSERT_TRUE(write_journal(path, cid, saver.unrestored()));
            EXPECT_FALSE(write_journal(path, cid, saver.unrestored())) << "an existing journal is never replaced";
            CardRegister read_cid{};
            std::vector<LostOriginal> kept;
            ASSERT_TRUE(read_journal(path, read_cid, kept));
            EXPECT_EQ(read_cid, cid);
            card.failing.clear();
            SavingDevice next_run(card);
            for (const LostOriginal& l : kept) next_run.keep_original(l.sector, l.data);
            next_run.restore();
            EXPECT_TRUE(next_run.unrestored().empty() && card.intact()) << c.what << " seed " << seed;
            std::remove(path.c_str());
        }
    }
}
