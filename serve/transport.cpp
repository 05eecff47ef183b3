#include "serve/transport.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serve/tls.h"

namespace {

// GnuTLS's writes, without the SIGPIPE a vanished client would raise.
ssize_t push(gnutls_transport_ptr_t fd, const void* data, std::size_t size) {
    return ::send(static_cast<int>(reinterpret_cast<std::intptr_t>(fd)), data, size, MSG_NOSIGNAL);
}

bool retry_later(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

Transport::Transport(int fd, const StopSignal& stop) : fd_(fd), stop_(stop) {}

Transport::~Transport() {
    if (session_) {
        gnutls_bye(session_, GNUTLS_SHUT_WR);
        gnutls_deinit(session_);
    }
    ::close(fd_);
}

Transport::Result Transport::failed(std::string why) {
    error_ = std::move(why);
    return Result::failed;
}

Transport::Result Transport::wait(bool for_writing, Clock::time_point deadline) {
    if (stop_.raised()) {
        if (!finishing_) return Result::stopped;
        deadline = std::min(deadline, stop_.when() + stop_grace);
    }
    pollfd fds[2] = {{fd_, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0}, {stop_.fd(), POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Result::timed_out;
    const int ready = ::poll(fds, stop_.raised() ? 1 : 2, static_cast<int>(std::min<long long>(left, 60'000) + 1));
    if (ready < 0 && errno != EINTR) return failed(std::string("cannot wait for the client: ") + std::strerror(errno));
    return Result::ok;
}

Transport::Result Transport::tls_error(int code, Clock::time_point deadline) {
    if (code == GNUTLS_E_AGAIN || code == GNUTLS_E_INTERRUPTED) return wait(gnutls_record_get_direction(session_) == 1, deadline);
    if (!gnutls_error_is_fatal(code)) return Clock::now() < deadline ? Result::ok : Result::timed_out;
    return failed(std::string("TLS: ") + gnutls_strerror(code));
}

Transport::Result Transport::read(std::span<std::uint8_t> to, Clock::time_point deadline) {
    for (std::size_t got = 0; got < to.size();) {
        const ssize_t r = session_ ? gnutls_record_recv(session_, to.data() + got, to.size() - got)
                                   : ::recv(fd_, to.data() + got, to.size() - got, 0);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            continue;
        }
        if (r == 0 || (session_ && r == GNUTLS_E_PREMATURE_TERMINATION)) return got == 0 ? Result::ended : Result::cut;
        Result next = Result::ok;
        if (session_) next = tls_error(static_cast<int>(r), deadline);
        else if (retry_later(errno)) next = wait(false, deadline);
        else next = failed(std::string("cannot read from the client: ") + std::strerror(errno));
        if (next != Result::ok) return next;
    }
    return Result::ok;
}

Transport::Result Transport::write(std::span<const std::uint8_t> from, Clock::time_point deadline) {
    for (std::size_t sent = 0; sent < from.size();) {
        const ssize_t r = session_ ? gnutls_record_send(session_, from.data() + sent, from.size() - sent)
                                   : ::send(fd_, from.data() + sent, from.size() - sent, MSG_NOSIGNAL);
        if (r > 0) {
            sent += static_cast<std::size_t>(r);
            continue;
        }
        Result next = Result::ok;
        if (session_) next = tls_error(static_cast<int>(r), deadline);
        else if (r < 0 && retry_later(errno)) next = wait(true, deadline);
        else next = failed(std::string("cannot write to the client: ") + std::strerror(errno));
        if (next != Result::ok) return next;
    }
    return Result::ok;
}

Transport::Result Transport::start_tls(const TlsCredentials& credentials, Clock::time_point deadline) {
    if (gnutls_init(&session_, GNUTLS_SERVER) != GNUTLS_E_SUCCESS) {
        session_ = nullptr;
        return failed("TLS: cannot make a session");
    }
    if (const std::string why = credentials.prepare(session_); !why.empty()) return failed("TLS: " + why);
    gnutls_transport_set_int(session_, fd_);
    gnutls_transport_set_push_function(session_, push);
    gnutls_handshake_set_timeout(session_, 0);
    while (true) {
        const int r = gnutls_handshake(session_);
        if (r == GNUTLS_E_SUCCESS) return Result::ok;
        const Result next = tls_error(r, deadline);
        if (next == Result::failed) error_ = "TLS handshake failed (a wrong key or certificate?): " + error_.substr(5);
        if (next != Result::ok) return next;
    }
}
