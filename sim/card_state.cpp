#include "sim/card_state.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "base/escape.h"
#include "base/safe_file.h"

namespace {

// IMAGE.state: three lines, the first naming the file.
constexpr std::string_view state_heading = "vantacle card state 1";
constexpr std::string_view password_key = "password ";
constexpr std::string_view protect_key = "write-protect ";
constexpr std::size_t password_max = 16;

bool parse_password(std::string_view hex, std::string& password) {
    if (hex == "none") return true;
    if (hex.empty() || hex.size() > 2 * password_max || hex.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        std::uint8_t byte = 0;
        auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
        if (ec != std::errc() || end != hex.data() + i + 2) return false;
        password += static_cast<char>(byte);
    }
    return true;
}

bool parse_state(std::istream& in, std::string& password, bool& temporary_protect) {
    std::string heading, password_line, protect_line, extra;
    if (!std::getline(in, heading) || heading != state_heading) return false;
    if (!std::getline(in, password_line) || !std::getline(in, protect_line) || std::getline(in, extra)) return false;
    if (password_line.rfind(password_key, 0) != 0 || protect_line.rfind(protect_key, 0) != 0) return false;
    if (!parse_password(std::string_view(password_line).substr(password_key.size()), password)) return false;
    const std::string_view protect = std::string_view(protect_line).substr(protect_key.size());
    if (protect != "temporary" && protect != "none") return false;
    temporary_protect = protect == "temporary";
    return true;
}

std::string hex_text(std::string_view bytes) {
    std::string text;
    std::array<char, 3> two{};
    for (char c : bytes) {
        std::snprintf(two.data(), two.size(), "%02X", static_cast<unsigned char>(c));
        text += two.data();
    }
    return text;
}

}  // namespace

Outcome CardState::open(const SimSettings& settings) {
    *this = CardState{};
    if (settings.image.empty()) return Outcome::ok();
    path_ = settings.image + ".state";
    std::string text;
    bool exists = false;
    if (Outcome read = read_whole_file(path_, "the card state", false, text, exists); !read || !exists) return read;
    std::istringstream in(text);
    if (!parse_state(in, password, temporary_protect))
        return Outcome::failed("the card state " + path_ +
                               " makes no sense (remove it to forget the card's password and protection)");
    loaded_ = true;
    return Outcome::ok();
}

// Through a temporary file, so that IMAGE.state is always whole or old; it
// holds the password, so only its owner may read it.
bool CardState::save() const {
    if (path_.empty()) return true;
    const std::string text = std::string(state_heading) + "\n" + std::string(password_key) +
                             (password.empty() ? std::string("none") : hex_text(password)) + "\n" +
                             std::string(protect_key) + (temporary_protect ? "temporary" : "none") + "\n";
    const Outcome written = write_whole_file(path_, text, "the card state", {.private_file = true});
    if (!written) std::fprintf(stderr, "vantacle: %s\n", escaped(written.why()).c_str());
    return static_cast<bool>(written);
}
