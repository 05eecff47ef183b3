// One client's byte stream, plain or TLS: whole buffers in and out, each
// bounded by a deadline. A stop cuts every wait short, except that the
// request in hand may go on for a short grace after it.
#pragma once

#include <gnutls/gnutls.h>

#include <cstdint>
#include <span>
#include <string>

#include "serve/stop_signal.h"

class TlsCredentials;

class Transport {
public:
    enum class Result { ok, ended, cut, timed_out, stopped, failed };
    // Takes the socket, which is non-blocking.
    Transport(int fd, const StopSignal& stop);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // ended: the client closed before the first byte; cut: after it.
    Result read(std::span<std::uint8_t> to, Clock::time_point deadline);
    Result write(std::span<const std::uint8_t> from, Clock::time_point deadline);
    // The TLS handshake as the server; the stream is TLS from then on.
    Result start_tls(const TlsCredentials& credentials, Clock::time_point deadline);
    bool tls() const { return session_ != nullptr; }
    // While finishing, a stop leaves the grace after it instead of cutting short.
    void set_finishing(bool finishing) { finishing_ = finishing; }
    // What failed, for the log.
    const std::string& error() const { return error_; }

    static constexpr auto stop_grace = std::chrono::milliseconds(500);

private:
    Result wait(bool for_writing, Clock::time_point deadline);
    Result tls_error(int code, Clock::time_point deadline);
    Result failed(std::string why);
    int fd_;
    const StopSignal& stop_;
    gnutls_session_t session_ = nullptr;
    bool finishing_ = false;
    std::string error_;
};
