#include "serve/nbd_connection.h"

#include <algorithm>
#include <cstring>

#include "serve/nbd_protocol.h"
#include "serve/tls.h"

namespace {

// Options one connection may send before it must choose an export.
constexpr int max_options = 64;
// Sectors moved under one hold of the backend's lock, so that clients take
// turns and a stop is seen between runs.
constexpr std::size_t run_bytes = 64 * 1024;

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
    operator std::span<const std::uint8_t>() const { return bytes_; }

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

// Name length, name, count of info requests, the requests: nothing more or less.
bool info_request_valid(const std::vector<std::uint8_t>& data) {
    if (data.size() < 6) return false;
    const std::uint64_t name = get_be(data.data(), 4);
    if (name > data.size() - 6) return false;
    const std::uint64_t requests = get_be(data.data() + 4 + name, 2);
    return data.size() == 6 + name + 2 * requests;
}

}  // namespace

NbdConnection::NbdConnection(int fd, ServeShared& shared)
    : io_(fd, shared.stop),
      shared_(shared),
      bytes_(shared.backend.sectors() * shared.backend.sector_bytes()),
      data_(nbd::max_request_bytes),
      sectors_(std::max<std::size_t>(run_bytes, shared.backend.sector_bytes())) {}

std::string NbdConnection::run() {
    deadline_ = Clock::now() + shared_.limits.request;
    if (handshake()) transmit();
    return why_;
}

bool NbdConnection::drop(std::string why) {
    if (!dropped_) why_ = std::move(why);
    dropped_ = true;
    return false;
}

// at_rest: the client may end here in good order.
bool NbdConnection::ok(Transport::Result result, bool at_rest) {
    switch (result) {
        case Transport::Result::ok: return true;
        case Transport::Result::ended: return drop(at_rest ? "" : "disconnected in the middle of a message");
        case Transport::Result::cut: return drop("disconnected in the middle of a message");
        case Transport::Result::timed_out:
            return drop(at_rest ? "idle for too long" : "too slow: a message took longer than the time allowed");
        case Transport::Result::stopped: return drop("");
        case Transport::Result::failed: return drop(io_.error());
    }
    return false;
}

bool NbdConnection::receive(std::span<std::uint8_t> to) { return ok(io_.read(to, deadline_)); }
bool NbdConnection::send(std::span<const std::uint8_t> from) { return ok(io_.write(from, deadline_)); }

void NbdConnection::count(unsigned long long ServeStats::*counter) {
    const std::lock_guard hold(shared_.stats_lock);
    ++(shared_.stats.*counter);
}

std::uint16_t NbdConnection::transmission_flags() const {
    return nbd::tflag_has_flags | nbd::tflag_send_flush | (shared_.writable ? 0 : nbd::tflag_read_only);
}

bool NbdConnection::reply(std::uint32_t option, std::uint32_t type, std::span<const std::uint8_t> data) {
    return send(Message().u64(nbd::reply_magic).u32(option).u32(type).u32(static_cast<std::uint32_t>(data.size()))) &&
           send(data);
}

bool NbdConnection::handshake() {
    if (!send(Message().u64(nbd::init_magic).u64(nbd::option_magic).u16(nbd::flag_fixed_newstyle | nbd::flag_no_zeroes)))
        return false;
    std::uint8_t flags[4];
    if (!receive(flags)) return false;
    const auto client_flags = static_cast<std::uint32_t>(get_be(flags, 4));
    if (client_flags & ~nbd::client_flags_known) return drop("unknown client flags");
    no_zeroes_ = client_flags & nbd::flag_no_zeroes;
    for (int i = 0; i < max_options; ++i) {
        std::uint8_t head[16];
        if (!receive(head)) return false;
        if (get_be(head, 8) != nbd::option_magic) return drop("bad option magic");
        const auto option = static_cast<std::uint32_t>(get_be(head + 8, 4));
        const auto length = static_cast<std::uint32_t>(get_be(head + 12, 4));
        if (length > nbd::max_option_bytes) return drop("option too long");
        std::vector<std::uint8_t> data(length);
        if (!receive(data)) return false;
        bool go = false;
        if (!option_answered(option, data, go)) return false;
        if (go) return true;
    }
    return drop("too many options");
}

// Answers one option; go turns true when transmission starts. Until TLS is
// up where it is required, only STARTTLS and ABORT are served.
bool NbdConnection::option_answered(std::uint32_t option, const std::vector<std::uint8_t>& data, bool& go) {
    const bool locked = shared_.tls && !io_.tls();
    if (option == nbd::opt_starttls) return begin_tls(option, data);
    if (option == nbd::opt_abort) {
        reply(option, nbd::rep_ack);
        return drop("");
    }
    if (locked && option == nbd::opt_export_name) return drop("asked for the export before starting TLS");
    if (locked) return reply(option, nbd::rep_err_tls_reqd);
    switch (option) {
        case nbd::opt_export_name:
            go = true;
            return send(Message().u64(bytes_).u16(transmission_flags()).zeros(no_zeroes_ ? 0 : 124));
        case nbd::opt_list:
            if (!data.empty()) return reply(option, nbd::rep_err_invalid);
            return reply(option, nbd::rep_server, Message().u32(0)) && reply(option, nbd::rep_ack);
        case nbd::opt_info:
        case nbd::opt_go:
            if (!info_request_valid(data)) return reply(option, nbd::rep_err_invalid);
            go = option == nbd::opt_go;
            return export_info_replies(option);
        default: return reply(option, nbd::rep_err_unsup);
    }
}

bool NbdConnection::begin_tls(std::uint32_t option, const std::vector<std::uint8_t>& data) {
    if (!shared_.tls) return reply(option, nbd::rep_err_unsup);
    if (io_.tls() || !data.empty()) return reply(option, nbd::rep_err_invalid);
    return reply(option, nbd::rep_ack) && ok(io_.start_tls(*shared_.tls, deadline_));
}

bool NbdConnection::export_info_replies(std::uint32_t option) {
    return reply(option, nbd::rep_info, Message().u16(nbd::info_export).u64(bytes_).u16(transmission_flags())) &&
           reply(option, nbd::rep_info,
                 Message().u16(nbd::info_block_size).u32(1).u32(nbd::preferred_request_bytes).u32(nbd::max_request_bytes)) &&
           reply(option, nbd::rep_ack);
}

void NbdConnection::transmit() {
    while (true) {
        std::uint8_t head[28];
        if (!ok(io_.read(std::span(head).first(1), Clock::now() + shared_.limits.idle), true)) return;
        deadline_ = Clock::now() + shared_.limits.request;
        if (!receive(std::span(head).subspan(1))) return;
        if (get_be(head, 4) != nbd::request_magic) {
            drop("bad request magic");
            return;
        }
        const auto type = static_cast<std::uint16_t>(get_be(head + 6, 2));
        const std::uint64_t cookie = get_be(head + 8, 8), offset = get_be(head + 16, 8);
        const auto length = static_cast<std::uint32_t>(get_be(head + 24, 4));
        if (type == nbd::cmd_disc) return;
        io_.set_finishing(true);
        const bool served = serve(type, cookie, offset, length);
        io_.set_finishing(false);
        if (!served || shared_.stop.raised()) return;
    }
}

bool NbdConnection::serve(std::uint16_t type, std::uint64_t cookie, std::uint64_t offset, std::uint32_t length) {
    switch (type) {
        case nbd::cmd_read: return serve_read(cookie, offset, length);
        case nbd::cmd_write: return serve_write(cookie, offset, length);
        case nbd::cmd_flush: {
            const std::lock_guard hold(shared_.backend_lock);
            return simple_reply(cookie, shared_.backend.flush() ? 0 : nbd::err_io);
        }
        default: return simple_reply(cookie, nbd::err_inval);
    }
}

bool NbdConnection::fits(std::uint64_t offset, std::uint32_t length) const {
    return length != 0 && length <= nbd::max_request_bytes && offset <= bytes_ && length <= bytes_ - offset;
}

bool NbdConnection::simple_reply(std::uint64_t cookie, std::uint32_t error, std::span<const std::uint8_t> data) {
    if (error) count(&ServeStats::errors);
    return send(Message().u32(nbd::simple_reply_magic).u32(error).u64(cookie)) && (error || send(data));
}

bool NbdConnection::serve_read(std::uint64_t cookie, std::uint64_t offset, std::uint32_t length) {
    if (!fits(offset, length)) return simple_reply(cookie, nbd::err_inval);
    count(&ServeStats::reads);
    const auto data = std::span(data_).first(length);
    return simple_reply(cookie, move(offset, data, false), data);
}

// The data is always taken in, so that the next request is found.
bool NbdConnection::serve_write(std::uint64_t cookie, std::uint64_t offset, std::uint32_t length) {
    if (length > nbd::max_request_bytes) return drop("write request too large");
    const auto data = std::span(data_).first(length);
    if (!receive(data)) return false;
    if (!shared_.writable) return simple_reply(cookie, nbd::err_perm);
    if (!fits(offset, length)) return simple_reply(cookie, nbd::err_nospc);
    count(&ServeStats::writes);
    return simple_reply(cookie, move(offset, data, true));
}

// Moves a byte range between data and the backend in runs of whole sectors;
// a write that starts or ends inside a sector keeps the sector's other bytes.
// The reply's error: 0, EIO, or ESHUTDOWN when a stop came and its grace is over.
std::uint32_t NbdConnection::move(std::uint64_t offset, std::span<std::uint8_t> data, bool writing) {
    const std::uint64_t sector = shared_.backend.sector_bytes();
    for (std::size_t done = 0; done < data.size();) {
        if (shared_.stop.raised() && Clock::now() > shared_.stop.when() + Transport::stop_grace) return nbd::err_shutdown;
        const std::uint64_t at = offset + done, first = at / sector, skip = at % sector;
        const std::uint64_t count = std::min<std::uint64_t>(sectors_.size() / sector, (skip + data.size() - done + sector - 1) / sector);
        const std::size_t bytes = static_cast<std::size_t>(std::min<std::uint64_t>(count * sector - skip, data.size() - done));
        const auto run = std::span(sectors_).first(static_cast<std::size_t>(count * sector));
        const auto part = data.subspan(done, bytes);
        const std::lock_guard hold(shared_.backend_lock);
        if (!writing) {
            if (!shared_.backend.read(first, run)) return nbd::err_io;
            std::memcpy(part.data(), run.data() + skip, bytes);
        } else {
            const bool head = skip != 0, tail = (skip + bytes) % sector != 0;
            if (head && !shared_.backend.read(first, run.first(sector))) return nbd::err_io;
            if (tail && (count > 1 || !head) && !shared_.backend.read(first + count - 1, run.last(sector))) return nbd::err_io;
            std::memcpy(run.data() + skip, part.data(), bytes);
            if (!shared_.backend.write(first, run)) return nbd::err_io;
        }
        done += bytes;
    }
    return 0;
}
