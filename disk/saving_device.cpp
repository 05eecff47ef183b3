#include "disk/saving_device.h"

#include <algorithm>

#include "base/sector_file.h"

namespace {

class MemoryStore final : public OriginalStore {
public:
    bool keep(std::size_t i, std::uint32_t, std::span<const std::uint8_t, sector_size> data) override {
        if (blocks_.size() <= i) blocks_.resize(i + 1);
        std::copy(data.begin(), data.end(), blocks_[i].begin());
        return true;
    }
    bool fetch(std::size_t i, std::uint32_t, std::span<std::uint8_t, sector_size> out) override {
        if (i >= blocks_.size()) return false;
        std::copy(blocks_[i].begin(), blocks_[i].end(), out.begin());
        return true;
    }
    void clear() override { blocks_.clear(); }

private:
    std::vector<SectorBlock> blocks_;
};

class FileStore final : public OriginalStore {
public:
    FileStore(std::FILE* file, std::uint32_t first) : file_(file), first_(first) {}
    bool keep(std::size_t, std::uint32_t sector, std::span<const std::uint8_t, sector_size> data) override {
        return at(sector) && std::fwrite(data.data(), sector_size, 1, file_) == 1 && std::fflush(file_) == 0;
    }
    bool fetch(std::size_t, std::uint32_t sector, std::span<std::uint8_t, sector_size> out) override {
        return at(sector) && std::fread(out.data(), sector_size, 1, file_) == 1;
    }
    void clear() override {}

private:
    bool at(std::uint32_t sector) {
        return sector >= first_ && file_seek(file_, std::uint64_t{sector - first_} * sector_size);
    }
    std::FILE* file_;
    std::uint32_t first_;
};

bool same_block(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

std::unique_ptr<OriginalStore> originals_in_memory() { return std::make_unique<MemoryStore>(); }
std::unique_ptr<OriginalStore> originals_in_file(std::FILE* file, std::uint32_t first) {
    return std::make_unique<FileStore>(file, first);
}

SavingDevice::SavingDevice(SectorDevice& inner, std::unique_ptr<OriginalStore> store)
    : WrappedDevice(inner), store_(std::move(store)), first_read_(std::size_t{inner.run_sectors()} * sector_size),
      second_read_(first_read_.size()), originals_(first_read_.size()) {}

CardResult SavingDevice::read_counted(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    ++transfers_;
    return inner_.read(first, buf, done);
}

CardResult SavingDevice::write_counted(std::uint32_t first, std::span<const std::uint8_t> buf) {
    ++transfers_;
    std::uint32_t done = 0;
    return inner_.write(first, buf, done);
}

bool SavingDevice::saved(std::uint32_t sector) const {
    const auto after = saved_.upper_bound(sector);
    return after != saved_.begin() && sector < std::prev(after)->second;
}

bool SavingDevice::note_saved(std::uint32_t sector, std::span<const std::uint8_t, sector_size> data, bool refused) {
    if (!refused && !store_->keep(kept_, sector, data)) {
        store_failed_ = true;
        return false;
    }
    if (written_since_save_ || batches_.empty() || batches_.back().first + batches_.back().count != sector)
        batches_.push_back({sector, 0, kept_, {}});
    Batch& batch = batches_.back();
    ++batch.count;
    batch.refused.push_back(refused);
    ++kept_;
    written_since_save_ = false;
    const auto after = saved_.upper_bound(sector);
    if (after != saved_.begin() && std::prev(after)->second == sector) std::prev(after)->second = sector + 1;
    else saved_.emplace(sector, sector + 1);
    return true;
}

// Two reads that agree: what the sector holds, or that the card refuses it.
CardResult SavingDevice::save_one(std::uint32_t sector) {
    const auto one = std::span(first_read_).first<sector_size>();
    const auto again = std::span(second_read_).first<sector_size>();
    CardResult r = CardResult::ok;
    for (int attempt = 0; attempt < restore_budget; ++attempt) {
        std::uint32_t done = 0;
        r = read_counted(sector, one, done);
        if (r != CardResult::ok && r != CardResult::out_of_range) continue;
        if (read_counted(sector, again, done) != r || (r == CardResult::ok && !same_block(one, again))) continue;
        if (!note_saved(sector, one, r == CardResult::out_of_range)) return CardResult::no_data;
        return r;
    }
    return r == CardResult::ok ? CardResult::bad_crc : r;
}

// A run read twice alike is saved whole; else (and a run of one) sector by sector.
CardResult SavingDevice::save(std::uint32_t first, std::uint32_t count, std::uint32_t& saved_count) {
    saved_count = 0;
    bool refused = false;
    while (saved_count < count) {
        const std::uint32_t n = std::min(count - saved_count, inner_.run_sectors());
        const std::uint32_t at = first + saved_count;
        const auto one = std::span(first_read_).first(std::size_t{n} * sector_size);
        const auto again = std::span(second_read_).first(one.size());
        std::uint32_t done = 0, done_again = 0;
        const bool alike = n > 1 && read_counted(at, one, done) == CardResult::ok &&
                           read_counted(at, again, done_again) == CardResult::ok && same_block(one, again);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (alike) {
                if (!note_saved(at + i, sector_in(std::span<const std::uint8_t>(one), i), false)) return CardResult::no_data;
            } else if (const CardResult r = save_one(at + i); r == CardResult::out_of_range) {
                refused = true;
            } else if (r != CardResult::ok) {
                return r;
            }
            ++saved_count;
        }
    }
    return refused ? CardResult::out_of_range : CardResult::ok;
}

std::uint32_t SavingDevice::save_before_write(std::uint32_t first, std::uint32_t count, CardResult& failed) {
    for (std::uint32_t i = 0; i < count;) {
        if (saved(first + i)) {
            ++i;
            continue;
        }
        std::uint32_t span = 1;
        while (i + span < count && !saved(first + i + span)) ++span;
        std::uint32_t got = 0;
        failed = save(first + i, span, got);
        if (got < span) return i + got;
        i += span;
    }
    return count;
}

void SavingDevice::keep_original(std::uint32_t sector, std::span<const std::uint8_t, sector_size> data) {
    if (!saved(sector)) (void)note_saved(sector, data, false);
    written_since_save_ = true;
}

CardResult SavingDevice::write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    done = 0;
    const auto count = static_cast<std::uint32_t>(buf.size() / sector_size);
    CardResult failed = CardResult::ok;
    const std::uint32_t ready = save_before_write(first, count, failed);
    written_since_save_ = true;
    if (ready == 0) return failed;
    const CardResult r = inner_.write(first, buf.first(std::size_t{ready} * sector_size), done);
    return r != CardResult::ok || ready == count ? r : failed;
}

CardResult SavingDevice::write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    CardResult failed = CardResult::ok;
    const bool ready = save_before_write(sector, 1, failed) == 1;
    written_since_save_ = true;
    return ready ? inner_.write_sector(sector, buf) : failed;
}

bool SavingDevice::reads_as(std::uint32_t sector, const SectorBlock& want) {
    const auto back = std::span(first_read_).first<sector_size>();
    std::uint32_t done = 0;
    return read_counted(sector, back, done) == CardResult::ok && same_block(back, want);
}

// Written until two reads after a write agree with the original; a write
// the card refused may have left the original there, so it is read too.
bool SavingDevice::put_back(std::uint32_t sector, const SectorBlock& original) {
    for (int attempt = 0; attempt < restore_budget; ++attempt) {
        (void)write_counted(sector, original);
        if (reads_as(sector, original) && reads_as(sector, original)) return true;
    }
    return false;
}

// Each run written at once and read back twice; a sector either read did
// not show goes back on its own.
void SavingDevice::restore_batch(const Batch& batch) {
    for (std::uint32_t from = 0; from < batch.count;) {
        const std::uint32_t n = std::min(batch.count - from, inner_.run_sectors());
        const std::uint32_t first = batch.first + from;
        const auto originals = std::span(originals_).first(std::size_t{n} * sector_size);
        std::vector<bool> known(n, false);
        bool whole = true;
        for (std::uint32_t i = 0; i < n; ++i) {
            known[i] = batch.refused[from + i] || store_->fetch(batch.at + from + i, first + i, sector_in(originals, i));
            whole = whole && known[i] && !batch.refused[from + i];
        }
        std::uint32_t done = 0, done_again = 0;
        if (whole && write_counted(first, originals) == CardResult::ok) {
            (void)read_counted(first, std::span(first_read_).first(originals.size()), done);
            (void)read_counted(first, std::span(second_read_).first(originals.size()), done_again);
        }
        std::vector<bool> shown(n, false);
        for (std::uint32_t i = 0; i < std::min(done, done_again); ++i) {
            const auto original = sector_in(std::span<const std::uint8_t>(originals), i);
            shown[i] = same_block(sector_in(std::span<const std::uint8_t>(first_read_), i), original) &&
                       same_block(sector_in(std::span<const std::uint8_t>(second_read_), i), original);
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            if (batch.refused[from + i]) continue;
            LostOriginal entry{first + i, {}, known[i]};
            const auto original = sector_in(std::span<const std::uint8_t>(originals), i);
            std::copy(original.begin(), original.end(), entry.data.begin());
            if (known[i] && (shown[i] || put_back(entry.sector, entry.data))) ++restored_;
            else unrestored_.push_back(entry);
        }
        from += n;
    }
}

void SavingDevice::restore() {
    for (auto batch = batches_.rbegin(); batch != batches_.rend(); ++batch) restore_batch(*batch);
    batches_.clear();
    saved_.clear();
    store_->clear();
    kept_ = 0;
    written_since_save_ = true;
}
