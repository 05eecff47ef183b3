#include "modes/info.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "base/escape.h"
#include "base/exit_status.h"
#include "base/text_out.h"
#include "card/card_controls.h"
#include "modes/units.h"
#include "card/card.h"
#include "base/outcome.h"

namespace {

struct Registers {
    std::uint32_t ocr = 0;
    CardRegister cid{};
    CardRegister csd{};
    // The block came with a wrong CRC16 and was taken on its own right CRC7.
    bool cid_block_crc_wrong = false;
    bool csd_block_crc_wrong = false;
};

std::string hex(std::span<const std::uint8_t> r) {
    std::string text;
    char two[3];
    for (std::uint8_t byte : r) {
        std::snprintf(two, sizeof two, "%02X", byte);
        text += two;
    }
    return text;
}

// Fails with the register that did not come.
Outcome read_registers(Card& card, Registers& r) {
    if (card.identify() != CardResult::ok) return Outcome::failed("could not tell what kind of card it is");
    if (card.read_ocr(r.ocr) != CardResult::ok) return Outcome::failed("the card did not send its OCR");
    if (card.read_cid(r.cid) != CardResult::ok) return Outcome::failed("the card did not send its CID");
    r.cid_block_crc_wrong = card.register_crc16_was_wrong();
    if (card.read_csd(r.csd) != CardResult::ok) return Outcome::failed("the card did not send its CSD");
    r.csd_block_crc_wrong = card.register_crc16_was_wrong();
    return Outcome::ok();
}

// Two ASCII letters on an SD card; a number on an MMC.
// Two letters (SD, MMC 2.x and 3.x), a byte (MMC 4.x) or none (MMC 1.x).
std::string oem_text(const CidInfo& cid) {
    if (cid.oem_letters == 2) {
        const char letters[] = {static_cast<char>(cid.oem >> 8), static_cast<char>(cid.oem & 0xFF)};
        return escaped({letters, 2});
    }
    if (cid.oem_letters == 0) return "none";
    char text[8];
    std::snprintf(text, sizeof text, "%02X", cid.oem);
    return text;
}

// Zeros that pad the name are left out.
std::string product_text(const CidInfo& cid) {
    std::string_view name(cid.name.data());
    return escaped(name);
}

const char* protection(const CsdInfo& csd) {
    if (csd.permanent_write_protect) return "permanent";
    return csd.temporary_write_protect ? "temporary" : "none";
}

void print_identity(const CidInfo& cid, CidLayout layout) {
    const std::string_view name = cid.manufacturer > 0xFF ? "unknown"
                                  : manufacturer_name(static_cast<std::uint8_t>(cid.manufacturer),
                                                      layout == CidLayout::sd ? RegisterLayout::sd : RegisterLayout::mmc);
    text_printf("manufacturer: %02X (%s), OEM: %s, product: %s, revision %u.%u\n", static_cast<unsigned>(cid.manufacturer),
                std::string(name).c_str(), oem_text(cid).c_str(), product_text(cid).c_str(), cid.revision_major,
                cid.revision_minor);
    text_printf("serial: %08X, made %04u-%02u\n", static_cast<unsigned>(cid.serial), cid.year, cid.month);
}

void print_registers(Card& card, const Registers& r) {
    const RegisterLayout layout = card.register_layout();
    const CsdInfo csd = decode_csd(r.csd, layout);
    text_printf("card: %s\n", card_type_name(card.type(csd)));
    text_printf("OCR: %08X\n", static_cast<unsigned>(r.ocr));
    text_printf("CID: %s\n", hex(r.cid).c_str());
    if (!register_crc_ok(r.cid)) text_puts("CID CRC error");
    if (r.cid_block_crc_wrong) text_puts("CID block CRC16 wrong (its own CRC7 is right: taken)");
    text_printf("CSD: %s\n", hex(r.csd).c_str());
    if (!register_crc_ok(r.csd)) text_puts("CSD CRC error");
    if (r.csd_block_crc_wrong) text_puts("CSD block CRC16 wrong (its own CRC7 is right: taken)");
    // The size the modes work with: an MMC over 2 GB gives it in its EXT_CSD.
    const std::uint64_t sectors = card.capacity_sectors();
    if (sectors > 0)
        text_printf("capacity: %llu bytes (%llu sectors, %s)\n", static_cast<unsigned long long>(sectors * sector_size),
                    static_cast<unsigned long long>(sectors), size_text(sectors * sector_size).c_str());
    else text_puts("capacity: not in the CSD");
    text_printf("addressing: %s\n", card.block_addressed() ? "by sector" : "by byte");
    const CidLayout cid_kind = cid_layout(layout, r.csd);
    print_identity(decode_cid(r.cid, cid_kind), cid_kind);
    text_printf("read block: %u bytes, top clock: %u kbit/s\n", csd.read_block_bytes, csd.max_rate_kbit);
    text_printf("write protection: %s\n", protection(csd));
}

void print_status(Card& card) {
    std::uint8_t status = 0;
    if (card_read_status(card, status) != CardResult::ok) {
        text_puts("locked: the card did not send its status");
        return;
    }
    text_printf("locked: %s\n", status & status_bits::locked ? "yes" : "no");
}

std::string supported_commands(const ScrInfo& scr) {
    std::string text;
    if (scr.cmd20) text += " CMD20";
    if (scr.cmd23) text += " CMD23";
    if (scr.cmd48_49) text += " CMD48/49";
    if (scr.cmd58_59) text += " CMD58/59";
    return text.empty() ? " none" : text;
}

void print_scr(Card& card) {
    ScrRegister scr{};
    if (card_read_scr(card, scr) != CardResult::ok) {
        text_puts("SCR: the card did not send it");
        return;
    }
    const ScrInfo info = decode_scr(scr);
    text_printf("SCR: %s\n", hex(scr).c_str());
    text_printf("SD specification: %s\n", std::string(info.spec_version).c_str());
    text_printf("erased data: %02X\n", info.erased_value);
    text_printf("security: %s\n", std::string(info.security).c_str());
    text_printf("bus widths:%s%s\n", info.bus_1bit ? " 1" : "", info.bus_4bit ? " 4" : "");
    text_printf("commands:%s\n", supported_commands(info).c_str());
}

// SIZE_OF_PROTECTED_AREA counts bytes on high-capacity cards and units of
// 2^(C_SIZE_MULT + 2) blocks of READ_BL_LEN bytes on the others.
std::uint64_t protected_bytes(std::uint32_t size, const CardRegister& csd) {
    if (register_bits(csd, 127, 126) != 0) return size;
    return std::uint64_t{size} << (register_bits(csd, 49, 47) + 2) << register_bits(csd, 83, 80);
}

void print_sd_status(Card& card, const CardRegister& csd) {
    SdStatusBlock block{};
    if (card_read_sd_status(card, block) != CardResult::ok) {
        text_puts("SD status: the card did not send it");
        return;
    }
    const SdStatusInfo info = decode_sd_status(block);
    text_printf("SD status: %s\n", hex(block).c_str());
    text_printf("speed class: %u\n", info.speed_class);
    text_printf("UHS speed grade: %u\n", info.uhs_grade);
    text_printf("video speed class: %u\n", info.video_class);
    text_printf("application performance class: %u\n", info.app_class);
    text_printf("AU size: %u KiB\n", static_cast<unsigned>(info.au_kib));
    if (info.erase_size_au && info.erase_timeout_s)
        text_printf("erase: %u AUs at a time, time-out %u s, offset %u s\n", info.erase_size_au, info.erase_timeout_s,
                    info.erase_offset_s);
    else text_puts("erase: no time-out given");
    text_printf("protected area: %llu bytes\n",
                static_cast<unsigned long long>(protected_bytes(info.protected_area, csd)));
}

void print_switch_status(Card& card) {
    SwitchStatusBlock block{};
    if (card_switch_check(card, block) != CardResult::ok) {
        text_puts("max current: the card did not say (CMD6)");
        return;
    }
    const SwitchInfo info = decode_switch_status(block);
    text_printf("max current: %u mA\n", info.max_current_ma);
    text_printf("high speed: %s\n", info.high_speed ? "yes" : "no");
}

// The SD-only registers; an MMC has none of them.
void print_sd_registers(Card& card, const CardRegister& csd) {
    if (card.register_layout() != RegisterLayout::sd) return;
    print_scr(card);
    print_sd_status(card, csd);
    print_switch_status(card);
}

}  // namespace

int show_card_info(Card& card) {
    Registers r;
    if (const Outcome read = read_registers(card, r); !read) return fail(read.why());
    print_registers(card, r);
    print_status(card);
    print_sd_registers(card, r.csd);
    return ExitStatus::ok;
}
