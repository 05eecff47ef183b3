#include "sim/storage.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "port/large_file.h"
#include "sim/demo_card.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::FILE* image = nullptr;
std::uint32_t sectors = 0;
bool writable = false;
// Sectors written to the demo card, which has no file behind it.
std::map<std::uint32_t, std::array<std::uint8_t, sector_bytes>> demo_written;

#ifdef _WIN32
// The volume and file index that tell a file apart from every other.
bool file_identity(std::FILE* file, BY_HANDLE_FILE_INFORMATION& id) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return GetFileInformationByHandle(handle, &id) != 0;
}

bool same_file(std::FILE* a, std::FILE* b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return file_identity(a, x) && file_identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}
#endif

Outcome fail(std::string why) {
    storage_close();
    return Outcome::failed(std::move(why));
}

#ifdef _WIN32
Outcome open_image(const std::string& path, bool for_writing) {
    image = std::fopen(path.c_str(), for_writing ? "r+b" : "rb");
    if (!image) return fail("cannot open card image " + path + ": " + std::strerror(errno));
    return Outcome::ok();
}
#else
// Only a regular file or a block device holds sectors; anything else is
// named, and never waited on (O_NONBLOCK, which changes nothing for these two).
std::string not_an_image(const struct stat& st) {
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return {};
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode)) return "a character device";
    return "not a regular file";
}

Outcome refuse_kind(const std::string& path, const std::string& kind) {
    return fail("card image " + path + " is " + kind + ", not a regular file or block device");
}

Outcome open_image(const std::string& path, bool for_writing) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && !not_an_image(st).empty()) return refuse_kind(path, not_an_image(st));
    const int fd = ::open(path.c_str(), (for_writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail("cannot open card image " + path + ": " + std::strerror(errno));
    if (::fstat(fd, &st) != 0 || !not_an_image(st).empty()) {
        ::close(fd);
        return refuse_kind(path, not_an_image(st));
    }
    image = ::fdopen(fd, for_writing ? "r+b" : "rb");
    if (!image) {
        ::close(fd);
        return fail("cannot open card image " + path + ": " + std::strerror(errno));
    }
    return Outcome::ok();
}
#endif

}  // namespace

Outcome storage_open(const SimSettings& settings) {
    storage_close();
    writable = settings.writable;
    if (settings.image.empty()) {
        sectors = demo_card_sectors;
        return Outcome::ok();
    }
    const std::string& path = settings.image;
    if (Outcome opened = open_image(path, settings.writable); !opened) return opened;
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

#ifdef _WIN32
bool storage_is_file(const std::string& path) {
    if (!image) return false;
    std::FILE* other = std::fopen(path.c_str(), "rb");
    if (!other) return false;
    const bool same = same_file(image, other);
    std::fclose(other);
    return same;
}
#else
// Compared by identity without opening path, which may be a FIFO.
bool storage_is_file(const std::string& path) {
    struct stat x{}, y{};
    return image && fstat(fileno(image), &x) == 0 && ::stat(path.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}
#endif

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
