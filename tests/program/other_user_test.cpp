// Another local user, played by nobody while the tests run as root, tries
// to redirect the files a run writes, to stall it with FIFOs, to drive its
// terminal through a name, and to hold its port lock. Each try leaves
// every file as it was and ends in at most one line.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "base/file_lock.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

constexpr uid_t nobody = 65534;

#define NEEDS_ROOT()                                                                       \
    if (::geteuid() != 0) GTEST_SKIP() << "another user is played by nobody, which needs the tests to run as root"

// A directory every user may write in, as a shared lab directory is (no
// sticky bit: the kernel's guard on links in /tmp does not apply).
struct SharedDir {
    std::string path;
    SharedDir() {
        std::string pattern = "/tmp/vantacle-shared-XXXXXX";
        path = ::mkdtemp(pattern.data());
        ::chmod(path.c_str(), 0777);
    }
    ~SharedDir() { std::filesystem::remove_all(path); }
    [[nodiscard]] std::string at(const std::string& name) const { return path + "/" + name; }
};

// Runs what in a child process as nobody; true when it ran to its end.
bool as_nobody(const std::function<void()>& what) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::unsetenv("XDG_RUNTIME_DIR");
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(3);
        what();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A file of root's that no one else may read: what a redirected write would spoil.
struct Victim {
    std::string dir = [] {
        std::string pattern = "/tmp/vantacle-victim-XXXXXX";
        return std::string(::mkdtemp(pattern.data()));
    }();
    std::string path = dir + "/secret";
    Victim() {
        std::ofstream(path) << "secret\n";
        ::chmod(path.c_str(), 0600);
    }
    ~Victim() { std::filesystem::remove_all(dir); }
    [[nodiscard]] bool untouched() const {
        struct stat st{};
        return file_text(path) == "secret\n" && ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600;
    }
};

std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

// A copy of a card image in the shared directory, with its state file beside it.
std::string image_in(const SharedDir& shared, const TestImage& image) {
    const std::string path = shared.at("card.img");
    std::filesystem::copy_file(image.path(), path);
    return path;
}

// Text with $ standing for the directory.
std::string in_dir(std::string text, const std::string& dir) {
    for (auto at = text.find('$'); at != std::string::npos; at = text.find('$')) text.replace(at, 1, dir);
    return text;
}

// The program's arguments for the card: settings (",...") join the port.
std::vector<std::string> card_args(const std::string& card, const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> out{"--port=sim:" + card};
    for (const std::string& a : args) {
        if (a[0] == ',') out[0] += a;
        else out.push_back(in_dir(a, dir));
    }
    return out;
}

}  // namespace

TEST(OtherUser, LinksPlantedWhereARunWritesRedirectNothing) {
    NEEDS_ROOT();
    TestImage image(64);
    const struct {
        const char* planted;  // the name the other user links to root's file
        std::vector<std::string> args;  // $ stands for the shared directory
        int status;
        const char* err;  // the one line's start, or "" for none
    } cases[] = {
        {"out.map.new", {"--dump=$/out.img", "--map=$/out.map"}, 0, ""},
        {"card.img.state.new", {",write=on", "--protect"}, 0, ""},
        {"out.img", {"--dump=$/out.img", "--force"}, 1, "vantacle: cannot write the dump $/out.img: it is a symbolic link"},
        {"r.svg", {"--dump=$/out.img", "--report=$/r.svg"}, 1, "vantacle: cannot write the report $/r.svg: it is a symbolic link"},
        {"t.log", {"--dump=$/out.img", "--trace=$/t.log"}, 2, "vantacle: cannot write trace $/t.log: it is a symbolic link"},
        {"out.map", {"--dump=$/out.img", "--map=$/out.map"}, 2, "vantacle: $/out.map: not a mapfile"},
        {"card.img.state", {",write=on", "--protect"}, 2, "vantacle: the card state $/card.img.state makes no sense"},
    };
    for (const auto& c : cases) {
        const SharedDir shared;
        const Victim victim;
        const std::string card = image_in(shared, image);
        ASSERT_TRUE(as_nobody([&] {
            if (::symlink(victim.path.c_str(), shared.at(c.planted).c_str()) != 0) ::_exit(4);
        }));
        const auto r = run_piped(card_args(card, c.args, shared.path), "");
        const std::string err = in_dir(c.err, shared.path);
        EXPECT_EQ(r.status, c.status) << c.planted << r.err;
        EXPECT_EQ(r.err.rfind(err, 0), 0u) << c.planted << r.err;
        EXPECT_LE(lines(r.err), 1u) << r.err;
        EXPECT_TRUE(victim.untouched()) << c.planted;
    }
}

TEST(OtherUser, FifosWhereARunReadsOrWritesNeverStallIt) {
    NEEDS_ROOT();
    TestImage image(64);
    const struct {
        const char* fifo;
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        {"r.svg", {"--dump=$/out.img", "--report=$/r.svg"}, 1,
         "vantacle: cannot write the report $/r.svg: a FIFO that nothing reads\n"},
        {"card.img.state", {",write=on", "--protect"}, 2,
         "vantacle: the card state $/card.img.state is a FIFO, not a regular file\n"},
        {"pw", {",write=on", "--set-password", "--password-file=$/pw"}, 2, "vantacle: the password file $/pw is empty\n"},
        {"out.map", {"--dump=$/out.img", "--map=$/out.map"}, 2, "vantacle: the mapfile $/out.map is a FIFO, not a regular file\n"},
    };
    for (const auto& c : cases) {
        const SharedDir shared;
        const std::string card = image_in(shared, image);
        ASSERT_TRUE(as_nobody([&] {
            if (::mkfifo(shared.at(c.fifo).c_str(), 0666) != 0) ::_exit(4);
        }));
        const auto r = run_piped(card_args(card, c.args, shared.path), "");
        const std::string err = in_dir(c.err, shared.path);
        EXPECT_EQ(r.status, c.status) << c.fifo;
        EXPECT_EQ(r.err, err);
    }
}

// A lock holder named in escape codes, a file name made of them: shown as \xNN.
TEST(OtherUser, NamesNeverDriveTheTerminal) {
    NEEDS_ROOT();
    TestImage image(64);
    const SharedDir shared;
    const std::string card = image_in(shared, image);
    ::chmod(card.c_str(), 0644);
    int ready[2], hold[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(hold), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(ready[0]);
        ::close(hold[1]);
        const int fd = ::open(card.c_str(), O_RDONLY);
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0 || ::prctl(PR_SET_NAME, "\x1b]0;PWN\x07\x1b[2J") != 0 ||
            ::flock(fd, LOCK_SH) != 0)
            ::_exit(4);
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(hold[0], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    const std::string named = shared.at("\x1b[2J\x9b" "31m.img");
    std::ofstream(named) << "x";
    const struct {
        std::vector<std::string> args;
        std::string shown;
    } cases[] = {
        {{"--port=sim:" + card + ",write=on", "--protect"}, "is in use: \\x1B]0;PWN\\x07\\x1B[2J (pid "},
        {{"--port=sim:" + card, "--dump=" + named}, shared.path + "/\\x1B[2J\\x9B31m.img exists"},
    };
    for (const auto& c : cases) {
        const auto r = run_piped(c.args, "");
        EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
        EXPECT_TRUE(std::none_of(r.err.begin(), r.err.end(), [](char ch) { return ch == '\x1b' || ch == '\x07'; }));
        EXPECT_EQ(lines(r.err), 1u);
    }
    ::close(hold[1]);
    ::waitpid(holder, nullptr, 0);
}

// Root's port locks live where only root reaches: another user's lock on the
// same port is its own, and a lock whose holder died is free again.
TEST(OtherUser, CannotHoldRootsPortLock) {
    NEEDS_ROOT();
    ::unsetenv("VANTACLE_LOCK_DIR");  // the system's place, whatever runs came before
    const std::string name = "other-user-test-" + std::to_string(::getpid());
    int ready[2], hold[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(hold), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(ready[0]);
        ::close(hold[1]);
        ::unsetenv("XDG_RUNTIME_DIR");
        PortLock lock;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0 || !lock.take(name)) ::_exit(4);
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(hold[0], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "nobody could not take a lock of its own";
    PortLock root_lock;
    EXPECT_TRUE(root_lock.take(name));
    struct stat st{};
    ASSERT_EQ(::lstat("/run/vantacle", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    root_lock.give_back();
    ::close(hold[1]);
    ::waitpid(holder, nullptr, 0);

    // A holder killed with its lock taken: the next run takes it over.
    const pid_t dying = ::fork();
    if (dying == 0) {
        PortLock lock;
        if (lock.take(name)) ::kill(::getpid(), SIGKILL);
        ::_exit(4);
    }
    int status = 0;
    ::waitpid(dying, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(root_lock.take(name));
    root_lock.give_back();
    std::remove(("/run/vantacle/vantacle-" + name + ".lock").c_str());
    std::filesystem::remove_all("/tmp/vantacle-" + std::to_string(nobody));
}

// A user who may write the card image but not beside it: the simulated
// card's state cannot be written, and the card says it failed.
TEST(OtherUser, ACardWhoseStateCannotBeWrittenSaysSo) {
    NEEDS_ROOT();
    TestImage image(64);
    const Victim owned;  // a directory of root's that nobody cannot write in
    ::chmod(owned.dir.c_str(), 0755);
    const std::string card = owned.dir + "/card.img";
    std::filesystem::copy_file(image.path(), card);
    ASSERT_EQ(::chown(card.c_str(), nobody, nobody), 0);
    const std::string password = owned.dir + "/pw";
    std::ofstream(password) << "secret\n";
    ::chmod(password.c_str(), 0644);
    PipedRun as_other;
    as_other.as_uid = nobody;
    const auto r = run_piped({"--port=sim:" + card + ",write=on", "--set-password", "--password-file=" + password}, "", as_other);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("password set"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.rfind("vantacle: cannot write the card state " + card + ".state: Permission denied\n", 0), 0u) << r.err;
    EXPECT_FALSE(std::filesystem::exists(card + ".state"));
}
