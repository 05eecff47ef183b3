#include "base/file_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

bool busy = false;
std::string chosen_lock_dir;

#ifdef _WIN32
// A byte far past any file's end: locking it blocks no one's reads or writes.
constexpr DWORD lock_offset_high = 0x7FFFFFFF;

bool lock_fd(int fd, bool exclusive) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED at{};
    at.OffsetHigh = lock_offset_high;
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(handle, flags, 0, 1, 0, &at)) return true;
    errno = GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EIO;
    return false;
}

std::string holder_of(int) { return "another program"; }

std::string system_lock_dir() { return std::filesystem::temp_directory_path().string(); }
#else
bool lock_fd(int fd, bool exclusive) { return ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0; }

// The process that holds a lock on the file, from the kernel's list of locks.
std::string holder_of(int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return "another program";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos) continue;  // a waiter, not a holder
        unsigned maj = 0, min = 0;
        unsigned long inode = 0;
        long pid = 0;
        char kind[16] = {};
        if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &maj, &min, &inode) != 5) continue;
        if (inode != st.st_ino || maj != major(st.st_dev) || min != minor(st.st_dev) || pid == ::getpid()) continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
        return (name.empty() ? "process" : name) + " (pid " + std::to_string(pid) + ")";
    }
    return "another program";
}

// Where lock files live: the system's lock directory, else the temporary one.
std::string system_lock_dir() {
    return ::access("/run/lock", W_OK) == 0 ? "/run/lock" : std::filesystem::temp_directory_path().string();
}
#endif

// The lock directory the environment names; a set-user-ID run ignores it.
const char* lock_dir_from_environment() {
#ifdef _WIN32
    return std::getenv("VANTACLE_LOCK_DIR");
#else
    return ::secure_getenv("VANTACLE_LOCK_DIR");
#endif
}

std::string lock_dir() {
    if (!chosen_lock_dir.empty()) return chosen_lock_dir;
    const char* named = lock_dir_from_environment();
    return named && *named ? named : system_lock_dir();
}

Outcome refused(int fd, const std::string& what) {
    busy = errno == EWOULDBLOCK;
    if (!busy) return Outcome::failed("cannot lock " + what + ": " + std::strerror(errno));
    return Outcome::failed(what + " is in use: " + holder_of(fd) + " holds it; wait for it to end");
}

}  // namespace

Outcome lock_image(std::FILE* file, const std::string& path, bool exclusive) {
    busy = false;
    if (lock_fd(fileno(file), exclusive)) return Outcome::ok();
    return refused(fileno(file), "card image " + path);
}

bool lock_was_busy() { return busy; }

void port_locks_in(const std::string& dir) { chosen_lock_dir = dir; }

Outcome PortLock::take(const std::string& name) {
    busy = false;
    give_back();
    const std::string path = lock_dir() + "/vantacle-" + name + ".lock";
#ifdef _WIN32
    fd_ = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, 0666);
#else
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);  // made by another user
#endif
    if (fd_ < 0) return Outcome::failed("cannot open the lock file " + path + ": " + std::strerror(errno));
    if (lock_fd(fd_, true)) return Outcome::ok();
    Outcome failed = refused(fd_, "the port " + name);
    give_back();
    return failed;
}

void PortLock::give_back() {
    if (fd_ < 0) return;
#ifdef _WIN32
    _close(fd_);
#else
    ::close(fd_);
#endif
    fd_ = -1;
}
