// Sessions with each kind of simulated card: --info, the browser and the
// surface test past the byte-addressed range, and block transfers on the card.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "card/card.h"
#include "card/mmc_spi.h"
#include "sim/storage.h"
#include "tests/expected_text.h"
#include "tests/program_runner.h"
#include "tests/recording_port.h"
#include "tests/test_image.h"

namespace {

using namespace expected;

// A sparse image file of the given size.
struct SparseCard : TestImage {
    explicit SparseCard(std::uint64_t bytes) : TestImage(0) { std::filesystem::resize_file(path(), bytes); }
    void put(std::uint64_t sector, const std::uint8_t* bytes) const {
        std::fstream f(path(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(sector * 512));
        f.write(reinterpret_cast<const char*>(bytes), 512);
    }
};

constexpr std::uint64_t gib = 1ull << 30;

std::string line_after(const std::string& text, const std::string& start) {
    const auto at = text.find("\n" + start);
    if (at == std::string::npos) return "";
    return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

}  // namespace

// The demo card and sparse images: sizes each kind's CSD gives exactly or
// rounds down (SDHC to 512 KiB; SDXC sectors stop at FFFFFFFF), each
// register with a good CRC7.
TEST(CardSession, InfoOnEachKind) {
    const struct {
        const char* kind;
        std::uint64_t image_bytes;  // 0: the demo card
        const char* type;
        const char* capacity;
    } cases[] = {
        {"mmc", 0, "MMC", "33554432 bytes (65536 sectors, 33.6 MB)"},
        {"mmc", 8 * 512, "MMC", "4096 bytes (8 sectors, 4.10 kB)"},
        {"sd1", 0, "SDSC v1", "33554432 bytes (65536 sectors, 33.6 MB)"},
        {"sd1", 2 * gib, "SDSC v1", "2147483648 bytes (4194304 sectors, 2.15 GB)"},  // 1024-byte read blocks
        {"sd2", 0, "SDSC v2", "33554432 bytes (65536 sectors, 33.6 MB)"},
        {"sd2", (1 << 20) + 2048, "SDSC v2", "1050624 bytes (2052 sectors, 1.05 MB)"},
        {"sdhc", 0, "SDHC", "33554432 bytes (65536 sectors, 33.6 MB)"},
        {"sdhc", (1 << 20) + 512, "SDHC", "1048576 bytes (2048 sectors, 1.05 MB)"},
        {"sdxc", 64 * gib, "SDXC", "68719476736 bytes (134217728 sectors, 68.7 GB)"},
        {"sdxc", 3 * 1024 * gib, "SDXC", "2199022731264 bytes (4294966272 sectors, 2.20 TB)"},
    };
    for (const auto& c : cases) {
        const SparseCard image(c.image_bytes);
        const std::string port = "--port=sim" + (c.image_bytes ? ":" + image.path() : "") + ",card=" + c.kind;
        const auto r = run_piped({port, "--info"}, "");
        EXPECT_EQ(r.status, 0) << port << r.err;
        EXPECT_EQ(r.out.rfind(opened + "OK\ncard: " + c.type + "\n", 0), 0u) << r.out;
        EXPECT_EQ(line_after(r.out, "capacity: "), std::string("capacity: ") + c.capacity) << port;
        EXPECT_EQ(r.out.find("CRC error"), std::string::npos) << port;
        // The SD registers on SD cards only; an MMC has none, and that is no error.
        const bool sd = std::string(c.kind) != "mmc";
        for (const char* line : {"\nSCR: ", "\nspeed class: ", "\nmax current: "})
            EXPECT_EQ(r.out.find(line) != std::string::npos, sd) << port << line;
        EXPECT_EQ(r.err, "") << port;
        EXPECT_EQ(r.out.substr(r.out.size() - closing.size()), closing);
    }
}

TEST(CardSession, InfoShowsEveryLineAndARegisterWithABadCrc) {
    // An 8 GB SDHC card's CSD, and a CID of its kind.
    const std::string cid = "0353445355303847801234567800D60B", csd = "400E00325B5900003B377F800A4040AF";
    // Its SCR and SD Status: SD 3.0, Class 4, 4 MiB allocation units.
    const std::string scr = "0235800100000000", ssr = "8000000003000000020290000B050000";
    const std::string sd_lines = "SCR: " + scr + "\n"
                                 "SD specification: 3.0\n"
                                 "erased data: 00\n"
                                 "security: SDHC security 2.00\n"
                                 "bus widths: 1 4\n"
                                 "commands: CMD20\n"
                                 "SD status: " + ssr + std::string(96, '0') + "\n"
                                 "speed class: 4\n"
                                 "UHS speed grade: 0\n"
                                 "video speed class: 0\n"
                                 "application performance class: 0\n"
                                 "AU size: 4096 KiB\n"
                                 "erase: 11 AUs at a time, time-out 1 s, offset 1 s\n"
                                 "protected area: 50331648 bytes\n"
                                 "max current: 200 mA\n"
                                 "high speed: yes\n";
    const auto card = [&](const std::string& csd_sent) {
        return run_piped({"--port=sim,card=sdhc,cid=" + cid + ",csd=" + csd_sent + ",scr=" + scr + ",ssr=" + ssr, "--info"}, "");
    };
    const auto r = card(csd);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, opened + "OK\n"
                              "card: SDHC\n"
                              "OCR: C0FF8000\n"
                              "CID: " + cid + "\n"
                              "CSD: " + csd + "\n"
                              "capacity: 7948206080 bytes (15523840 sectors, 7.95 GB)\n"
                              "addressing: by sector\n"
                              "manufacturer: 03 (SanDisk), OEM: SD, product: SU08G, revision 8.0\n"
                              "serial: 12345678, made 2013-06\n"
                              "read block: 512 bytes, top clock: 25000 kbit/s\n"
                              "write protection: none\n"
                              "locked: no\n" +
                         sd_lines + closing);

    const std::string bad_csd = "400E00325B5900003B377F800A4040AE";  // CRC7 byte off by one bit
    const auto bad = card(bad_csd);
    EXPECT_EQ(bad.status, 0);
    EXPECT_NE(bad.out.find("\nCSD: " + bad_csd + "\nCSD CRC error\ncapacity: 7948206080 bytes"), std::string::npos)
        << bad.out;
    EXPECT_EQ(bad.out.find("CID CRC error"), std::string::npos);

    const auto stuck = run_piped({"--port=sim,card=sdhc,idle=never", "--info"}, "");
    EXPECT_EQ(stuck.status, 1);
    EXPECT_EQ(stuck.out, opened + "CMD1 response error\n" + closing);
    EXPECT_EQ(stuck.err,
              "vantacle: the card did not come up: CMD1 left it idle after 11364 tries; as an SD card version 2, "
              "ACMD41 left it idle after 5682 tries\n");
}

TEST(CardSession, BrowserAndSurfaceTestReachPastTheByteAddressedRange) {
    SparseCard card(64 * gib);
    TestImage bytes(2);
    card.put(0x800000, bytes.sector(0));
    card.put(0x7FFFFFF, bytes.sector(1));
    const std::string port = "--port=sim:" + card.path() + ",card=sdxc";
    const auto r = run_piped({port}, " 800000\n 7FFFFFF\n\n FFFFFFFF\n");
    EXPECT_EQ(r.out, opened + "OK\n" + prompt + ask + read_ok(0x800000, bytes.sector(0)) + prompt + ask +
                         read_ok(0x7FFFFFF, bytes.sector(1)) + prompt + read_error(0x8000000) + prompt + ask +
                         closing);
    EXPECT_EQ(r.status, 0);

    const auto tested = run_piped({port + ",write=on", "--test=7FFFFFE:2"}, "");
    EXPECT_EQ(tested.status, 0) << tested.out;
    EXPECT_NE(tested.out.find("tested 2 sectors, 0 bad"), std::string::npos) << tested.out;
}

TEST(CardSession, MultiBlockTransfersOnEachKind) {
    for (CardKind kind : {CardKind::mmc, CardKind::sd1, CardKind::sdhc}) {
        TestImage image(1024);  // 512 KiB: a size every kind's CSD gives exactly
        SimSettings s;
        s.image = image.path();
        s.kind = kind;
        s.writable = true;
        record_sim(s);
        ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
        std::vector<std::uint8_t> buf(16 * 512);
        std::uint32_t done = 0;
        ASSERT_EQ(recorded_card().read_blocks(40, buf, done), CardResult::ok);
        EXPECT_EQ(done, 16u);
        EXPECT_EQ(std::memcmp(buf.data(), image.sector(40), buf.size()), 0);
        EXPECT_EQ(recorded_card().read_blocks(1020, buf, done), CardResult::out_of_range);  // past the end
        EXPECT_EQ(done, 4u);
        EXPECT_EQ(std::memcmp(buf.data(), image.sector(1020), 4 * 512), 0);
        EXPECT_EQ(recorded_card().capacity_sectors(), 1024u);

        ASSERT_EQ(recorded_card().read_blocks(0, buf, done), CardResult::ok);
        ASSERT_EQ(recorded_card().write_blocks(20, buf, done), CardResult::ok);
        EXPECT_EQ(done, 16u);
        std::vector<std::uint8_t> back(16 * 512);
        ASSERT_EQ(recorded_card().read_blocks(20, back, done), CardResult::ok);
        EXPECT_EQ(back, buf);
        EXPECT_EQ(recorded_card().rereads(), 0u);  // the end of the card, confirmed four times, is no re-read
    }
}
