#include "modes/browser.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "base/operator.h"
#include "base/exit_status.h"
#include "card/mmc_spi.h"

namespace {

constexpr int key_space = 0x20;
constexpr std::size_t bytes_per_line = 16;

void dump_sector(Operator& console, const std::array<std::uint8_t, sector_size>& buff) {
    console.say("OK");
    for (std::size_t offset = 0; offset < buff.size(); ++offset) {
        if (offset % bytes_per_line == 0) std::printf("\n%03X=", static_cast<unsigned>(offset));
        std::printf("%02X ", buff[offset]);
    }
    console.say("\n");
}

// The next sector after a key, or no_sector to leave the browser. An entry
// of FFFFFFFF (or -1) is the mark itself.
std::uint32_t next_sector(Operator& console, int key, std::uint32_t sector) {
    if (key == key_space) {
        console.say("\nInput Sector Number(HEX)?");
        auto entered = static_cast<std::int32_t>(sector);
        if (console.number(entered) == Entry::ended) return no_sector;
        return static_cast<std::uint32_t>(entered);
    }
    if (key == key_none || key == key_escape || key == 'E' || key == 'e') return no_sector;
    return sector + 1;
}

}  // namespace

int browse_sectors(Card& card, Operator& console) {
    std::array<std::uint8_t, sector_size> buff{};
    std::uint32_t sector = no_sector;
    for (;;) {
        console.say("Read Sector?(CR=NEXT,SPC=ADDRESS,E=END)");
        sector = next_sector(console, console.key(), sector);
        if (sector == no_sector) return ExitStatus::ok;
        std::printf("\nRead Sector %06XH :", static_cast<unsigned>(sector));
        if (spi_read(card, sector, buff) != CardResult::ok) console.say("Error\n");
        else dump_sector(console, buff);
    }
}
