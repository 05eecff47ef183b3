#include "serve/tls.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/safe_file.h"

namespace {

// Key exchanges that keep forward secrecy come first.
constexpr const char* psk_priorities = "NORMAL:+ECDHE-PSK:+DHE-PSK:+PSK";

// A credential file's text: a regular file (never a FIFO that would hang the
// read), which no other user may read when it holds a secret.
Outcome read_credential(const std::string& path, const std::string& what, bool secret, std::string& text) {
    bool exists = false;
    if (Outcome read = read_whole_file(path, what, false, text, exists); !read) return read;
    if (!exists) return Outcome::failed("cannot read " + what + " " + path + ": " + std::strerror(ENOENT));
    struct stat st {};
    if (secret && (::stat(path.c_str(), &st) != 0 || (st.st_mode & 077))) {
        std::fill(text.begin(), text.end(), '\0');
        return Outcome::failed(what + " " + path + " can be read by other users: chmod 600 it");
    }
    return Outcome::ok();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

gnutls_datum_t datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned>(text.size())};
}

}  // namespace

TlsCredentials::~TlsCredentials() {
    if (psk_) gnutls_psk_free_server_credentials(psk_);
    if (x509_) gnutls_certificate_free_credentials(x509_);
    for (Key& k : keys_) std::memset(k.bytes.data(), 0, k.bytes.size());
}

Outcome TlsCredentials::add_key_line(const std::string& line) {
    const auto colon = line.find(':');
    const std::string hex = colon == std::string::npos ? "" : line.substr(colon + 1);
    Key key{line.substr(0, colon), {}};
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]), low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) break;
        key.bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    if (key.name.empty() || hex.empty() || key.bytes.size() * 2 != hex.size())
        return Outcome::failed("a key line is not NAME:HEXKEY as psktool writes it");
    keys_.push_back(std::move(key));
    return Outcome::ok();
}

Outcome TlsCredentials::load_psk(const std::string& file) {
    std::string text;
    if (Outcome read = read_credential(file, "the key file", true, text); !read) return read;
    for (std::size_t at = 0; at < text.size();) {
        const auto end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = end + 1;
        if (line.empty()) continue;
        if (Outcome added = add_key_line(line); !added) return Outcome::failed("the key file " + file + ": " + added.why());
    }
    std::memset(text.data(), 0, text.size());
    if (keys_.empty()) return Outcome::failed("the key file " + file + " holds no key: make one with psktool -u NAME -p FILE");
    if (gnutls_psk_allocate_server_credentials(&psk_) != GNUTLS_E_SUCCESS) return Outcome::failed("TLS: out of memory");
    gnutls_psk_set_server_credentials_function(psk_, find_key);
    gnutls_psk_set_server_known_dh_params(psk_, GNUTLS_SEC_PARAM_MEDIUM);
    return Outcome::ok();
}

int TlsCredentials::find_key(gnutls_session_t session, const char* name, gnutls_datum_t* key) {
    const auto* self = static_cast<const TlsCredentials*>(gnutls_session_get_ptr(session));
    for (const Key& k : self->keys_) {
        if (k.name != name) continue;
        key->data = static_cast<unsigned char*>(gnutls_malloc(k.bytes.size()));
        if (!key->data) return -1;
        std::memcpy(key->data, k.bytes.data(), k.bytes.size());
        key->size = static_cast<unsigned>(k.bytes.size());
        return 0;
    }
    return -1;
}

Outcome TlsCredentials::load_x509(const std::string& directory) {
    std::string ca, cert, key, crl;
    const std::string at = directory + "/";
    struct Part {
        const char* name;
        std::string* text;
        bool secret;
    };
    for (const Part& part : {Part{"ca-cert.pem", &ca, false}, Part{"server-cert.pem", &cert, false},
                             Part{"server-key.pem", &key, true}})
        if (Outcome read = read_credential(at + part.name, "the certificate file", part.secret, *part.text); !read)
            return read;
    if (gnutls_certificate_allocate_credentials(&x509_) != GNUTLS_E_SUCCESS) return Outcome::failed("TLS: out of memory");
    const gnutls_datum_t ca_data = datum(ca), cert_data = datum(cert), key_data = datum(key);
    const bool loaded = gnutls_certificate_set_x509_trust_mem(x509_, &ca_data, GNUTLS_X509_FMT_PEM) > 0 &&
                        gnutls_certificate_set_x509_key_mem(x509_, &cert_data, &key_data, GNUTLS_X509_FMT_PEM) == 0;
    std::memset(key.data(), 0, key.size());
    if (!loaded) return Outcome::failed("the certificates in " + directory + " cannot be used: see certtool");
    struct stat st {};
    if (::stat((at + "ca-crl.pem").c_str(), &st) != 0) return Outcome::ok();
    if (Outcome read = read_credential(at + "ca-crl.pem", "the revocation list", false, crl); !read) return read;
    const gnutls_datum_t crl_data = datum(crl);
    if (gnutls_certificate_set_x509_crl_mem(x509_, &crl_data, GNUTLS_X509_FMT_PEM) < 0)
        return Outcome::failed(at + "ca-crl.pem cannot be used: see certtool");
    return Outcome::ok();
}

std::string TlsCredentials::prepare(gnutls_session_t session) const {
    gnutls_session_set_ptr(session, const_cast<TlsCredentials*>(this));
    if (psk_) {
        if (gnutls_priority_set_direct(session, psk_priorities, nullptr) != GNUTLS_E_SUCCESS ||
            gnutls_credentials_set(session, GNUTLS_CRD_PSK, psk_) != GNUTLS_E_SUCCESS)
            return "cannot set up the pre-shared keys";
        return "";
    }
    if (gnutls_set_default_priority(session) != GNUTLS_E_SUCCESS ||
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, x509_) != GNUTLS_E_SUCCESS)
        return "cannot set up the certificates";
    gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUIRE);
    gnutls_session_set_verify_cert(session, nullptr, 0);
    return "";
}
