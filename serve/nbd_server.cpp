#include "serve/nbd_server.h"

#include <cstdio>

#include "base/exit_status.h"

#ifdef _WIN32
int serve_card(SectorDevice&, const std::string&, bool) { return fail("--serve is not available on Windows"); }
#else

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <span>
#include <vector>

#include "app/console/console.h"
#include "serve/nbd_protocol.h"
#include "base/outcome.h"
#include "disk/sector_device.h"

namespace {

constexpr int poll_ms = 200;
// A client silent this long in the middle of a message, or not taking a
// reply, is dropped.
constexpr int stall_limit_ms = 30000;
// Options one connection may send before it must choose an export.
constexpr int max_options = 64;

// Big-endian numbers into a message being built.
class Message {
public:
    Message& u16(std::uint16_t v) { return put(v, 2); }
    Message& u32(std::uint32_t v) { return put(v, 4); }
    Message& u64(std::uint64_t v) { return put(v, 8); }
    Message& zeros(std::size_t n) {
        bytes_.insert(bytes_.end(), n, 0);
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    Message& put(std::uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<std::uint8_t> bytes_;
};

std::uint64_t get_be(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// One client's socket: whole messages in and out, never waiting past a
// signal, nor for ever inside a message.
class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // idle: the message has not begun; waiting for it may last until a signal.
    bool read(void* to, std::size_t n, bool idle = false) {
        auto* p = static_cast<std::uint8_t*>(to);
        int waited = 0;
        for (std::size_t got = 0; got < n;) {
            if (!wait(POLLIN, idle && got == 0, waited)) return false;
            const ssize_t r = ::recv(fd_, p + got, n - got, 0);
            if (r == 0) return fail(got == 0 && idle ? "" : "disconnected in the middle of a message");
            if (r < 0 && errno != EINTR && errno != EAGAIN) return fail("cannot read from the client");
            if (r > 0) got += static_cast<std::size_t>(r), waited = 0;
        }
        return true;
    }
    bool write(std::span<const std::uint8_t> bytes) {
        int waited = 0;
        for (std::size_t sent = 0; sent < bytes.size();) {
            if (!wait(POLLOUT, false, waited)) return false;
            const ssize_t r = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (r < 0 && errno != EINTR && errno != EAGAIN) return fail("cannot write to the client");
            if (r > 0) sent += static_cast<std::size_t>(r), waited = 0;
        }
        return true;
    }
    bool write(const Message& m) { return write(std::span(m.bytes())); }
    bool fail(std::string why) {
        if (!ended_) why_ = std::move(why);
        ended_ = true;
        return false;
    }
    // The client asked to leave: whatever happens to the last reply is no fault.
    void leave() {
        ended_ = true;
        why_.clear();
    }
    // While a request is in hand an ending signal waits for it to be done.
    void set_in_request(bool in_request) { in_request_ = in_request; }
    // Empty when the client left in good order or a signal came.
    const std::string& why() const { return why_; }

private:
    bool wait(short events, bool idle, int& waited) {
        while (true) {
            if (!in_request_ && console_signal_pending()) return fail("");
            pollfd p{fd_, events, 0};
            const int r = ::poll(&p, 1, poll_ms);
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return fail("cannot wait for the client");
            waited += poll_ms;
            if (!idle && waited >= stall_limit_ms) return fail("silent in the middle of a message");
        }
    }
    int fd_;
    bool in_request_ = false;
    bool ended_ = false;
    std::string why_;
};

// The card as bytes: requests at any offset, whole sectors moved through
// one buffer made at the start.
class CardDisk {
public:
    CardDisk(SectorDevice& device, std::uint64_t sectors)
        : device_(device), sectors_(sectors), scratch_(nbd::max_request_bytes + 2 * sector_size) {}
    std::uint64_t bytes() const { return sectors_ * sector_size; }
    bool fits(std::uint64_t offset, std::uint32_t length) const {
        return length != 0 && length <= nbd::max_request_bytes && offset <= bytes() && length <= bytes() - offset;
    }
    std::span<const std::uint8_t> read(std::uint64_t offset, std::uint32_t length, bool& ok) {
        const Cover c = cover(offset, length);
        std::uint32_t done = 0;
        ok = device_.read(c.first, whole(c.count), done) == CardResult::ok;
        return area(offset, length);
    }
    // A write that starts or ends inside a sector keeps the card's other
    // bytes of it: those sectors are read first, then the data goes to area.
    bool prepare_write(std::uint64_t offset, std::uint32_t length) {
        const Cover c = cover(offset, length);
        const bool head = offset % sector_size != 0, tail = (offset + length) % sector_size != 0;
        if (head && !read_one(c.first, 0)) return false;
        return !tail || (c.count == 1 && head) || read_one(c.first + c.count - 1, c.count - 1);
    }
    std::span<std::uint8_t> area(std::uint64_t offset, std::uint32_t length) {
        return std::span(scratch_).subspan(offset % sector_size, length);
    }
    bool write(std::uint64_t offset, std::uint32_t length) {
        const Cover c = cover(offset, length);
        std::uint32_t done = 0;
        return device_.write(c.first, whole(c.count), done) == CardResult::ok;
    }

private:
    struct Cover {
        std::uint32_t first, count;
    };
    static Cover cover(std::uint64_t offset, std::uint32_t length) {
        const std::uint64_t first = offset / sector_size, last = (offset + length - 1) / sector_size;
        return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last - first + 1)};
    }
    std::span<std::uint8_t> whole(std::uint32_t count) { return std::span(scratch_).first(std::size_t{count} * sector_size); }
    bool read_one(std::uint32_t sector, std::uint32_t index) {
        return device_.read_sector(sector, std::span(scratch_).subspan(std::size_t{index} * sector_size).first<sector_size>()) ==
               CardResult::ok;
    }
    SectorDevice& device_;
    std::uint64_t sectors_;
    std::vector<std::uint8_t> scratch_;
};

struct Stats {
    unsigned clients = 0;
    unsigned long long reads = 0, writes = 0, errors = 0;
};

// One client from the handshake to its end.
class Connection {
public:
    Connection(int fd, CardDisk& disk, bool writable, Stats& stats)
        : peer_(fd), disk_(disk), writable_(writable), stats_(stats) {}
    // The reason the client was dropped, or empty.
    std::string run() {
        if (handshake()) transmit();
        return peer_.why();
    }

private:
    std::uint16_t transmission_flags() const {
        return nbd::tflag_has_flags | nbd::tflag_send_flush | (writable_ ? 0 : nbd::tflag_read_only);
    }

    bool reply(std::uint32_t option, std::uint32_t type, const Message& data = {}) {
        Message m;
        m.u64(nbd::reply_magic).u32(option).u32(type).u32(static_cast<std::uint32_t>(data.bytes().size()));
        return peer_.write(m) && peer_.write(data);
    }

    bool handshake() {
        if (!peer_.write(Message().u64(nbd::init_magic).u64(nbd::option_magic).u16(nbd::flag_fixed_newstyle | nbd::flag_no_zeroes)))
            return false;
        std::uint8_t flags[4];
        if (!peer_.read(flags, 4)) return false;
        const auto client_flags = static_cast<std::uint32_t>(get_be(flags, 4));
        if (client_flags & ~nbd::client_flags_known) return peer_.fail("unknown client flags");
        no_zeroes_ = client_flags & nbd::flag_no_zeroes;
        for (int i = 0; i < max_options; ++i) {
            std::uint8_t head[16];
            if (!peer_.read(head, sizeof head)) return false;
            if (get_be(head, 8) != nbd::option_magic) return peer_.fail("bad option magic");
            const auto option = static_cast<std::uint32_t>(get_be(head + 8, 4));
            const auto length = static_cast<std::uint32_t>(get_be(head + 12, 4));
            if (length > nbd::max_option_bytes) return peer_.fail("option too long");
            std::vector<std::uint8_t> data(length);
            if (!peer_.read(data.data(), length)) return false;
            bool go = false;
            if (!option_answered(option, data, go)) return false;
            if (go) return true;
        }
        return peer_.fail("too many options");
    }

    // Answers one option; go turns true when transmission starts.
    bool option_answered(std::uint32_t option, const std::vector<std::uint8_t>& data, bool& go) {
        switch (option) {
            case nbd::opt_export_name:
                go = true;
                return peer_.write(Message().u64(disk_.bytes()).u16(transmission_flags()).zeros(no_zeroes_ ? 0 : 124));
            case nbd::opt_abort:
                reply(option, nbd::rep_ack);
                peer_.leave();
                return false;
            case nbd::opt_list:
                if (!data.empty()) return reply(option, nbd::rep_err_invalid);
                return reply(option, nbd::rep_server, Message().u32(0)) && reply(option, nbd::rep_ack);
            case nbd::opt_info:
            case nbd::opt_go:
                if (!info_request_valid(data)) return reply(option, nbd::rep_err_invalid);
                go = option == nbd::opt_go;
                return reply(option, nbd::rep_info, Message().u16(nbd::info_export).u64(disk_.bytes()).u16(transmission_flags())) &&
                       reply(option, nbd::rep_info,
                             Message().u16(nbd::info_block_size).u32(1).u32(nbd::preferred_request_bytes).u32(nbd::max_request_bytes)) &&
                       reply(option, nbd::rep_ack);
            default: return reply(option, nbd::rep_err_unsup);
        }
    }

    // Name length, name, count of info requests, the requests: nothing more or less.
    static bool info_request_valid(const std::vector<std::uint8_t>& data) {
        if (data.size() < 6) return false;
        const std::uint64_t name = get_be(data.data(), 4);
        if (name > data.size() - 6) return false;
        const std::uint64_t requests = get_be(data.data() + 4 + name, 2);
        return data.size() == 6 + name + 2 * requests;
    }

    bool simple_reply(std::uint64_t cookie, std::uint32_t error, std::span<const std::uint8_t> data = {}) {
        if (error) ++stats_.errors;
        return peer_.write(Message().u32(nbd::simple_reply_magic).u32(error).u64(cookie)) && (error || peer_.write(data));
    }

    void transmit() {
        while (true) {
            std::uint8_t head[28];
            if (!peer_.read(head, sizeof head, true)) return;
            if (get_be(head, 4) != nbd::request_magic) {
                peer_.fail("bad request magic");
                return;
            }
            const auto type = static_cast<std::uint16_t>(get_be(head + 6, 2));
            const std::uint64_t cookie = get_be(head + 8, 8), offset = get_be(head + 16, 8);
            const auto length = static_cast<std::uint32_t>(get_be(head + 24, 4));
            if (type == nbd::cmd_disc) return;
            peer_.set_in_request(true);
            const bool served = serve(type, cookie, offset, length);
            peer_.set_in_request(false);
            if (!served) return;
        }
    }

    bool serve(std::uint16_t type, std::uint64_t cookie, std::uint64_t offset, std::uint32_t length) {
        switch (type) {
            case nbd::cmd_read: return serve_read(cookie, offset, length);
            case nbd::cmd_write: return serve_write(cookie, offset, length);
            case nbd::cmd_flush: return simple_reply(cookie, 0);
            default: return simple_reply(cookie, nbd::err_inval);
        }
    }

    bool serve_read(std::uint64_t cookie, std::uint64_t offset, std::uint32_t length) {
        if (!disk_.fits(offset, length)) return simple_reply(cookie, nbd::err_inval);
        ++stats_.reads;
        bool ok = false;
        const auto data = disk_.read(offset, length, ok);
        return simple_reply(cookie, ok ? 0 : nbd::err_io, data);
    }

    // The data is always taken in, so that the next request is found.
    bool serve_write(std::uint64_t cookie, std::uint64_t offset, std::uint32_t length) {
        if (length > nbd::max_request_bytes) return peer_.fail("write request too large");
        const std::uint32_t refused = !writable_ ? nbd::err_perm : !disk_.fits(offset, length) ? nbd::err_nospc : 0;
        const bool prepared = refused == 0 && disk_.prepare_write(offset, length);
        const auto area = disk_.area(refused ? 0 : offset, length);
        if (!peer_.read(area.data(), area.size())) return false;
        if (refused) return simple_reply(cookie, refused);
        ++stats_.writes;
        return simple_reply(cookie, prepared && disk_.write(offset, length) ? 0 : nbd::err_io);
    }

    Peer peer_;
    CardDisk& disk_;
    bool writable_;
    Stats& stats_;
    bool no_zeroes_ = false;
};

// The listening socket: a Unix socket made with mode 0600, or a TCP port on
// the loopback address only.
class Listener {
public:
    ~Listener() {
        if (fd_ >= 0) ::close(fd_);
        if (!unix_path_.empty()) ::unlink(unix_path_.c_str());
    }
    Outcome open(const std::string& where) {
        constexpr std::string_view local = "localhost:";
        if (where.rfind(local, 0) == 0) return open_tcp(where.substr(local.size()));
        return open_unix(where);
    }
    // The next client, or -1 once a signal came.
    int next_client() {
        while (!console_signal_pending()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, poll_ms) <= 0) continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int on = 1;
            if (!tcp_) return client;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return client;
        }
        return -1;
    }

private:
    Outcome open_unix(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) return Outcome::failed("the socket path " + path + " is too long");
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) return Outcome::failed(path + " exists: remove it or name another socket");
        std::memcpy(address.sun_path, path.c_str(), path.size());
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const mode_t mask = ::umask(0177);
        const bool bound = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::umask(mask);
        if (!bound) return Outcome::failed("cannot make the socket " + path + ": " + std::strerror(errno));
        unix_path_ = path;
        if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd_, 4) != 0)
            return Outcome::failed("cannot listen on " + path + ": " + std::strerror(errno));
        return Outcome::ok();
    }
    Outcome open_tcp(const std::string& port_text) {
        unsigned port = 0;
        const char* end = port_text.data() + port_text.size();
        auto [ptr, ec] = std::from_chars(port_text.data(), end, port);
        if (port_text.empty() || ec != std::errc() || ptr != end || port == 0 || port > 65535)
            return Outcome::failed("bad port '" + port_text + "' (localhost:PORT, PORT from 1 to 65535)");
        tcp_ = true;
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 4) != 0)
            return Outcome::failed("cannot listen on 127.0.0.1:" + port_text + ": " + std::strerror(errno));
        return Outcome::ok();
    }
    int fd_ = -1;
    bool tcp_ = false;
    std::string unix_path_;
};

}  // namespace

int serve_card(SectorDevice& device, const std::string& where, bool writable) {
    const std::uint64_t sectors = device.sectors();
    Listener listener;
    const Outcome opened = sectors == 0 ? Outcome::failed("the card does not say its capacity: it cannot be served")
                                        : listener.open(where);
    if (!opened) return fail(opened.why());
    CardDisk disk(device, sectors);
    std::printf("serving %llu sectors %s on %s; Ctrl+C ends\n", static_cast<unsigned long long>(sectors),
                writable ? "for reading and writing" : "read-only", where.c_str());
    std::fflush(stdout);
    Stats stats;
    for (int fd; (fd = listener.next_client()) >= 0;) {
        ++stats.clients;
        Connection connection(fd, disk, writable, stats);
        const std::string why = connection.run();
        if (!why.empty()) std::printf("client %u dropped: %s\n", stats.clients, why.c_str());
        std::fflush(stdout);
    }
    std::printf("served %u clients: %llu reads, %llu writes, %llu failed\n", stats.clients, stats.reads, stats.writes,
                stats.errors);
    return ExitStatus::ok;
}

#endif
