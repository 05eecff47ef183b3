// One NBD client from the handshake to its end, on its own thread: the fixed
// newstyle handshake (STARTTLS first when TLS is required), then requests
// one at a time, each sector run done under the backend's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "serve/block_backend.h"
#include "serve/serve_settings.h"
#include "serve/stop_signal.h"
#include "serve/transport.h"

class TlsCredentials;

struct ServeStats {
    unsigned clients = 0;
    unsigned long long reads = 0, writes = 0, errors = 0;
};

// What every connection shares.
struct ServeShared {
    BlockBackend& backend;
    const TlsCredentials* tls;  // TLS required with these; none: plain
    bool writable;
    ServeLimits limits;
    const StopSignal& stop;
    std::mutex backend_lock;
    std::mutex stats_lock;
    ServeStats stats;
};

class NbdConnection {
public:
    NbdConnection(int fd, ServeShared& shared);
    // Why the client was dropped; empty when it left in good order or the server stopped.
    std::string run();

private:
    bool handshake();
    bool option_answered(std::uint32_t option, const std::vector<std::uint8_t>& data, bool& go);
    bool begin_tls(std::uint32_t option, const std::vector<std::uint8_t>& data);
    bool reply(std::uint32_t option, std::uint32_t type, std::span<const std::uint8_t> data = {});
    bool export_info_replies(std::uint32_t option);
    void transmit();
    bool serve(std::uint16_t type, std::uint64_t cookie, std::uint64_t offset, std::uint32_t length);
    bool serve_read(std::uint64_t cookie, std::uint64_t offset, std::uint32_t length);
    bool serve_write(std::uint64_t cookie, std::uint64_t offset, std::uint32_t length);
    bool simple_reply(std::uint64_t cookie, std::uint32_t error, std::span<const std::uint8_t> data = {});
    std::uint32_t move(std::uint64_t offset, std::span<std::uint8_t> data, bool writing);
    bool fits(std::uint64_t offset, std::uint32_t length) const;
    std::uint16_t transmission_flags() const;
    bool receive(std::span<std::uint8_t> to);
    bool send(std::span<const std::uint8_t> from);
    bool ok(Transport::Result result, bool at_rest = false);
    bool drop(std::string why);
    void count(unsigned long long ServeStats::*counter);

    Transport io_;
    ServeShared& shared_;
    std::uint64_t bytes_;
    Clock::time_point deadline_;
    std::vector<std::uint8_t> data_;     // one request's data
    std::vector<std::uint8_t> sectors_;  // one run of sectors
    bool no_zeroes_ = false;
    bool dropped_ = false;
    std::string why_;
};
