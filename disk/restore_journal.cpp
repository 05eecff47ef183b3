#include "disk/restore_journal.h"

#include <cstdio>
#include <string_view>

#include "base/escape.h"
#include "base/safe_file.h"

namespace {

// The file starts with this, then the CID, then the count of entries.
constexpr std::string_view magic = "vantacle journal";
constexpr std::size_t cid_at = magic.size(), count_at = cid_at + 16, entries_at = count_at + 4;
constexpr std::size_t entry_bytes = 4 + sector_size;

void put_le32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i));
}

std::uint32_t get_le32(std::string_view in, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
    return value;
}

}  // namespace

std::string journal_name(std::uint32_t run_tag) {
    char name[32];
    std::snprintf(name, sizeof name, "vantacle-%08X.journal", static_cast<unsigned>(run_tag));
    return name;
}

Outcome write_journal(const std::string& path, const CardRegister& cid, std::span<const LostOriginal> sectors) {
    std::string bytes(magic);
    bytes.append(reinterpret_cast<const char*>(cid.data()), cid.size());
    std::uint32_t count = 0;
    for (const LostOriginal& s : sectors) count += s.known ? 1 : 0;
    put_le32(bytes, count);
    for (const LostOriginal& s : sectors) {
        if (!s.known) continue;
        put_le32(bytes, s.sector);
        bytes.append(reinterpret_cast<const char*>(s.data.data()), s.data.size());
    }
    return write_whole_file(path, bytes, "the journal", {.replace = false, .private_file = true});
}

Outcome read_journal(const std::string& path, CardRegister& cid, std::vector<LostOriginal>& sectors) {
    std::string bytes;
    bool exists = false;
    if (Outcome read = read_whole_file(path, "the journal", false, bytes, exists); !read) return read;
    if (!exists) return Outcome::failed("the journal " + escaped(path) + " does not exist");
    const bool headed = bytes.size() >= entries_at && std::string_view(bytes).substr(0, magic.size()) == magic;
    if (!headed || (bytes.size() - entries_at) != std::size_t{get_le32(bytes, count_at)} * entry_bytes)
        return Outcome::failed(escaped(path) + " is not a journal of this program, or not whole");
    std::copy(bytes.begin() + cid_at, bytes.begin() + count_at, cid.begin());
    sectors.clear();
    for (std::size_t at = entries_at; at < bytes.size(); at += entry_bytes) {
        LostOriginal entry{get_le32(bytes, at), {}, true};
        std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at + entry_bytes), entry.data.begin());
        sectors.push_back(entry);
    }
    return Outcome::ok();
}
