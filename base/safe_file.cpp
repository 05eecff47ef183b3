#include "base/safe_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

#ifndef _WIN32
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Waits until fd is ready for events, with the ending signals let in for
// the wait: a signal ends it (false, errno EINTR) as it would any wait.
bool wait_ready(int fd, short events) {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    for (int signal : ending_signals) sigdelset(&mask, signal);
    pollfd ready{fd, events, 0};
    for (;;) {
        const int n = ::ppoll(&ready, 1, nullptr, &mask);
        if (n > 0) return true;
        if (n < 0) return false;
    }
}

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

bool written_in_place(mode_t mode) { return S_ISFIFO(mode) || S_ISCHR(mode) || S_ISBLK(mode); }

// The directory a path names its file in, and the file's name there.
std::pair<std::string, std::string> place_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The mode a new file gets: everyone's read and write less the umask, read
// from the kernel so that the process's umask is never changed.
mode_t shared_mode() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Umask:", 0) == 0) return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
    return 0644;
}
#endif

}  // namespace

NewFile::~NewFile() {
#ifdef _WIN32
    if (fd_ >= 0) _close(fd_);
    if (!temporary_.empty()) std::remove(temporary_.c_str());
#else
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
#endif
}

Outcome NewFile::failed(const std::string& why) const {
    return Outcome::failed("cannot write " + what_ + " " + path_ + ": " + why);
}

#ifdef _WIN32
Outcome NewFile::open(const std::string& path, const std::string& what, WriteRules rules) {
    path_ = path;
    what_ = what;
    if (!rules.replace && _access(path.c_str(), 0) == 0) return failed("it exists");
    temporary_ = path + ".new";
    // Shared for deletion, so that it can take its name while still open.
    const HANDLE handle = CreateFileA(temporary_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd_ >= 0) return Outcome::ok();
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    temporary_.clear();
    return failed(handle == INVALID_HANDLE_VALUE ? "it cannot be made (Windows error " + std::to_string(GetLastError()) + ")"
                                                 : std::strerror(errno));
}

Outcome NewFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const int n = _write(fd_, bytes.data(), static_cast<unsigned>(bytes.size()));
        if (n <= 0) return failed(std::strerror(errno));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return Outcome::ok();
}

Outcome NewFile::commit(bool sync) {
    if (temporary_.empty()) return Outcome::ok();
    if (sync && _commit(fd_) != 0) return failed(std::strerror(errno));
    if (!MoveFileExA(temporary_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING)) return failed("it cannot be replaced");
    temporary_.clear();
    return Outcome::ok();
}

std::FILE* NewFile::release(bool readable) {
    std::FILE* stream = _fdopen(fd_, readable ? "w+b" : "wb");
    if (stream) fd_ = -1;
    return stream;
}

Outcome read_whole_file(const std::string& path, const std::string& what, bool, std::string& text, bool& exists) {
    exists = _access(path.c_str(), 0) == 0;
    if (!exists) return Outcome::ok();
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    if (!in && !in.eof()) return Outcome::failed("cannot read " + what + " " + path);
    text = all.str();
    return Outcome::ok();
}
#else
Outcome NewFile::open(const std::string& path, const std::string& what, WriteRules rules) {
    path_ = path;
    what_ = what;
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return failed("it is a symbolic link; name the file itself");
        if (S_ISREG(st.st_mode) && !rules.replace) return failed("it exists");
        if (!S_ISREG(st.st_mode) && !(rules.in_place && written_in_place(st.st_mode)))
            return failed(std::string("it is ") + kind_of(st.st_mode) + ", not a regular file");
        if (!S_ISREG(st.st_mode)) {
            // Never waits for a reader; the type is checked again on what was opened.
            fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
            if (fd_ < 0) return failed(errno == ENXIO ? "a FIFO that nothing reads" : std::strerror(errno));
            struct stat opened{};
            if (::fstat(fd_, &opened) != 0 || (opened.st_mode & S_IFMT) != (st.st_mode & S_IFMT))
                return failed("it changed while it was opened");
            in_place_ = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
            return Outcome::ok();
        }
    } else if (errno != ENOENT) {
        return failed(std::strerror(errno));
    }
    const auto [dir, name] = place_of(path);
    std::string pattern = (dir == "/" ? "" : dir) + "/." + name + ".XXXXXX";
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) return failed(std::strerror(errno));
    temporary_ = pattern;
    if (::fchmod(fd_, rules.private_file ? 0600 : shared_mode()) != 0) return failed(std::strerror(errno));
    return Outcome::ok();
}

Outcome NewFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EAGAIN && wait_ready(fd_, POLLOUT)) continue;
        if (n < 0 && errno == EINTR) return failed("stopped by a signal");
        return failed(n < 0 ? std::strerror(errno) : "nothing could be written");
    }
    return Outcome::ok();
}

// The rename replaces whatever took the name meanwhile (a link included)
// and never follows it.
Outcome NewFile::commit(bool sync) {
    if (temporary_.empty()) return Outcome::ok();
    if (sync && ::fsync(fd_) != 0) return failed(std::strerror(errno));
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return failed(std::strerror(errno));
    temporary_.clear();
    return Outcome::ok();
}

namespace {

// A FIFO or device written where it is stays non-blocking under its stream:
// a reader that stops reading is waited on with the ending signals let in,
// and once one has cut a wait short every later write fails at once.
struct InPlace {
    int fd;
    bool stopped = false;
};

ssize_t write_in_place(void* cookie, const char* data, std::size_t size) {
    auto& out = *static_cast<InPlace*>(cookie);
    std::size_t done = 0;
    while (done < size && !out.stopped) {
        const ssize_t n = ::write(out.fd, data + done, size - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EAGAIN) out.stopped = !wait_ready(out.fd, POLLOUT);
        else if (n < 0 && errno == EINTR) out.stopped = true;
        else break;
    }
    if (done == 0 && size != 0) {
        errno = out.stopped ? EINTR : EIO;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

int close_in_place(void* cookie) {
    auto* out = static_cast<InPlace*>(cookie);
    const int closed = ::close(out->fd);
    delete out;
    return closed;
}

}  // namespace

std::FILE* NewFile::release(bool readable) {
    if (temporary_.empty() && in_place_) {
        auto* out = new InPlace{fd_};
        std::FILE* stream = ::fopencookie(out, "wb", {nullptr, write_in_place, nullptr, close_in_place});
        if (!stream) delete out;
        else fd_ = -1;
        return stream;
    }
    if (::fcntl(fd_, F_SETFL, 0) != 0) return nullptr;
    std::FILE* stream = ::fdopen(fd_, readable ? "w+b" : "wb");
    if (stream) fd_ = -1;
    return stream;
}

Outcome read_whole_file(const std::string& path, const std::string& what, bool pipes_too, std::string& text, bool& exists) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    exists = fd >= 0 || errno != ENOENT;
    if (!exists) return Outcome::ok();
    if (fd < 0) return Outcome::failed("cannot read " + what + " " + path + ": " + std::strerror(errno));
    struct stat st{};
    const bool fstat_ok = ::fstat(fd, &st) == 0;
    if (!fstat_ok || !(S_ISREG(st.st_mode) || (pipes_too && S_ISFIFO(st.st_mode)))) {
        ::close(fd);
        if (!fstat_ok) return Outcome::failed("cannot read " + what + " " + path + ": " + std::strerror(errno));
        return Outcome::failed(what + " " + path + " is " + kind_of(st.st_mode) + ", not a regular file");
    }
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
        if (n > 0 || (n < 0 && errno == EAGAIN && wait_ready(fd, POLLIN))) continue;
        const int error = errno;
        ::close(fd);
        if (n == 0) return Outcome::ok();
        return Outcome::failed("cannot read " + what + " " + path + ": " +
                               (error == EINTR ? "stopped by a signal" : std::strerror(error)));
    }
}
#endif

Outcome create_stream(const std::string& path, const std::string& what, WriteRules rules, bool readable, std::FILE*& stream) {
    stream = nullptr;
    NewFile file;
    if (Outcome opened = file.open(path, what, rules); !opened) return opened;
    if (Outcome named = file.commit(false); !named) return named;
    stream = file.release(readable);
    return stream ? Outcome::ok() : Outcome::failed("cannot write " + what + " " + path + ": " + std::strerror(errno));
}

Outcome write_whole_file(const std::string& path, std::string_view text, const std::string& what, WriteRules rules) {
    NewFile file;
    if (Outcome opened = file.open(path, what, rules); !opened) return opened;
    if (Outcome written = file.write(text); !written) return written;
    return file.commit(true);
}
