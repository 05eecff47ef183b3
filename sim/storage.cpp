#include "sim/storage.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "base/file_lock.h"
#include "base/sector_file.h"
#include "sim/demo_card.h"

namespace {

// The storage whose image was opened last, for storage_is_file only (a
// station's sockets open theirs on their own threads).
std::atomic<const Storage*> open_image = nullptr;

}  // namespace

Outcome Storage::fail(std::string why) { return fail(Outcome::failed(std::move(why))); }

Outcome Storage::fail(Outcome failed) {
    close();
    return failed;
}

Outcome Storage::open(const SimSettings& settings) {
    close();
    writable_ = settings.writable;
    if (settings.image.empty()) {
        sectors_ = demo_card_sectors;
        return Outcome::ok();
    }
    const std::string& path = settings.image;
    if (Outcome opened = sector_file_open(path, settings.writable, "card image", image_); !opened) return fail(opened.why());
    if (Outcome locked = lock_image(image_, path, settings.writable); !locked) return fail(std::move(locked));
    std::setvbuf(image_, nullptr, _IONBF, 0);
    const std::uint64_t size = file_size(image_);
    if (size == 0 || size % sector_bytes != 0)
        return fail("card image " + path + " must be a non-empty multiple of 512 bytes, it has " + std::to_string(size));
    const std::uint64_t count = size / sector_bytes;
    sectors_ = count > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(count);
    open_image = this;
    return Outcome::ok();
}

void Storage::close() {
    if (image_) std::fclose(image_);
    const Storage* self = this;
    open_image.compare_exchange_strong(self, nullptr);
    image_ = nullptr;
    sectors_ = 0;
    writable_ = false;
    demo_written_.clear();
}

bool Storage::is_file(const std::string& path) const { return is_open_file(image_, path); }

bool Storage::read(std::uint32_t sector, SectorSpan out) {
    if (sector >= sectors_) return false;
    if (!image_) {
        const auto written = demo_written_.find(sector);
        if (written == demo_written_.end()) demo_card_sector(sector, out);
        else std::copy(written->second.begin(), written->second.end(), out.begin());
        return true;
    }
    return file_seek(image_, std::uint64_t{sector} * sector_bytes) &&
           std::fread(out.data(), 1, out.size(), image_) == out.size();
}

bool Storage::write(std::uint32_t sector, ConstSectorSpan data) {
    if (!writable_ || sector >= sectors_) return false;
    if (!image_) {
        std::copy(data.begin(), data.end(), demo_written_[sector].begin());
        return true;
    }
    return file_seek(image_, std::uint64_t{sector} * sector_bytes) &&
           std::fwrite(data.data(), 1, data.size(), image_) == data.size() && std::fflush(image_) == 0;
}

bool storage_is_file(const std::string& path) {
    const Storage* image = open_image;
    return image && image->is_file(path);
}
