#include "port/privilege.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "port/system_calls.h"

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
bool invoking_user(uid_t& uid, gid_t& gid, std::string& why) {
    if (system_calls.getuid() != root) {
        uid = system_calls.getuid();
        gid = system_calls.getgid();
        return true;
    }
    const char* sudo_uid = system_calls.getenv("SUDO_UID");
    uid = root;
    if (!sudo_uid) return true;
    if (parse_id(sudo_uid, uid) && parse_id(system_calls.getenv("SUDO_GID"), gid)) return true;
    why = "cannot tell which user ran sudo (SUDO_UID and SUDO_GID are not plain numbers); not running on as root";
    return false;
}

}  // namespace

bool drop_root(std::string& why) {
    if (system_calls.geteuid() != root) return true;
    uid_t uid;
    gid_t gid;
    if (!invoking_user(uid, gid, why)) return false;
    if (uid == root) return true;
    if (system_calls.setgroups(1, &gid) == 0 && system_calls.setresgid(gid, gid, gid) == 0 &&
        system_calls.setresuid(uid, uid, uid) == 0)
        return true;
    why = "cannot give up root for user " + std::to_string(uid) + ": " + std::strerror(errno);
    return false;
}
