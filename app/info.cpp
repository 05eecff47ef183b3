#include "app/info.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "app/card_text.h"
#include "app/units.h"
#include "card/mmc_spi.h"
#include "base/outcome.h"

namespace {

struct Registers {
    std::uint32_t ocr = 0;
    CardRegister cid{};
    CardRegister csd{};
};

std::string hex(const CardRegister& r) {
    std::string text;
    char two[3];
    for (std::uint8_t byte : r) {
        std::snprintf(two, sizeof two, "%02X", byte);
        text += two;
    }
    return text;
}

// Fails with the register that did not come.
Outcome read_registers(Registers& r) {
    if (card_identify() != CardResult::ok) return Outcome::failed("could not tell what kind of card it is");
    if (card_read_ocr(r.ocr) != CardResult::ok) return Outcome::failed("the card did not send its OCR");
    if (card_read_cid(r.cid) != CardResult::ok) return Outcome::failed("the card did not send its CID");
    if (card_read_csd(r.csd) != CardResult::ok) return Outcome::failed("the card did not send its CSD");
    return Outcome::ok();
}

// Two ASCII letters on an SD card; a number on an MMC.
std::string oem_text(const CidInfo& cid, RegisterLayout layout) {
    if (layout == RegisterLayout::sd) {
        const char letters[] = {static_cast<char>(cid.oem >> 8), static_cast<char>(cid.oem & 0xFF)};
        return card_text({letters, 2});
    }
    char text[8];
    std::snprintf(text, sizeof text, "%02X", cid.oem);
    return text;
}

// Five characters on SD, six on MMC; zeros that pad it are left out.
std::string product_text(const CidInfo& cid, RegisterLayout layout) {
    std::string_view name(cid.name.data(), layout == RegisterLayout::sd ? 5 : 6);
    while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
    return card_text(name);
}

const char* protection(const CsdInfo& csd) {
    if (csd.permanent_write_protect) return "permanent";
    return csd.temporary_write_protect ? "temporary" : "none";
}

void print_identity(const CidInfo& cid, RegisterLayout layout) {
    std::printf("manufacturer: %02X, OEM: %s, product: %s, revision %u.%u\n", cid.manufacturer,
                oem_text(cid, layout).c_str(), product_text(cid, layout).c_str(), cid.revision_major, cid.revision_minor);
    std::printf("serial: %08X, made %04u-%02u\n", static_cast<unsigned>(cid.serial), cid.year, cid.month);
}

void print_registers(const Registers& r) {
    const RegisterLayout layout = card_register_layout();
    const CsdInfo csd = decode_csd(r.csd, layout);
    std::printf("card: %s\n", card_type_name(card_type(csd)));
    std::printf("OCR: %08X\n", static_cast<unsigned>(r.ocr));
    std::printf("CID: %s\n", hex(r.cid).c_str());
    if (!register_crc_ok(r.cid)) std::puts("CID CRC error");
    std::printf("CSD: %s\n", hex(r.csd).c_str());
    if (!register_crc_ok(r.csd)) std::puts("CSD CRC error");
    if (csd.capacity_known)
        std::printf("capacity: %llu bytes (%llu sectors, %s)\n", static_cast<unsigned long long>(csd.capacity_bytes),
                    static_cast<unsigned long long>(csd.capacity_bytes / sector_size), size_text(csd.capacity_bytes).c_str());
    else std::puts("capacity: not in the CSD");
    std::printf("addressing: %s\n", card_block_addressed() ? "by sector" : "by byte");
    print_identity(decode_cid(r.cid, layout), layout);
    std::printf("read block: %u bytes, top clock: %u kbit/s, write protection: %s\n", csd.read_block_bytes,
                csd.max_rate_kbit, protection(csd));
}

}  // namespace

int show_card_info() {
    Registers r;
    if (const Outcome read = read_registers(r); !read) {
        std::fflush(stdout);
        std::fprintf(stderr, "vantacle: %s\n", read.why().c_str());
        return 1;
    }
    print_registers(r);
    return 0;
}
