#include "tests/program_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>

namespace {

// A directory open to every user the programs run as (sticky, like /tmp),
// removed with what it holds when the test process ends.
class LockDir {
public:
    LockDir() : path_((std::filesystem::temp_directory_path() / ("vantacle-test-run-" + std::to_string(getpid()))).string()) {
        std::filesystem::create_directories(path_);
        std::filesystem::permissions(path_, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
        setenv("VANTACLE_LOCK_DIR", path_.c_str(), 1);  // the test's own locks (maps held) meet the programs' there
    }
    ~LockDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    LockDir(const LockDir&) = delete;
    LockDir& operator=(const LockDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// In the child: the program, with its port lock files in this test's own directory.
[[noreturn]] void exec_program(const std::vector<std::string>& args, const std::string& lock_dir) {
    setenv("VANTACLE_LOCK_DIR", lock_dir.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(VANTACLE_BIN)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// The child's status once it has ended, or -1 when it has not ended within
// timeout_ms; meanwhile every 10 ms, idle().
template <class Idle>
int wait_for_end(pid_t pid, int timeout_ms, Idle idle) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) return -1;
        idle();
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// The child's status, or -1 after killing it when it has not ended within timeout_ms.
int reap(pid_t pid, int timeout_ms) {
    const int status = wait_for_end(pid, timeout_ms, [] { poll(nullptr, 0, 10); });
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}

// Reads what fd has now into to; false at end of file.
bool drain(int fd, std::string& to) {
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) to.append(chunk, static_cast<std::size_t>(n));
    return n > 0;
}

}  // namespace

const std::string& program_lock_dir() {
    static const LockDir dir;
    return dir.path();
}

RunResult run_piped(const std::vector<std::string>& args, const std::string& input, const PipedRun& how) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return {"", "pipe failed", -1};
    const std::string& lock_dir = program_lock_dir();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(how.output_to.empty() ? out[1] : open(how.output_to.c_str(), O_WRONLY), 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        if (how.as_uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(how.as_uid)) != 0 ||
                                setuid(static_cast<uid_t>(how.as_uid)) != 0))
            _exit(126);
        if (how.file_size_limit >= 0) {
            const rlimit limit{static_cast<rlim_t>(how.file_size_limit), static_cast<rlim_t>(how.file_size_limit)};
            signal(SIGXFSZ, SIG_IGN);
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        }
        exec_program(args, lock_dir);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
    }
    if (!how.hold_input) {
        close(in[1]);
        in[1] = -1;
    }
    RunResult result{"", "", -1};
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && poll(fds, 2, how.quiet_limit_ms) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents && !drain(fds[i].fd, i == 0 ? result.out : result.err)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
        if (in[1] >= 0 && !how.close_input_after.empty() &&
            result.out.find(how.close_input_after) != std::string::npos) {
            close(in[1]);
            in[1] = -1;
        }
    }
    for (int fd : {in[1], fds[0].fd, fds[1].fd}) {
        if (fd >= 0) close(fd);
    }
    result.status = reap(pid, open_fds > 0 ? 0 : how.quiet_limit_ms);
    return result;
}

PtySession::PtySession(const std::vector<std::string>& args) {
    winsize size{24, 80, 0, 0};
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
    const std::string& lock_dir = program_lock_dir();
    pid_ = fork();
    if (pid_ == 0) {
        setsid();
        ioctl(slave_, TIOCSCTTY, 0);
        dup2(slave_, 0);
        dup2(slave_, 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(master_);
        close(slave_);
        exec_program(args, lock_dir);
    }
}

PtySession::~PtySession() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

void PtySession::type(const std::string& keys) {
    if (write(master_, keys.data(), keys.size()) < 0) {
    }
}

void PtySession::signal(int number) { kill(pid_, number); }

void PtySession::set_mode(const termios& mode) { tcsetattr(slave_, TCSANOW, &mode); }

bool PtySession::pump(int timeout_ms) {
    pollfd fd{master_, POLLIN, 0};
    return poll(&fd, 1, timeout_ms) > 0 && drain(master_, transcript_);
}

bool PtySession::wait_for(const std::string& text, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto found = transcript_.find(text, matched_);
        if (found != std::string::npos) {
            matched_ = found + text.size();
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        pump(50);
    }
}

int PtySession::finish(int timeout_ms) {
    const int status = wait_for_end(pid_, timeout_ms, [this] { pump(10); });
    if (status == -1) return -1;
    while (pump(0)) {
    }
    pid_ = -1;
    return status;
}

termios PtySession::mode() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
}
