// Where the server listens: a Unix socket made with mode 0600 (any name
// with a / in it, or without a colon), or HOST:PORT over TCP, HOST an IPv4
// address, [an IPv6 address], localhost (127.0.0.1) or a host name.
#pragma once

#include <string>

#include "base/outcome.h"

class Listener {
public:
    Listener() = default;
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    Outcome open(const std::string& where);
    bool tcp() const { return tcp_; }
    // The TCP address is on the loopback interface only.
    bool loopback() const { return loopback_; }
    int fd() const { return fd_; }
    // A client that is waiting (non-blocking), or -1.
    int accept_client() const;

    // True when where names a TCP address rather than a socket file.
    static bool names_tcp(const std::string& where);

private:
    Outcome open_unix(const std::string& path);
    Outcome open_tcp(const std::string& host, const std::string& port_text);
    int fd_ = -1;
    bool tcp_ = false;
    bool loopback_ = false;
    std::string unix_path_;
};
