#include "base/file_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

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

Outcome system_lock_dir(std::string& dir) {
    dir = std::filesystem::temp_directory_path().string();
    return Outcome::ok();
}
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

// A directory only its owner can reach, made when missing: no other user
// can hold, plant or read a lock file in it.
Outcome own_directory(const std::string& dir, std::string& chosen) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return Outcome::failed("cannot make the lock directory " + dir + ": " + std::strerror(errno));
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Outcome::failed("the lock directory " + dir + " is not a directory");
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return Outcome::failed("the lock directory " + dir + " can be reached by another user: remove it");
    chosen = dir;
    return Outcome::ok();
}

// Where lock files live: /run/vantacle for root, the user's runtime
// directory otherwise (a directory of the user's own in the temporary one
// when there is none).
Outcome system_lock_dir(std::string& dir) {
    if (::geteuid() == 0) return own_directory("/run/vantacle", dir);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return own_directory(std::string(runtime) + "/vantacle", dir);
    return own_directory(std::filesystem::temp_directory_path().string() + "/vantacle-" + std::to_string(::geteuid()), dir);
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

Outcome lock_dir(std::string& dir) {
    if (const char* named = lock_dir_from_environment(); named && *named) dir = named;
    return dir.empty() ? system_lock_dir(dir) : Outcome::ok();
}

Outcome refused(int fd, const std::string& what) {
    if (errno != EWOULDBLOCK) return Outcome::failed("cannot lock " + what + ": " + std::strerror(errno));
    return Outcome::in_use(what + " is in use: " + holder_of(fd) + " holds it; wait for it to end");
}

}  // namespace

Outcome lock_file(std::FILE* file, const std::string& what, bool exclusive) {
    // A FIFO or terminal written through its own stream holds nothing to keep.
    if (fileno(file) < 0 || lock_fd(fileno(file), exclusive)) return Outcome::ok();
    return refused(fileno(file), what);
}

Outcome lock_image(std::FILE* file, const std::string& path, bool exclusive) {
    return lock_file(file, "card image " + path, exclusive);
}

namespace {

// The lock file names the open file still: one removed by the process that
// held it before it was locked here is no lock at all.
bool still_named(int fd, const std::string& path) {
#ifdef _WIN32
    (void)fd;
    (void)path;
    return true;
#else
    struct stat opened{}, named{};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
#endif
}

}  // namespace

Outcome PortLock::take(const std::string& name, const std::string& what) {
    give_back();
    std::string dir;
    if (Outcome found = lock_dir(dir); !found) return found;
    const std::string path = dir + "/vantacle-" + name + ".lock";
    // A lock left by a process that ended is free: the system lets go of it.
    for (;;) {
#ifdef _WIN32
        fd_ = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
#endif
        if (fd_ < 0) return Outcome::failed("cannot open the lock file " + path + ": " + std::strerror(errno));
        if (!lock_fd(fd_, true)) break;
        if (still_named(fd_, path)) {
            path_ = path;
            return Outcome::ok();
        }
        give_back();
    }
    Outcome failed = refused(fd_, what.empty() ? "the port " + name : what);
    give_back();
    return failed;
}

// The file goes while it is still locked, so that no other run takes a
// lock on a file that is no longer there.
void PortLock::give_back() {
    if (fd_ < 0) return;
#ifdef _WIN32
    _close(fd_);
#else
    if (!path_.empty()) ::unlink(path_.c_str());
    ::close(fd_);
#endif
    path_.clear();
    fd_ = -1;
}
