// A sector device that keeps what each sector held before its first write
// and puts all of it back on restore(): the probe's tags, the surface
// test's patterns and the fill's whole extent all go back this one way.
// A sector counts as put back once two reads after the write agree with it.
#pragma once

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "disk/sector_device.h"

// Tries at reading a sector's original and at putting it back: a line that
// garbles most blocks (one bit in a few thousand flipped) still gets each
// one through.
inline constexpr int restore_budget = 64;

using SectorBlock = std::array<std::uint8_t, sector_size>;

// A sector that could not be put back, and what it held.
struct LostOriginal {
    std::uint32_t sector;
    SectorBlock data;
    bool known = true;  // false: the kept original could not be read either
};

// Where the originals are kept: in memory, or in a file at the sector's
// offset from the first sector kept there (a backup of a whole extent).
class OriginalStore {
public:
    virtual ~OriginalStore() = default;
    // i: the sector's place among those kept, in the order they were kept.
    virtual bool keep(std::size_t i, std::uint32_t sector, std::span<const std::uint8_t, sector_size> data) = 0;
    virtual bool fetch(std::size_t i, std::uint32_t sector, std::span<std::uint8_t, sector_size> out) = 0;
    virtual void clear() = 0;
};

// In memory: for the few sectors the probe or the surface test writes over.
[[nodiscard]] std::unique_ptr<OriginalStore> originals_in_memory();
// In file, written at (sector - first) * 512; the file stays the caller's.
[[nodiscard]] std::unique_ptr<OriginalStore> originals_in_file(std::FILE* file, std::uint32_t first);

class SavingDevice final : public WrappedDevice {
public:
    explicit SavingDevice(SectorDevice& inner, std::unique_ptr<OriginalStore> store = originals_in_memory());

    // Saves every sector of the run not saved yet, then writes; a sector
    // whose original cannot be read is not written (the read's failure).
    CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) override;
    CardResult write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) override;

    // Saves count sectors from first before anything is written to them
    // (a backup); saved tells how many were, from first. A sector the
    // card refuses as past its end has nothing to put back: out_of_range
    // once all are saved.
    CardResult save(std::uint32_t first, std::uint32_t count, std::uint32_t& saved);
    // Takes data as the sector's original without reading it (from a journal).
    void keep_original(std::uint32_t sector, std::span<const std::uint8_t, sector_size> data);
    // Puts every saved sector back, the last saved first (on a card that
    // folds two sectors onto one, the earliest original ends on top); then
    // forgets them. Those that would not go back are in unrestored().
    void restore();
    [[nodiscard]] const std::vector<LostOriginal>& unrestored() const { return unrestored_; }
    // Sectors put back so far.
    [[nodiscard]] std::uint64_t restored() const { return restored_; }
    // True once an original could not be kept (the backup file failed).
    [[nodiscard]] bool store_failed() const { return store_failed_; }
    // Transfers made for saving and putting back, beside those passed through.
    [[nodiscard]] std::uint32_t transfers() const { return transfers_; }

private:
    // Sectors saved one after another with nothing written in between: on
    // a card that folds sectors, they share originals, so they go back in
    // runs in any order.
    struct Batch {
        std::uint32_t first;
        std::uint32_t count;
        std::size_t at;  // place of its first sector in the store
        std::vector<bool> refused;
    };
    [[nodiscard]] bool saved(std::uint32_t sector) const;
    // The unsaved sectors from first, up to count, saved; how many are saved from first.
    std::uint32_t save_before_write(std::uint32_t first, std::uint32_t count, CardResult& failed);
    CardResult save_one(std::uint32_t sector);
    bool note_saved(std::uint32_t sector, std::span<const std::uint8_t, sector_size> data, bool refused);
    void restore_batch(const Batch& batch);
    bool put_back(std::uint32_t sector, const SectorBlock& original);
    bool reads_as(std::uint32_t sector, const SectorBlock& want);
    CardResult read_counted(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done);
    CardResult write_counted(std::uint32_t first, std::span<const std::uint8_t> buf);

    std::unique_ptr<OriginalStore> store_;
    std::vector<Batch> batches_;
    std::map<std::uint32_t, std::uint32_t> saved_;  // first sector of a saved span, and its end
    std::size_t kept_ = 0;
    bool written_since_save_ = true;
    std::vector<LostOriginal> unrestored_;
    std::uint64_t restored_ = 0;
    std::uint32_t transfers_ = 0;
    bool store_failed_ = false;
    std::vector<std::uint8_t> first_read_, second_read_, originals_;
};
