// What --serve is told: where, whether clients may write, the TLS
// credentials, and how long a client may take.
#pragma once

#include <chrono>
#include <string>

struct ServeLimits {
    // From connecting to the start of transmission, and from a request's
    // first byte to the end of its reply.
    std::chrono::milliseconds request{std::chrono::seconds(30)};
    // Between requests.
    std::chrono::milliseconds idle{std::chrono::minutes(10)};
};

struct ServeSettings {
    std::string where;             // a Unix socket's path, or HOST:PORT
    bool writable = false;         // clients may write
    bool insecure = false;         // plain TCP, on the loopback address only
    std::string tls_psk;           // pre-shared keys, as psktool writes them
    std::string tls_certificates;  // a directory of X.509 certificates
    ServeLimits limits;
};
