#include "serve/listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace {

constexpr int backlog = 16;

bool is_loopback(const sockaddr* address) {
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family != AF_INET6) return false;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

}  // namespace

Listener::~Listener() {
    if (fd_ >= 0) ::close(fd_);
    if (!unix_path_.empty()) ::unlink(unix_path_.c_str());
}

bool Listener::names_tcp(const std::string& where) {
    return where.find('/') == std::string::npos && where.find(':') != std::string::npos;
}

Outcome Listener::open(const std::string& where) {
    if (!names_tcp(where)) return open_unix(where);
    const auto colon = where.rfind(':');
    std::string host = where.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return open_tcp(host == "localhost" ? "127.0.0.1" : host, where.substr(colon + 1));
}

int Listener::accept_client() const {
    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    const int on = 1;
    if (client >= 0 && tcp_) ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return client;
}

Outcome Listener::open_unix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return Outcome::failed("the socket path " + path + " is too long");
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return Outcome::failed(path + " exists: remove it or name another socket");
    std::memcpy(address.sun_path, path.c_str(), path.size());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const mode_t mask = ::umask(0177);
    const bool bound = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::umask(mask);
    if (!bound) return Outcome::failed("cannot make the socket " + path + ": " + std::strerror(errno));
    unix_path_ = path;
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd_, backlog) != 0)
        return Outcome::failed("cannot listen on " + path + ": " + std::strerror(errno));
    return Outcome::ok();
}

Outcome Listener::open_tcp(const std::string& host, const std::string& port_text) {
    unsigned port = 0;
    const char* end = port_text.data() + port_text.size();
    auto [ptr, ec] = std::from_chars(port_text.data(), end, port);
    if (port_text.empty() || ec != std::errc() || ptr != end || port == 0 || port > 65535)
        return Outcome::failed("bad port '" + port_text + "' (HOST:PORT, PORT from 1 to 65535)");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), port_text.c_str(), &hints, &found) != 0 || !found)
        return Outcome::failed("cannot find the address '" + host + "' to listen on");
    tcp_ = true;
    loopback_ = is_loopback(found->ai_addr);
    fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    const bool listening = fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                           ::bind(fd_, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd_, backlog) == 0;
    const int error = errno;
    ::freeaddrinfo(found);
    if (!listening) return Outcome::failed("cannot listen on " + host + ":" + port_text + ": " + std::strerror(error));
    return Outcome::ok();
}
