#include "sim/storage.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <utility>

#include "base/file_lock.h"
#include "base/sector_file.h"
#include "sim/demo_card.h"

namespace {

std::FILE* image = nullptr;
std::uint32_t sectors = 0;
bool writable = false;
// Sectors written to the demo card, which has no file behind it.
std::map<std::uint32_t, std::array<std::uint8_t, sector_bytes>> demo_written;

Outcome fail(std::string why) {
    storage_close();
    return Outcome::failed(std::move(why));
}

}  // namespace

Outcome storage_open(const SimSettings& settings) {
    storage_close();
    writable = settings.writable;
    if (settings.image.empty()) {
        sectors = demo_card_sectors;
        return Outcome::ok();
    }
    const std::string& path = settings.image;
    if (Outcome opened = sector_file_open(path, settings.writable, "card image", image); !opened) return fail(opened.why());
    if (Outcome locked = lock_image(image, path, settings.writable); !locked) return fail(locked.why());
    std::setvbuf(image, nullptr, _IONBF, 0);
    const std::uint64_t size = file_size(image);
    if (size == 0 || size % sector_bytes != 0)
        return fail("card image " + path + " must be a non-empty multiple of 512 bytes, it has " +
                               std::to_string(size));
    const std::uint64_t count = size / sector_bytes;
    sectors = count > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(count);
    return Outcome::ok();
}

void storage_close() {
    if (image) std::fclose(image);
    image = nullptr;
    sectors = 0;
    writable = false;
    demo_written.clear();
}

std::uint32_t storage_sectors() { return sectors; }

bool storage_is_file(const std::string& path) { return is_open_file(image, path); }

bool storage_read(std::uint32_t sector, SectorSpan out) {
    if (sector >= sectors) return false;
    if (!image) {
        const auto written = demo_written.find(sector);
        if (written == demo_written.end()) demo_card_sector(sector, out);
        else std::copy(written->second.begin(), written->second.end(), out.begin());
        return true;
    }
    return file_seek(image, std::uint64_t{sector} * sector_bytes) && std::fread(out.data(), 1, out.size(), image) == out.size();
}

bool storage_writable() { return writable; }

bool storage_write(std::uint32_t sector, ConstSectorSpan data) {
    if (!writable || sector >= sectors) return false;
    if (!image) {
        std::copy(data.begin(), data.end(), demo_written[sector].begin());
        return true;
    }
    return file_seek(image, std::uint64_t{sector} * sector_bytes) && std::fwrite(data.data(), 1, data.size(), image) == data.size() &&
           std::fflush(image) == 0;
}
