#include "tests/fake_system.h"

#include "tests/test_util.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <utility>

#include "base/file_lock.h"
#include "base/system_calls.h"
#include "sim/sim_card.h"

namespace {

std::vector<std::string> calls;
std::map<std::string, std::deque<int>> failures;
std::map<std::string, std::string> environment;
uid_t real_uid = 1000, effective_uid = 1000;
gid_t real_gid = 1000;
int next_fd = 3;
SimCard* to_sim = nullptr;
mode_t file_type = S_IFCHR;
unsigned file_major = 99;

// Port lock files of this test process only: tests run side by side.
std::string own_lock_dir() {
    const auto dir = std::filesystem::temp_directory_path() / ("vantacle-test-locks-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

// Logs the call; -1 with errno set when it was told to fail.
int act(const std::string& name, const std::string& line) {
    calls.push_back(line);
    auto& queue = failures[name];
    if (queue.empty()) return 0;
    errno = queue.front();
    queue.pop_front();
    return -1;
}

std::string hex(unsigned long value) { return ::hex("%X", static_cast<unsigned>(value)); }

std::string ids(unsigned a, unsigned b, unsigned c) {
    return std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c);
}

int port_access(int fd, unsigned long request, void* arg) {
    auto* byte = static_cast<std::uint8_t*>(arg);
    if (request == PPWDATA) {
        if (to_sim) to_sim->write_lines(*byte);
        return to_sim ? 0 : act("PPWDATA", "ioctl " + std::to_string(fd) + " PPWDATA " + hex(*byte));
    }
    if (to_sim) {
        *byte = to_sim->read_status();
        return 0;
    }
    const int result = act("PPRSTATUS", "ioctl " + std::to_string(fd) + " PPRSTATUS");
    if (result == 0) *byte = 0x80;
    return result;
}

int fake_ioctl(int fd, unsigned long request, void* arg) {
    if (request == PPWDATA || request == PPRSTATUS) return port_access(fd, request, arg);
    const std::map<unsigned long, std::string> names{{PPEXCL, "PPEXCL"}, {PPCLAIM, "PPCLAIM"}, {PPRELEASE, "PPRELEASE"}};
    const auto found = names.find(request);
    const std::string name = found == names.end() ? "ioctl " + hex(request) : found->second;
    return act(name, "ioctl " + std::to_string(fd) + " " + name);
}

int fake_open(const char* path, int flags) {
    const std::string mode = (flags & O_ACCMODE) == O_RDWR && (flags & O_CLOEXEC) ? " rw cloexec" : " other";
    return act("open", std::string("open ") + path + mode) == 0 ? next_fd++ : -1;
}

// Not logged: it looks and does not act.
int fake_stat(const char*, struct stat* info) {
    *info = {};
    info->st_mode = file_type | 0660;
    info->st_rdev = makedev(file_major, 0);
    return 0;
}

// With the card behind the port its clock is the clock, and pauses pass on it.
int fake_monotonic(timespec* now) {
    if (!to_sim) return ::clock_gettime(CLOCK_MONOTONIC, now);
    now->tv_sec = static_cast<time_t>(to_sim->now_ns() / 1'000'000'000);
    now->tv_nsec = static_cast<long>(to_sim->now_ns() % 1'000'000'000);
    return 0;
}

int fake_nanosleep(const timespec* length, timespec* left) {
    if (!to_sim) return ::nanosleep(length, left);
    to_sim->pass(static_cast<std::uint64_t>(length->tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(length->tv_nsec));
    return 0;
}

constexpr SystemCalls fake{
    [](unsigned long from, unsigned long count, int on) {
        return act("ioperm", "ioperm " + hex(from) + " " + std::to_string(count) + " " + std::to_string(on));
    },
    fake_open,
    [](int fd) { return act("close", "close " + std::to_string(fd)); },
    fake_ioctl,
    fake_stat,
    [](unsigned ms) { return act("alarm", "alarm " + std::to_string(ms)); },
    [] { return real_uid; },
    [] { return effective_uid; },
    [] { return real_gid; },
    [](const char* name) -> const char* {
        const auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
    },
    [](std::size_t count, const gid_t* groups) {
        std::string line = "setgroups ";
        if (count == 1) line += std::to_string(groups[0]);
        else line.append("(").append(std::to_string(count)).append(")");
        return act("setgroups", line);
    },
    [](gid_t r, gid_t e, gid_t s) { return act("setresgid", "setresgid " + ids(r, e, s)); },
    [](uid_t r, uid_t e, uid_t s) { return act("setresuid", "setresuid " + ids(r, e, s)); },
    ::read,
    fake_monotonic,
    fake_nanosleep,
};

}  // namespace

void fake_system_install() {
    calls.clear();
    failures.clear();
    environment.clear();
    real_uid = effective_uid = 1000;
    real_gid = 1000;
    next_fd = 3;
    to_sim = nullptr;
    fake_file(S_IFCHR, 99);
    system_calls = fake;
    port_locks_in(own_lock_dir());
}

void fake_system_remove() {
    system_calls = system_calls_real();
    std::error_code ignored;
    std::filesystem::remove_all(own_lock_dir(), ignored);
    port_locks_in("");
}

void fake_fail(const std::string& name, int error) { failures[name].push_back(error); }

void fake_ids(uid_t uid, uid_t euid, gid_t gid) {
    real_uid = uid;
    effective_uid = euid;
    real_gid = gid;
}

void fake_env(const std::string& name, const std::string& value) { environment[name] = value; }

void fake_file(mode_t type, unsigned major_number) {
    file_type = type;
    file_major = major_number;
}

void fake_port_to_sim(SimCard& card) { to_sim = &card; }

const std::vector<std::string>& fake_calls() { return calls; }
