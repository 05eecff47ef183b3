// The server's TLS credentials: pre-shared keys from a file as psktool
// writes it (NAME:HEXKEY lines), or X.509 certificates from a directory
// (ca-cert.pem, server-cert.pem, server-key.pem, ca-crl.pem if there),
// where every client must show a certificate that CA signed.
#pragma once

#include <gnutls/gnutls.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/outcome.h"

class TlsCredentials {
public:
    TlsCredentials() = default;
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    Outcome load_psk(const std::string& file);
    Outcome load_x509(const std::string& directory);
    // Readies a server session for the handshake; empty, or what failed.
    std::string prepare(gnutls_session_t session) const;

private:
    struct Key {
        std::string name;
        std::vector<std::uint8_t> bytes;
    };
    static int find_key(gnutls_session_t session, const char* name, gnutls_datum_t* key);
    Outcome add_key_line(const std::string& line);
    std::vector<Key> keys_;
    gnutls_psk_server_credentials_t psk_ = nullptr;
    gnutls_certificate_credentials_t x509_ = nullptr;
};
