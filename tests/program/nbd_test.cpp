// The card served over NBD: real clients from libnbd (nbdinfo, nbdcopy,
// nbdfuse) read it byte for byte, write to it with --writable, over TLS with
// a pre-shared key made by psktool, and read its file system through a loop
// device; a raw client tries what a hostile or stalling one would, and the
// server goes on serving the others and still ends at once on a signal.
// Tests whose tools are missing skip with a message.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "serve/nbd_protocol.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

bool have(const char* tool) { return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0; }

std::string temp_path(const char* kind) {
    static int counter = 0;
    return "/tmp/vantacle-nbd-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "." + kind;
}

// The program serving a card until the test ends it with Ctrl+C.
class Server {
public:
    explicit Server(const std::string& port, const std::vector<std::string>& extra = {}, const std::string& where = "")
        : socket_(where.empty() ? temp_path("sock") : where) {
        std::vector<std::string> args{port, "--serve=" + socket_};
        args.insert(args.end(), extra.begin(), extra.end());
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
    int stop(bool signalled = false, int timeout_ms = hang_guard_ms) {
        if (!signalled) pty_->type("\x03");
        const int status = pty_->finish(timeout_ms);
        transcript_ = pty_->transcript();
        pty_.reset();
        return status;
    }
    const std::string& transcript() const { return transcript_; }
    // Waits until the server has said text. A Ctrl+C typed on a terminal
    // discards output not yet read, so lines that must be seen are read first.
    bool said(const std::string& text) { return pty_->has_shown(text); }

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
    // A client of 127.0.0.1:port.
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    bool closed_by_server(int timeout_ms = hang_guard_ms) {
        std::uint8_t b;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) == 1 && ::recv(fd_, &b, 1, 0) == 0;
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
    // An option in the handshake: the reply's type (its data skipped).
    std::uint32_t option(std::uint32_t option, const Bytes& data = {}) {
        send(be(nbd::option_magic, 8) + be(option, 4) + be(data.size(), 4) + data);
        const Bytes head = receive(20);
        if (head.size() != 20) return 0;
        receive(get(head, 16, 4));
        return static_cast<std::uint32_t>(get(head, 12, 4));
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

// A key file for user as psktool makes it.
std::string make_key(const std::string& user) {
    const std::string path = temp_path("psk");
    EXPECT_EQ(run("psktool -u " + user + " -p " + path + " >/dev/null"), 0);
    return path;
}

std::string sha256(const std::string& path) {
    const std::string sum = temp_path("sum");
    run("sha256sum < " + path + " > " + sum);
    const std::string text = file_text(sum);
    std::remove(sum.c_str());
    return text;
}

// Ends the server with SIGTERM: the status; the time it took goes to the log.
int terminate(Server& server, const std::string& what) {
    const auto start = std::chrono::steady_clock::now();
    server.signal(SIGTERM);
    const int status = server.stop(true, 10000);  // a hang guard: the server is to end within a second
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("[ measured ] SIGTERM with %s ended the server in %lld ms\n", what.c_str(), static_cast<long long>(ms.count()));
    return status;
}

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

// A TCP port of the tests' own, apart from the other tests' and runs'.
std::string test_port(int n) { return std::to_string(20000 + (::getpid() * 8 + n) % 40000); }

TEST(Nbd, InsecureTcpServesTheSameCardOnLoopbackAddresses) {
    if (!have("nbdcopy")) GTEST_SKIP() << "nbdcopy is missing (Debian package libnbd-bin)";
    TestImage image(100);
    for (const char* host : {"localhost", "127.0.0.1"}) {
        const std::string port = test_port(host[0] == 'l');
        Server server("--port=sim:" + image.path(), {"--insecure"}, std::string(host) + ":" + port);
        ASSERT_TRUE(server.started());
        const std::string copy = temp_path("img");
        EXPECT_EQ(run("nbdcopy nbd://127.0.0.1:" + port + " " + copy), 0) << host;
        EXPECT_TRUE(file_text(copy) == file_text(image.path()));
        EXPECT_FALSE(std::filesystem::exists(std::string(host) + ":" + port));
        std::remove(copy.c_str());
    }
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
    Server server("--port=sim:" + card.path() + ",write=on", {"--writable"});
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
    for (const char* why : {"unknown client flags", "option too long", "write request too large",
                            "disconnected in the middle of a message", "bad request magic"})
        EXPECT_TRUE(server.said(why)) << why;
    EXPECT_EQ(server.stop(), 130);
}

// Writes that start and end inside sectors keep the card's other bytes.
TEST(Nbd, UnalignedWritesKeepTheRestOfTheirSectors) {
    TestImage image(16);
    std::string expected = file_text(image.path());
    Server server("--port=sim:" + image.path() + ",write=on", {"--writable"});
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

// An ending signal while a long read is served: the reply comes whole, or
// refused as the server shuts down, or cut short when the card and the
// client are too slow to finish it within the stop's grace; never a wrong
// byte. Then the server closes.
TEST(Nbd, EndingSignalsEndTheRequestInHandWithoutAWrongByte) {
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
        ASSERT_GE(reply.size(), 16u) << signal;
        EXPECT_EQ(RawClient::get(reply, 8, 8), 7u);
        if (RawClient::get(reply, 4, 4) == nbd::err_shutdown) {
            EXPECT_EQ(reply.size(), 16u);
        } else {
            EXPECT_EQ(RawClient::get(reply, 4, 4), 0u);
            EXPECT_TRUE(std::equal(reply.begin() + 16, reply.end(), image.sector(0))) << signal;
        }
        EXPECT_TRUE(c.closed_by_server());
        EXPECT_EQ(status, 128 + signal);
    }
}

TEST(Nbd, RefusedWhereItCannotServe) {
    const std::string taken = temp_path("sock"), fifo = temp_path("fifo"), key = temp_path("key");
    const std::string named = key + "\x1B]0;PWN\x07";
    std::ofstream(taken) << "x";
    ::chmod(taken.c_str(), 0644);
    ::mkfifo(fifo.c_str(), 0600);
    ::mkfifo(named.c_str(), 0600);
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--port=sim", "--serve=" + taken}, 1, "vantacle: " + taken + " exists: remove it or name another socket\n"},
        {{"--port=sim", "--serve=localhost:0", "--insecure"}, 1, "vantacle: bad port '0' (HOST:PORT, PORT from 1 to 65535)\n"},
        {{"--port=sim", "--serve=127.0.0.1:" + test_port(2)}, 1,
         "vantacle: --serve over TCP needs a key: --tls-psk=FILE (made with psktool) or --tls-certificates=DIR; or "
         "--insecure on the loopback address\n"},
        {{"--port=sim", "--serve=0.0.0.0:" + test_port(2), "--insecure"}, 1,
         "vantacle: --insecure serves only the loopback address (127.0.0.1, ::1): any other needs --tls-psk=FILE or "
         "--tls-certificates=DIR\n"},
        {{"--port=sim", "--serve=[::]:" + test_port(2), "--insecure"}, 1,
         "vantacle: --insecure serves only the loopback address (127.0.0.1, ::1): any other needs --tls-psk=FILE or "
         "--tls-certificates=DIR\n"},
        {{"--port=sim", "--serve=" + taken, "--tls-psk=" + taken}, 1,
         "vantacle: the key file " + taken + " can be read by other users: chmod 600 it\n"},
        {{"--port=sim", "--serve=" + taken, "--tls-psk=" + fifo}, 1, "vantacle: the key file " + fifo + " is a FIFO, not a regular file\n"},
        // A file name never reaches the terminal raw.
        {{"--port=sim", "--serve=" + taken, "--tls-psk=" + named}, 1,
         "vantacle: the key file " + key + "\\x1B]0;PWN\\x07 is a FIFO, not a regular file\n"},
        {{"--port=sim", "--serve=" + taken, "--tls-psk=" + taken, "--tls-certificates=/tmp"}, 2,
         "vantacle: give one of --tls-psk and --tls-certificates\n"},
        {{"--port=sim", "--serve=" + taken, "--tls-psk=" + taken, "--insecure"}, 2,
         "vantacle: --insecure serves without TLS: leave out --tls-psk and --tls-certificates\n"},
        {{"--port=sim", "--insecure"}, 2, "vantacle: --tls-psk, --tls-certificates, --insecure, --timeout and --idle go with --serve\n"},
        {{"--port=sim", "--serve=" + taken, "--idle=0"}, 2, "vantacle: bad time '0' (seconds from 1 to 86400)\n"},
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
    std::remove(fifo.c_str());
    std::remove(named.c_str());
}

// Over TCP with a pre-shared key: without it, with a wrong one or under an
// unknown name a client gets nothing; with it, a round trip is exact.
TEST(Nbd, TcpNeedsTheKeyAndARoundTripWithItIsExact) {
    for (const char* tool : {"nbdcopy", "nbdinfo", "psktool", "sha256sum"})
        if (!have(tool)) GTEST_SKIP() << tool << " is missing (Debian packages libnbd-bin, gnutls-bin, coreutils)";
    TestImage card(2048), source(2048, 0);
    const std::string key = make_key("lab"), wrong = make_key("lab"), stranger = make_key("mallory");
    const std::string port = test_port(3), back = temp_path("img"), before = sha256(card.path());
    Server server("--port=sim:" + card.path() + ",write=on", {"--writable", "--tls-psk=" + key}, "127.0.0.1:" + port);
    ASSERT_TRUE(server.started());
    for (const std::string& uri : {"nbd://127.0.0.1:" + port, "nbds://lab@127.0.0.1:" + port + "/?tls-psk-file=" + wrong,
                                   "nbds://mallory@127.0.0.1:" + port + "/?tls-psk-file=" + stranger}) {
        EXPECT_NE(run("nbdcopy " + source.path() + " '" + uri + "' 2>/dev/null"), 0) << uri;
        EXPECT_NE(run("nbdinfo --size '" + uri + "' >/dev/null 2>&1"), 0) << uri;
    }
    EXPECT_EQ(sha256(card.path()), before);
    const std::string uri = "nbds://lab@127.0.0.1:" + port + "/?tls-psk-file=" + key;
    EXPECT_EQ(run("nbdcopy " + source.path() + " '" + uri + "'"), 0);
    EXPECT_EQ(run("nbdcopy '" + uri + "' " + back), 0);
    EXPECT_EQ(sha256(back), sha256(source.path()));
    EXPECT_TRUE(server.said("TLS handshake failed"));
    EXPECT_EQ(server.stop(), 130);
    EXPECT_EQ(sha256(card.path()), sha256(source.path()));
    EXPECT_NE(server.transcript().find("(TLS); Ctrl+C ends"), std::string::npos) << server.transcript();
    for (const std::string& f : {key, wrong, stranger, back}) std::remove(f.c_str());
}

// Until TLS is up only STARTTLS and ABORT are served; asking for the export
// ends the connection.
TEST(Nbd, BeforeTlsEveryOptionButStartTlsIsRefused) {
    if (!have("psktool")) GTEST_SKIP() << "psktool is missing (Debian package gnutls-bin)";
    TestImage image(64);
    const std::string key = make_key("lab");
    Server server("--port=sim:" + image.path(), {"--tls-psk=" + key});
    ASSERT_TRUE(server.started());
    RawClient c(server.socket());
    ASSERT_EQ(c.receive(18).size(), 18u);
    c.send(RawClient::be(nbd::flag_fixed_newstyle | nbd::flag_no_zeroes, 4));
    const Bytes go = RawClient::be(0, 4) + RawClient::be(0, 2);
    EXPECT_EQ(c.option(nbd::opt_go, go), nbd::rep_err_tls_reqd);
    EXPECT_EQ(c.option(nbd::opt_info, go), nbd::rep_err_tls_reqd);
    EXPECT_EQ(c.option(nbd::opt_list), nbd::rep_err_tls_reqd);
    EXPECT_EQ(c.option(nbd::opt_starttls, Bytes(1, 0)), nbd::rep_err_invalid);
    c.send(RawClient::be(nbd::option_magic, 8) + RawClient::be(nbd::opt_export_name, 4) + RawClient::be(0, 4));
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_TRUE(server.said("asked for the export before starting TLS"));
    EXPECT_EQ(server.stop(), 130);
    std::remove(key.c_str());
}

// A client that stalls anywhere holds neither the other clients (a writer
// and a reader at once) nor the end on SIGTERM.
TEST(Nbd, StallingClientsHoldNeitherOthersNorTheEnd) {
    for (const char* tool : {"nbdcopy", "psktool"})
        if (!have(tool)) GTEST_SKIP() << tool << " is missing (Debian packages libnbd-bin, gnutls-bin)";
    enum class Stall { in_handshake, in_tls_handshake, idle, in_request, in_write_data };
    const struct {
        const char* what;
        Stall stall;
        bool tls;
    } stallers[] = {
        {"a client inside the handshake", Stall::in_handshake, true},
        {"a client inside the TLS handshake", Stall::in_tls_handshake, true},
        {"a client idle after the handshake", Stall::idle, false},
        {"a client inside a request", Stall::in_request, false},
        {"a client inside a write's data", Stall::in_write_data, false},
    };
    const std::uint64_t half = 1024 * 512;
    const std::string key = make_key("lab");
    int n = 4;
    for (const auto& staller : stallers) {
        TestImage card(2048), source(1024, 0);
        const std::string port = test_port(n++), back = temp_path("img");
        Server server("--port=sim:" + card.path() + ",write=on", {"--writable", staller.tls ? "--tls-psk=" + key : "--insecure"},
                      "127.0.0.1:" + port);
        ASSERT_TRUE(server.started());
        RawClient stall(std::stoi(port));
        ASSERT_TRUE(stall.connected());
        if (staller.stall == Stall::in_handshake || staller.stall == Stall::in_tls_handshake) {
            stall.receive(18);
            stall.send(RawClient::be(nbd::flag_fixed_newstyle, 4));
            if (staller.stall == Stall::in_tls_handshake) {
                EXPECT_EQ(stall.option(nbd::opt_starttls), nbd::rep_ack);
            }
            stall.send(Bytes{0x16, 0x03});
        } else {
            stall.start();
        }
        const Bytes head = RawClient::be(nbd::request_magic, 4) + RawClient::be(0, 2) + RawClient::be(nbd::cmd_write, 2) +
                           RawClient::be(1, 8) + RawClient::be(0, 8) + RawClient::be(65536, 4);
        if (staller.stall == Stall::in_request) stall.send(Bytes(head.begin(), head.begin() + 6));
        if (staller.stall == Stall::in_write_data) stall.send(head + Bytes(100, 7));
        const std::string uri = staller.tls ? "nbds://lab@127.0.0.1:" + port + "/?tls-psk-file=" + key : "nbd://127.0.0.1:" + port;
        EXPECT_EQ(run("timeout 60 nbdcopy " + source.path() + " '" + uri + "' & timeout 60 nbdcopy '" + uri + "' " + back +
                      " && wait $!"),
                  0)
            << staller.what;
        EXPECT_TRUE(file_text(back).substr(half) == file_text(card.path()).substr(half)) << staller.what;
        EXPECT_EQ(terminate(server, staller.what), 128 + SIGTERM);
        EXPECT_TRUE(file_text(card.path()).substr(0, half) == file_text(source.path())) << staller.what;
        std::remove(back.c_str());
    }
    std::remove(key.c_str());
}

// Limits: a client too slow inside a message, or idle too long, is dropped;
// one that keeps going is served.
TEST(Nbd, SlowAndIdleClientsAreDroppedAfterTheirTime) {
    TestImage image(64);
    Server server("--port=sim:" + image.path(), {"--timeout=1", "--idle=2"});
    ASSERT_TRUE(server.started());
    RawClient slow(server.socket()), idle(server.socket()), busy(server.socket());
    slow.start();
    idle.start();
    busy.start();
    slow.send(RawClient::be(nbd::request_magic, 4));
    Bytes got;
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(busy.request(nbd::cmd_read, 512, 512, {}, got), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(slow.closed_by_server(20000));
    EXPECT_TRUE(idle.closed_by_server(20000));
    EXPECT_EQ(busy.request(nbd::cmd_read, 512, 512, {}, got), 0u);
    EXPECT_TRUE(got == Bytes(image.sector(1), image.sector(2)));
    for (const char* why : {"client 1 dropped: too slow", "client 2 dropped: idle for too long"}) EXPECT_TRUE(server.said(why)) << why;
    EXPECT_EQ(server.stop(), 130);
}

// X.509: a client whose certificate the server's CA signed is served; one
// without a certificate, or with one from another CA, is refused.
TEST(Nbd, CertificatesLetInOnlyClientsOfTheServersCa) {
    for (const char* tool : {"nbdinfo", "certtool"})
        if (!have(tool)) GTEST_SKIP() << tool << " is missing (Debian packages libnbd-bin, gnutls-bin)";
    const std::string dir = temp_path("x509");
    std::filesystem::create_directory(dir);
    // ca NAME makes a CA; cert CA NAME ROLE a key and a certificate CA signed.
    const std::string script = R"(set -e
ca() { printf 'cn = "%s"\nca\ncert_signing_key\nexpiration_days = 2\n' $1 > $1.tmpl
       certtool --generate-privkey --key-type=ecdsa --outfile $1-key.pem
       certtool --generate-self-signed --load-privkey $1-key.pem --template $1.tmpl --outfile $1-cert.pem; }
cert() { printf 'cn = "%s"\nip_address = "127.0.0.1"\ntls_www_%s\nsigning_key\nencryption_key\nexpiration_days = 2\n' $2 $3 > $2.tmpl
       certtool --generate-privkey --key-type=ecdsa --outfile $2-key.pem
       certtool --generate-certificate --load-privkey $2-key.pem --load-ca-certificate $1-cert.pem \
                --load-ca-privkey $1-key.pem --template $2.tmpl --outfile $2-cert.pem; }
ca lab; ca other; cert lab server server; cert lab client client; cert other stranger client
mkdir server good stranger none
for d in server good stranger none; do cp lab-cert.pem $d/ca-cert.pem; done
cp server-cert.pem server-key.pem server/
cp client-cert.pem good/client-cert.pem; cp client-key.pem good/client-key.pem
cp stranger-cert.pem stranger/client-cert.pem; cp stranger-key.pem stranger/client-key.pem
chmod 600 */*key.pem)";
    ASSERT_EQ(run("cd " + dir + " && (" + script + ") >/dev/null 2>&1"), 0);
    TestImage image(256);
    const std::string port = test_port(9), size = temp_path("size");
    Server server("--port=sim:" + image.path(), {"--tls-certificates=" + dir + "/server"}, "127.0.0.1:" + port);
    ASSERT_TRUE(server.started());
    const struct {
        const char* client;
        int status;
    } clients[] = {{"good", 0}, {"none", 1}, {"stranger", 1}};
    for (const auto& c : clients) {
        const int status = run("nbdinfo --size 'nbds://127.0.0.1:" + port + "/?tls-certificates=" + dir + "/" + c.client + "' > " +
                               size + " 2>/dev/null");
        EXPECT_EQ(status != 0, c.status != 0) << c.client;
        EXPECT_EQ(file_text(size), c.status ? "" : "131072\n") << c.client;
    }
    EXPECT_EQ(server.stop(), 130);
    std::filesystem::remove_all(dir);
    std::remove(size.c_str());
}
