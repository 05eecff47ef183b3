// The card served over NBD: real clients from libnbd (nbdinfo, nbdcopy,
// nbdfuse) read it byte for byte, write to it with --writable, and read its
// file system through a loop device; a raw client tries what a hostile one
// would, and the server goes on serving. Tests whose tools are missing skip
// with a message.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "serve/nbd_protocol.h"
#include "tests/program_runner.h"
#include "tests/test_image.h"
#include "tests/test_util.h"

namespace {

bool have(const char* tool) { return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0; }

std::string temp_path(const char* kind) {
    static int counter = 0;
    return "/tmp/vantacle-nbd-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "." + kind;
}

// The program serving a card until the test ends it with Ctrl+C.
class Server {
public:
    explicit Server(const std::string& port, const std::string& extra = "", const std::string& where = "")
        : socket_(where.empty() ? temp_path("sock") : where) {
        std::vector<std::string> args{port, "--serve=" + socket_};
        if (!extra.empty()) args.push_back(extra);
        pty_ = std::make_unique<PtySession>(args);
        started_ = pty_->wait_for("Ctrl+C ends");
    }
    ~Server() {
        if (pty_) stop();
    }
    bool started() const { return started_; }
    const std::string& socket() const { return socket_; }
    std::string uri() const { return "nbd+unix:///?socket=" + socket_; }
    void signal(int number) { pty_->signal(number); }
    // Ctrl+C (unless a signal was sent): the exit status, and the transcript.
    int stop(bool signalled = false) {
        if (!signalled) pty_->type("\x03");
        const int status = pty_->finish();
        transcript_ = pty_->transcript();
        pty_.reset();
        return status;
    }
    const std::string& transcript() const { return transcript_; }

private:
    std::string socket_;
    std::unique_ptr<PtySession> pty_;
    bool started_ = false;
    std::string transcript_;
};

int run(const std::string& command) { return std::system(command.c_str()); }

// A client that speaks the protocol by hand, bytes as given.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const Bytes& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
    // n bytes, or fewer when the server closed or fell silent past the hang guard.
    Bytes receive(std::size_t n) {
        Bytes out(n);
        std::size_t got = 0;
        while (got < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, hang_guard_ms) <= 0) break;
            const ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    }
    bool closed_by_server() {
        std::uint8_t b;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, hang_guard_ms) == 1 && ::recv(fd_, &b, 1, 0) == 0;
    }
    // True once the server has read everything sent to it.
    bool read_by_server() {
        for (int waited = 0; waited < hang_guard_ms; waited += 10) {
            int unread = 0;
            if (::ioctl(fd_, SIOCOUTQ, &unread) != 0) return false;
            if (unread == 0) return true;
            ::poll(nullptr, 0, 10);
        }
        return false;
    }
    // Handshake up to transmission through NBD_OPT_EXPORT_NAME.
    void start() {
        ASSERT_EQ(receive(18).size(), 18u);
        send(be(nbd::flag_fixed_newstyle | nbd::flag_no_zeroes, 4) + be(nbd::option_magic, 8) + be(nbd::opt_export_name, 4) +
             be(0, 4));
        ASSERT_EQ(receive(10).size(), 10u);
    }
    // A request; the reply's error and, when it succeeds, length bytes of data.
    std::uint32_t request(std::uint16_t type, std::uint64_t offset, std::uint32_t length, Bytes data, Bytes& got) {
        send(be(nbd::request_magic, 4) + be(0, 2) + be(type, 2) + be(0x1234, 8) + be(offset, 8) + be(length, 4) + data);
        const Bytes head = receive(16);
        if (head.size() != 16) return 0xFFFFFFFF;
        const auto error = static_cast<std::uint32_t>(get(head, 4, 4));
        got = error || type != nbd::cmd_read ? Bytes{} : receive(length);
        return error;
    }
    static Bytes be(std::uint64_t v, int n) {
        Bytes b;
        for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return b;
    }
    static std::uint64_t get(const Bytes& b, std::size_t at, int n) {
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
        return v;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace

TEST(Nbd, ClientsGetTheImageByteForByteOnASocketOfMode0600) {
    if (!have("nbdinfo") || !have("nbdcopy")) GTEST_SKIP() << "nbdinfo or nbdcopy is missing (Debian package libnbd-bin)";
    TestImage image(3000);
    Server server("--port=sim:" + image.path());
    ASSERT_TRUE(server.started());
    struct stat st {};
    ASSERT_EQ(::lstat(server.socket().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string size = temp_path("size"), copy = temp_path("img");
    EXPECT_EQ(run("nbdinfo --size '" + server.uri() + "' > " + size), 0);
    EXPECT_EQ(file_text(size), "1536000\n");
    EXPECT_EQ(run("nbdcopy '" + server.uri() + "' " + copy), 0);
    EXPECT_TRUE(file_text(copy) == file_text(image.path()));
    EXPECT_EQ(server.stop(), 130);
    EXPECT_NE(server.transcript().find("served 2 clients"), std::string::npos) << server.transcript();
    EXPECT_FALSE(std::filesystem::exists(server.socket()));
    std::remove(size.c_str());
    std::remove(copy.c_str());
}

TEST(Nbd, LoopbackPortServesTheSameCard) {
    if (!have("nbdcopy")) GTEST_SKIP() << "nbdcopy is missing (Debian package libnbd-bin)";
    TestImage image(100);
    const int port = 20000 + ::getpid() % 20000;
    Server server("--port=sim:" + image.path(), "", "localhost:" + std::to_string(port));
    ASSERT_TRUE(server.started());
    const std::string copy = temp_path("img");
    EXPECT_EQ(run("nbdcopy nbd://127.0.0.1:" + std::to_string(port) + " " + copy), 0);
    EXPECT_TRUE(file_text(copy) == file_text(image.path()));
    std::remove(copy.c_str());
}

TEST(Nbd, WritableRoundTripIsExactAndReadOnlyRefusesWrites) {
    if (!have("nbdcopy")) GTEST_SKIP() << "nbdcopy is missing (Debian package libnbd-bin)";
    TestImage card(2048), source(2048, 0);
    const std::string before = file_text(card.path()), back = temp_path("img");
    {
        Server read_only("--port=sim:" + card.path() + ",write=on");
        ASSERT_TRUE(read_only.started());
        EXPECT_NE(run("nbdcopy " + source.path() + " '" + read_only.uri() + "' 2>/dev/null"), 0);
    }
    EXPECT_TRUE(file_text(card.path()) == before);
    Server server("--port=sim:" + card.path() + ",write=on", "--writable");
    ASSERT_TRUE(server.started());
    EXPECT_EQ(run("nbdcopy " + source.path() + " '" + server.uri() + "'"), 0);
    EXPECT_EQ(run("nbdcopy '" + server.uri() + "' " + back), 0);
    EXPECT_TRUE(file_text(back) == file_text(source.path()));
    EXPECT_EQ(server.stop(), 130);
    EXPECT_TRUE(file_text(card.path()) == file_text(source.path()));
    std::remove(back.c_str());
}

// The demo card's FAT16 partition, through nbdfuse and a loop device.
TEST(Nbd, FsckReadsTheDemoCardsFileSystem) {
    for (const char* tool : {"nbdfuse", "fsck.vfat", "losetup", "fusermount3"})
        if (!have(tool)) GTEST_SKIP() << tool << " is missing (Debian packages nbdfuse, dosfstools, mount, fuse3)";
    Server server("--port=sim");
    ASSERT_TRUE(server.started());
    const std::string mount = temp_path("mnt");
    std::filesystem::create_directory(mount);
    const std::string fuse_log = temp_path("log");
    // Waits for the mount, or for nbdfuse to give up.
    if (run("nbdfuse " + mount + "/card --unix " + server.socket() + " >" + fuse_log + " 2>&1 & fuse=$!; "
            "for i in $(seq " + std::to_string(hang_guard_ms / 100) + "); do [ -e " + mount + "/card ] && exit 0; "
            "kill -0 $fuse 2>/dev/null || exit 1; sleep 0.1; done; exit 1") != 0) {
        std::filesystem::remove(mount);
        GTEST_SKIP() << "nbdfuse cannot mount here (no FUSE): " << file_text(fuse_log);
    }
    const std::string loop = temp_path("loop");
    const int attached = run("losetup -f --show -r -o 16384 " + mount + "/card > " + loop + " 2>/dev/null");
    std::string device = file_text(loop);
    if (!device.empty()) device.pop_back();
    const int fsck = attached == 0 ? run("fsck.vfat -n " + device + " >/dev/null") : -1;
    if (attached == 0) run("losetup -d " + device);
    run("fusermount3 -u " + mount);
    std::filesystem::remove(mount);
    std::remove(loop.c_str());
    std::remove(fuse_log.c_str());
    if (attached != 0) GTEST_SKIP() << "no loop device can be attached here";
    EXPECT_EQ(fsck, 0);
}

// Garbage, lies and sudden ends from clients: each gets an error or is
// dropped, and the next client is served as ever.
TEST(Nbd, HostileClientsAreDroppedAndTheServerGoesOn) {
    TestImage image(64);
    Server server("--port=sim:" + image.path() + ",ecc=14");
    ASSERT_TRUE(server.started());
    {
        RawClient c(server.socket());  // handshake garbage
        ASSERT_TRUE(c.connected());
        c.receive(18);
        c.send(Bytes(4, 0) + Bytes(16, 0xAB));
        EXPECT_TRUE(c.closed_by_server());
    }
    {
        RawClient c(server.socket());  // an option of 4 GB
        c.receive(18);
        c.send(RawClient::be(0, 4) + RawClient::be(nbd::option_magic, 8) + RawClient::be(nbd::opt_go, 4) +
               RawClient::be(0xFFFFFFFF, 4));
        EXPECT_TRUE(c.closed_by_server());
    }
    {
        RawClient c(server.socket());  // unknown client flags
        c.receive(18);
        c.send(RawClient::be(0x80, 4));
        EXPECT_TRUE(c.closed_by_server());
    }
    {
        RawClient c(server.socket());
        c.start();
        Bytes got;
        const std::uint64_t end = 64 * 512;
        const struct {
            std::uint16_t type;
            std::uint64_t offset;
            std::uint32_t length;
            std::uint32_t error;
        } requests[] = {
            {nbd::cmd_read, end - 512, 512, 0},        {nbd::cmd_read, end - 511, 512, nbd::err_inval},
            {nbd::cmd_read, end, 1, nbd::err_inval},    {nbd::cmd_read, ~std::uint64_t{0} - 10, 100, nbd::err_inval},
            {nbd::cmd_read, 0, 0x7FFFFFFF, nbd::err_inval}, {nbd::cmd_read, 0, 0, nbd::err_inval},
            {nbd::cmd_read, 20 * 512, 512, nbd::err_io}, {nbd::cmd_read, 21 * 512, 512, 0},
            {nbd::cmd_flush, 0, 0, 0},                 {9, 0, 0, nbd::err_inval},
        };
        for (const auto& r : requests) EXPECT_EQ(c.request(r.type, r.offset, r.length, {}, got), r.error) << r.offset;
        EXPECT_EQ(c.request(nbd::cmd_write, 0, 4, Bytes(4, 1), got), nbd::err_perm);
        EXPECT_EQ(c.request(nbd::cmd_read, 100, 1000, {}, got), 0u);
        EXPECT_TRUE(got == Bytes(image.sector(0) + 100, image.sector(0) + 1100));
        c.send(RawClient::be(nbd::request_magic, 4) + RawClient::be(0, 2) + RawClient::be(nbd::cmd_write, 2) +
               RawClient::be(0, 8) + RawClient::be(0, 8) + RawClient::be(0x40000000, 4));  // a write of 1 GB
        EXPECT_TRUE(c.closed_by_server());
    }
    {
        RawClient c(server.socket());  // gone in the middle of a request
        c.start();
        c.send(RawClient::be(nbd::request_magic, 4) + RawClient::be(0, 4));
    }
    {
        RawClient c(server.socket());  // bad request magic
        c.start();
        c.send(Bytes(28, 0x55));
        EXPECT_TRUE(c.closed_by_server());
    }
    RawClient good(server.socket());
    good.start();
    Bytes got;
    EXPECT_EQ(good.request(nbd::cmd_read, 512, 1024, {}, got), 0u);
    EXPECT_TRUE(got == Bytes(image.sector(1), image.sector(3)));
    EXPECT_EQ(server.stop(), 130);
    for (const char* why : {"unknown client flags", "option too long", "write request too large",
                            "disconnected in the middle of a message", "bad request magic"})
        EXPECT_NE(server.transcript().find(why), std::string::npos) << why << "\n" << server.transcript();
}

// Writes that start and end inside sectors keep the card's other bytes.
TEST(Nbd, UnalignedWritesKeepTheRestOfTheirSectors) {
    TestImage image(16);
    std::string expected = file_text(image.path());
    Server server("--port=sim:" + image.path() + ",write=on", "--writable");
    ASSERT_TRUE(server.started());
    RawClient c(server.socket());
    c.start();
    Bytes got;
    const struct {
        std::uint64_t offset;
        std::uint32_t length;
    } writes[] = {{100, 10}, {1000, 1500}, {4096, 512}, {8191, 1}};
    std::uint8_t fill = 0xA0;
    for (const auto& w : writes) {
        EXPECT_EQ(c.request(nbd::cmd_write, w.offset, w.length, Bytes(w.length, fill), got), 0u) << w.offset;
        expected.replace(w.offset, w.length, std::string(w.length, static_cast<char>(fill)));
        ++fill;
    }
    EXPECT_EQ(c.request(nbd::cmd_write, 8190, 4, Bytes(4, 1), got), nbd::err_nospc);
    EXPECT_EQ(server.stop(), 130);
    EXPECT_TRUE(file_text(image.path()) == expected);
}

// An ending signal while a long read is served: the reply comes whole, then
// the server closes.
TEST(Nbd, EndingSignalsFinishTheRequestInHand) {
    TestImage image(4096);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Server server("--port=sim:" + image.path() + ",access=300");
        ASSERT_TRUE(server.started());
        RawClient c(server.socket());
        c.start();
        const std::uint32_t length = nbd::max_request_bytes;
        c.send(RawClient::be(nbd::request_magic, 4) + RawClient::be(0, 2) + RawClient::be(nbd::cmd_read, 2) +
               RawClient::be(7, 8) + RawClient::be(0, 8) + RawClient::be(length, 4));
        ASSERT_TRUE(c.read_by_server()) << signal;  // the request is in hand
        server.signal(signal);
        const Bytes reply = c.receive(16 + length);
        const int status = server.stop(true);
        ASSERT_EQ(reply.size(), 16u + length) << signal;
        EXPECT_EQ(RawClient::get(reply, 4, 4), 0u);
        EXPECT_TRUE(std::equal(reply.begin() + 16, reply.end(), image.sector(0))) << signal;
        EXPECT_TRUE(c.closed_by_server());
        EXPECT_EQ(status, 128 + signal);
    }
}

TEST(Nbd, RefusedWhereItCannotServe) {
    const std::string taken = temp_path("sock");
    std::ofstream(taken) << "x";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--port=sim", "--serve=" + taken}, 1, "vantacle: " + taken + " exists: remove it or name another socket\n"},
        {{"--port=sim", "--serve=localhost:0"}, 1, "vantacle: bad port '0' (localhost:PORT, PORT from 1 to 65535)\n"},
        {{"--port=sim", "--serve=" + taken, "--writable"}, 2,
         "vantacle: --writable lets clients write to the card: open the simulated card with write=on\n"},
        {{"--port=sim", "--writable"}, 2, "vantacle: --writable goes with --serve\n"},
        {{"--port=direct", "--serve=" + taken, "--writable"}, 2,
         "vantacle: --writable lets clients write to the card: add --yes to run it on a real port\n"},
        {{"--port=sim", "--serve=" + taken, "--probe"}, 2,
         "vantacle: give only one of --dump, --verify, --load, --probe, --serve and --fill\n"},
    };
    for (const auto& c : cases) {
        const auto r = run_piped(c.args, "");
        EXPECT_EQ(r.status, c.status) << c.args[1];
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(file_text(taken), "x");
    std::remove(taken.c_str());
}
