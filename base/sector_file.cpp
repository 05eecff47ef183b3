#include "base/sector_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

Outcome cannot_open(const std::string& path, const std::string& what) {
    return Outcome::failed("cannot open " + what + " " + path + ": " + std::strerror(errno));
}

#ifdef _WIN32
// The volume and file index that tell a file apart from every other.
bool identity(std::FILE* file, BY_HANDLE_FILE_INFORMATION& id) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return GetFileInformationByHandle(handle, &id) != 0;
}

bool same_identity(std::FILE* a, std::FILE* b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return identity(a, x) && identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}
#else
// Only a regular file or a block device holds sectors.
const char* not_sectors(const struct stat& st) {
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return nullptr;
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode)) return "a character device";
    return "not a regular file";
}

Outcome refuse_kind(const std::string& path, const std::string& what, const char* kind) {
    return Outcome::failed(what + " " + path + " is " + kind + ", not a regular file or block device");
}
#endif

}  // namespace

#ifdef _WIN32
Outcome sector_file_open(const std::string& path, bool for_writing, const std::string& what, std::FILE*& file) {
    file = std::fopen(path.c_str(), for_writing ? "r+b" : "rb");
    return file ? Outcome::ok() : cannot_open(path, what);
}

std::string file_identity(std::FILE* file) {
    BY_HANDLE_FILE_INFORMATION id{};
    if (!file || !identity(file, id)) return "";
    char text[40];
    std::snprintf(text, sizeof text, "%lx:%lx%08lx", static_cast<unsigned long>(id.dwVolumeSerialNumber),
                  static_cast<unsigned long>(id.nFileIndexHigh), static_cast<unsigned long>(id.nFileIndexLow));
    return text;
}

bool is_open_file(std::FILE* file, const std::string& path) {
    if (!file) return false;
    std::FILE* other = std::fopen(path.c_str(), "rb");
    if (!other) return false;
    const bool same = same_identity(file, other);
    std::fclose(other);
    return same;
}

bool same_file(const std::string& a, const std::string& b) {
    std::FILE* first = std::fopen(a.c_str(), "rb");
    if (!first) return a == b;
    const bool same = is_open_file(first, b);
    std::fclose(first);
    return same;
}

bool file_truncate(std::FILE* file, std::uint64_t size) {
    (void)std::fflush(file);
    return _chsize_s(_fileno(file), static_cast<long long>(size)) == 0;
}

bool file_exists(const std::string& path) { return _access(path.c_str(), 0) == 0; }

bool file_seek(std::FILE* file, std::uint64_t offset) {
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
}

std::uint64_t file_size(std::FILE* file) {
    if (_fseeki64(file, 0, SEEK_END) != 0) return 0;
    return static_cast<std::uint64_t>(_ftelli64(file));
}
#else
// O_NONBLOCK changes nothing for a regular file or a block device, and keeps
// the open of anything else that slipped past the check from waiting.
Outcome sector_file_open(const std::string& path, bool for_writing, const std::string& what, std::FILE*& file) {
    file = nullptr;
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && not_sectors(st)) return refuse_kind(path, what, not_sectors(st));
    // Nothing is written through a link someone else may have put there.
    const int fd = ::open(path.c_str(), (for_writing ? O_RDWR | O_NOFOLLOW : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ELOOP && for_writing)
        return Outcome::failed(what + " " + path + " is a symbolic link; name the file itself");
    if (fd < 0) return cannot_open(path, what);
    if (const char* kind = ::fstat(fd, &st) == 0 ? not_sectors(st) : nullptr) {
        ::close(fd);
        return refuse_kind(path, what, kind);
    }
    file = ::fdopen(fd, for_writing ? "r+b" : "rb");
    if (file) return Outcome::ok();
    const Outcome failed = cannot_open(path, what);
    ::close(fd);
    return failed;
}

std::string file_identity(std::FILE* file) {
    struct stat st{};
    if (!file || ::fstat(fileno(file), &st) != 0) return "";
    char text[40];
    std::snprintf(text, sizeof text, "%llx:%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return text;
}

bool is_open_file(std::FILE* file, const std::string& path) {
    struct stat x{}, y{};
    return file && ::fstat(fileno(file), &x) == 0 && ::stat(path.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

bool same_identity(const std::string& a, const std::string& b) {
    struct stat x{}, y{};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// The directory a path names its file in, and the file's name there.
std::pair<std::string, std::string> place_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// A file not made yet is the same when both names put it in one directory.
bool same_file(const std::string& a, const std::string& b) {
    if (file_exists(a) || file_exists(b)) return same_identity(a, b);
    const auto [dir_a, name_a] = place_of(a);
    const auto [dir_b, name_b] = place_of(b);
    return name_a == name_b && same_identity(dir_a, dir_b);
}

bool file_exists(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

bool file_truncate(std::FILE* file, std::uint64_t size) {
    (void)std::fflush(file);
    return ::ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool file_seek(std::FILE* file, std::uint64_t offset) { return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0; }

std::uint64_t file_size(std::FILE* file) {
    if (fseeko(file, 0, SEEK_END) != 0) return 0;
    return static_cast<std::uint64_t>(ftello(file));
}
#endif

bool file_sync(std::FILE* file) {
    if (std::fflush(file) != 0) return false;
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    // A FIFO or terminal written through its own stream has no descriptor to sync.
    return fileno(file) < 0 || ::fsync(fileno(file)) == 0 || errno == EINVAL;
#endif
}
