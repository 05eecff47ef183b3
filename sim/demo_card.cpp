#include "sim/demo_card.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

// FAT16 geometry of the partition, in sectors relative to its start.
constexpr std::uint32_t partition_sectors = demo_card_sectors - demo_partition_start;
constexpr std::uint16_t sectors_per_fat = 64;
constexpr std::uint32_t fat1 = demo_partition_start + 1;
constexpr std::uint32_t fat2 = fat1 + sectors_per_fat;
constexpr std::uint32_t root_dir = fat2 + sectors_per_fat;
constexpr std::uint32_t root_dir_sectors = 32;  // 512 entries
constexpr std::uint32_t first_data = root_dir + root_dir_sectors;
constexpr std::string_view hello_text = "Hello from the Vantacle demo card.\r\n";

void put16(SectorSpan s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<std::uint8_t>(v);
    s[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(SectorSpan s, std::size_t at, std::uint32_t v) {
    put16(s, at, static_cast<std::uint16_t>(v));
    put16(s, at + 2, static_cast<std::uint16_t>(v >> 16));
}

void put_text(SectorSpan s, std::size_t at, std::string_view text) {
    std::copy(text.begin(), text.end(), s.begin() + static_cast<std::ptrdiff_t>(at));
}

void boot_signature(SectorSpan s) {
    s[510] = 0x55;
    s[511] = 0xAA;
}

void partition_table(SectorSpan s) {
    put32(s, 0x1B8, 0x7A6C6156);  // disk signature
    const std::size_t entry = 0x1BE;
    s[entry + 1] = 0x01;  // CHS start: head 1, sector 1, cylinder 0 (LBA 32 at 2 heads x 32)
    s[entry + 2] = 0x01;
    s[entry + 4] = 0x06;  // FAT16
    s[entry + 5] = 0xFE;  // CHS end: past what CHS can address
    s[entry + 6] = 0xFF;
    s[entry + 7] = 0xFF;
    put32(s, entry + 8, demo_partition_start);
    put32(s, entry + 12, partition_sectors);
    boot_signature(s);
}

void fat_boot_sector(SectorSpan s) {
    put_text(s, 0, "\xEB\x3C\x90VANTACLE");
    put16(s, 11, sector_bytes);  // bytes per sector
    s[13] = 4;              // sectors per cluster
    put16(s, 14, 1);        // reserved sectors
    s[16] = 2;              // FATs
    put16(s, 17, 512);      // root directory entries
    put16(s, 19, static_cast<std::uint16_t>(partition_sectors));
    s[21] = 0xF8;           // media: fixed disk
    put16(s, 22, sectors_per_fat);
    put16(s, 24, 32);       // sectors per track
    put16(s, 26, 2);        // heads
    put32(s, 28, demo_partition_start);
    s[36] = 0x80;           // drive number
    s[38] = 0x29;           // extended boot signature
    put32(s, 39, 0x20261207);
    put_text(s, 43, "DEMO CARD  FAT16   ");
    boot_signature(s);
}

void fat_sector(SectorSpan s) {
    // Media entry, end-of-chain marker, then HELLO.TXT in cluster 2.
    put16(s, 0, 0xFFF8);
    put16(s, 2, 0xFFFF);
    put16(s, 4, 0xFFFF);
}

void root_directory(SectorSpan s) {
    put_text(s, 0, "DEMO CARD  ");
    s[11] = 0x08;  // volume label
    put_text(s, 32, "HELLO   TXT");
    s[32 + 11] = 0x01;  // read-only
    put16(s, 32 + 26, 2);
    put32(s, 32 + 28, static_cast<std::uint32_t>(hello_text.size()));
}

}  // namespace

void demo_card_sector(std::uint32_t sector, SectorSpan out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (sector == 0) partition_table(out);
    else if (sector == demo_partition_start) fat_boot_sector(out);
    else if (sector == fat1 || sector == fat2) fat_sector(out);
    else if (sector == root_dir) root_directory(out);
    else if (sector == first_data) put_text(out, 0, hello_text);
}
