#include "base/privilege.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "base/system_calls.h"

namespace {

constexpr uid_t root = 0;

template <class Id>
bool parse_id(const char* text, Id& id) {
    if (!text) return false;
    const std::string_view digits(text);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    return !digits.empty() && ec == std::errc() && end == digits.data() + digits.size();
}

// Who ran the program: sudo names its user only when the real user is root,
// so a set-user-ID run cannot be steered by its environment.
Outcome invoking_user(uid_t& uid, gid_t& gid) {
    if (system_calls.getuid() != root) {
        uid = system_calls.getuid();
        gid = system_calls.getgid();
        return Outcome::ok();
    }
    const char* sudo_uid = system_calls.getenv("SUDO_UID");
    uid = root;
    if (!sudo_uid) return Outcome::ok();
    if (parse_id(sudo_uid, uid) && parse_id(system_calls.getenv("SUDO_GID"), gid)) return Outcome::ok();
    return Outcome::failed(
        "cannot tell which user ran sudo (SUDO_UID and SUDO_GID are not plain numbers); not running on as root");
}

}  // namespace

Outcome drop_root() {
    if (system_calls.geteuid() != root) return Outcome::ok();
    uid_t uid;
    gid_t gid = 0;
    if (Outcome known = invoking_user(uid, gid); !known) return known;
    if (uid == root) return Outcome::ok();
    if (system_calls.setgroups(1, &gid) == 0 && system_calls.setresgid(gid, gid, gid) == 0 &&
        system_calls.setresuid(uid, uid, uid) == 0)
        return Outcome::ok();
    return Outcome::failed("cannot give up root for user " + std::to_string(uid) + ": " + std::strerror(errno));
}
