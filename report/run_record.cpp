#include "report/run_record.h"

#include <cmath>
#include <cstdio>

#include "card/card.h"
#include "card/registers.h"

namespace {

// The length of the well-formed UTF-8 sequence at the start of bytes, or 0
// (overlong forms, surrogates and code points past U+10FFFF are not).
std::size_t utf8_length(std::string_view bytes) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0 || bytes.size() < length) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return length;
}

void add_escape(std::string& text, unsigned char byte) {
    switch (byte) {
        case '"': text += "\\\""; return;
        case '\\': text += "\\\\"; return;
        case '\n': text += "\\n"; return;
        case '\r': text += "\\r"; return;
        case '\t': text += "\\t"; return;
        default: break;
    }
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04X", byte);
    text += code;
}

class Fields {
public:
    void string(const char* name, std::string_view value) { raw(name, json_string(value)); }
    void number(const char* name, std::uint64_t value) { raw(name, std::to_string(value)); }
    void integer(const char* name, int value) { raw(name, std::to_string(value)); }
    void real(const char* name, double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", std::isfinite(value) ? value : 0.0);
        raw(name, text);
    }
    void boolean(const char* name, bool value) { raw(name, value ? "true" : "false"); }
    void raw(const char* name, const std::string& value) {
        text_ += text_.size() > 1 ? ",\"" : "\"";
        text_ += name;
        text_ += "\":";
        text_ += value;
    }
    std::string done() { return text_ + "}\n"; }

private:
    std::string text_ = "{";
};

std::string card_object(const RunRecord& r) {
    Fields card;
    card.string("family", r.family);
    card.string("cid", r.cid);
    card.number("manufacturer", r.manufacturer);
    card.string("oem", r.oem);
    card.string("product", r.product);
    card.string("revision", r.revision);
    char serial[12];
    std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(r.serial));
    card.string("serial", serial);
    card.string("made", r.made);
    std::string text = card.done();
    text.pop_back();
    return text;
}

}  // namespace

std::string json_string(std::string_view bytes) {
    std::string text = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x80) {
            if (const std::size_t length = utf8_length(bytes.substr(i)); length != 0) {
                text.append(bytes.substr(i, length));
                i += length;
                continue;
            }
            // A stray byte stands for the Latin-1 character of its value.
            text += static_cast<char>(0xC0 | byte >> 6);
            text += static_cast<char>(0x80 | (byte & 0x3F));
        } else if (byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\\') {
            add_escape(text, byte);
        } else {
            text += static_cast<char>(byte);
        }
        ++i;
    }
    return text + "\"";
}

std::string json_line(const RunRecord& r) {
    Fields f;
    f.string("socket", r.socket);
    f.string("mode", r.mode);
    if (r.card_found) f.raw("card", card_object(r));
    else f.raw("card", "null");
    f.number("claimed_sectors", r.claimed_sectors);
    if (r.usable_sectors) f.number("usable_sectors", *r.usable_sectors);
    else f.raw("usable_sectors", "null");
    f.string("verdict", r.verdict);
    f.number("sectors", r.sectors);
    f.number("bad", r.bad);
    f.number("reread", r.reread);
    f.number("differ", r.differ);
    f.boolean("interrupted", r.interrupted);
    f.real("read_bytes_per_second", r.read_rate);
    f.real("write_bytes_per_second", r.write_rate);
    f.real("elapsed_seconds", r.elapsed_seconds);
    f.integer("exit_status", r.exit_status);
    std::string files = "[";
    for (const std::string& file : r.files) {
        if (files.size() > 1) files += ',';
        files += json_string(file);
    }
    f.raw("files", files + "]");
    return f.done();
}

void TransferTally::time(std::uint64_t first, std::uint64_t count, Transfer transfer, std::uint64_t ns) {
    const auto kind = static_cast<std::size_t>(transfer);
    sectors_[kind] += count;
    ns_[kind] += ns;
    if (next_) next_->time(first, count, transfer, ns);
}

double TransferTally::rate(Transfer transfer) const {
    const auto kind = static_cast<std::size_t>(transfer);
    if (ns_[kind] == 0) return 0;
    return static_cast<double>(sectors_[kind] * sector_size) * 1e9 / static_cast<double>(ns_[kind]);
}

void describe_card(Card& card, RunRecord& record) {
    record.card_found = true;
    record.claimed_sectors = card.capacity_sectors();
    const RegisterLayout layout = card.register_layout();
    CardRegister csd{}, cid{};
    if (card.read_csd(csd) != CardResult::ok) {
        record.family = card_type_name(CardType::unknown);
        return;
    }
    record.family = card_type_name(card.type(decode_csd(csd, layout)));
    if (card.read_cid(cid) != CardResult::ok) return;
    char two[3];
    for (const std::uint8_t byte : cid) {
        std::snprintf(two, sizeof two, "%02X", byte);
        record.cid += two;
    }
    const CidLayout kind = cid_layout(layout, csd);
    const CidInfo info = decode_cid(cid, kind);
    record.manufacturer = info.manufacturer;
    if (info.oem_letters == 2) record.oem = {static_cast<char>(info.oem >> 8), static_cast<char>(info.oem & 0xFF)};
    else if (info.oem_letters == 1) record.oem = std::to_string(info.oem);
    record.product = info.name.data();
    record.revision = std::to_string(info.revision_major) + "." + std::to_string(info.revision_minor);
    record.serial = info.serial;
    char made[16];
    std::snprintf(made, sizeof made, "%04u-%02u", info.year % 10000, info.month % 100);
    record.made = made;
}
