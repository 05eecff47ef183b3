// Unkind cards: slow, late, noisy both ways, old and large MMCs, odd block
// lengths, a card left mid-write. Each scenario runs the program over every
// link and compares the whole card image (and any file) before and after.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <span>

#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

constexpr std::size_t sector_bytes = 512;
const char* const links[] = {"port", "spidev", "ftdi", "ftdi-bitbang", "gpio"};

enum class Mode { dump, verify, load, test, probe, fill };

struct Range {
    std::size_t start;
    std::size_t count;
};

Bytes sectors_of(const Bytes& image, Range r) {
    return {image.begin() + static_cast<std::ptrdiff_t>(r.start * sector_bytes),
            image.begin() + static_cast<std::ptrdiff_t>((r.start + r.count) * sector_bytes)};
}

void put_file(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// A fresh card image, the program run on it in one mode, and what it left.
struct Session {
    TestImage image;
    Bytes before;
    TempFile file;  // the dump, the file to verify or load, or the backup
    Bytes loaded;   // what --load writes: the range's sectors, every byte changed
    RunResult run;

    Session(std::size_t sectors, const std::string& via, const std::string& settings, Mode mode, Range r)
        : image(sectors), before(file_bytes(image.path())) {
        std::vector<std::string> args{"--port=sim:" + image.path() + ",write=on," + settings + ",via=" + via};
        const std::string range = "--range=" + hex("%X", static_cast<unsigned>(r.start)) + ":" + hex("%X", static_cast<unsigned>(r.count));
        switch (mode) {
            case Mode::dump: args.insert(args.end(), {"--dump=" + file.path, "--force", range}); break;
            case Mode::verify:
                put_file(file.path, sectors_of(before, r));
                args.insert(args.end(), {"--verify=" + file.path, range});
                break;
            case Mode::load:
                loaded = sectors_of(before, r);
                for (auto& b : loaded) b ^= 0xA5;
                put_file(file.path, loaded);
                args.insert(args.end(), {"--load=" + file.path, range});
                break;
            case Mode::test: args.insert(args.end(), {"--test=" + range.substr(8)}); break;
            case Mode::probe: args.push_back("--probe"); break;
            case Mode::fill: args.insert(args.end(), {"--fill", range, "--backup=" + file.path}); break;
        }
        run = run_piped(args, "");
    }

    Bytes after() const { return file_bytes(image.path()); }
    // The image as it should be when the mode did its work exactly.
    Bytes expected(Mode mode, Range r) const {
        if (mode != Mode::load) return before;
        Bytes want = before;
        std::copy(loaded.begin(), loaded.end(), want.begin() + static_cast<std::ptrdiff_t>(r.start * sector_bytes));
        return want;
    }
    bool says(const std::string& text) const { return run.out.find(text) != std::string::npos; }
};

std::string count_line(Mode mode, Range r) {
    const std::string n = std::to_string(r.count) + " sectors, ";
    switch (mode) {
        case Mode::dump: return "dumped " + n + "0 bad";
        case Mode::verify: return "verified " + n + "0 differ, 0 bad";
        case Mode::load: return "loaded " + n + "0 bad";
        case Mode::test: return "tested " + n + "0 bad";
        case Mode::probe: return "verdict: genuine";
        case Mode::fill: return "verdict: genuine";
    }
    return "";
}

// The mode did exactly its work: exit 0, its closing line (a copy with
// nothing read twice: a card without faults never needs it), the image and
// the dump as they should be.
void expect_exact(const std::string& via, const std::string& settings, Mode mode, Range r) {
    const Session s(256, via, settings, mode, r);
    const std::string where = via + " " + settings + " mode " + std::to_string(static_cast<int>(mode));
    const bool copy = mode == Mode::dump || mode == Mode::verify || mode == Mode::load;
    EXPECT_EQ(s.run.status, 0) << where << "\n" << s.run.out << s.run.err;
    EXPECT_TRUE(s.says(count_line(mode, r) + (copy ? ", 0 re-read" : ""))) << where << "\n" << s.run.out << s.run.err;
    EXPECT_TRUE(s.after() == s.expected(mode, r)) << where;
    if (mode == Mode::dump) {
        EXPECT_TRUE(file_bytes(s.file.path) == sectors_of(s.before, r)) << where;
    }
}

constexpr Mode every_mode[] = {Mode::dump, Mode::verify, Mode::load, Mode::test, Mode::probe, Mode::fill};
constexpr Mode copies[] = {Mode::dump, Mode::load};
constexpr Mode all_but_probe[] = {Mode::dump, Mode::verify, Mode::load, Mode::test, Mode::fill};
constexpr Mode probe_only[] = {Mode::probe};
// A block-addressed card on a small image claims more than it holds (its
// CSD counts 512 KiB units): every mode but those that size it.
constexpr Mode unsized[] = {Mode::dump, Mode::verify, Mode::load, Mode::test};

TEST(Scenario, UnkindCardsAreReadAndWrittenExactly) {
    const struct {
        std::string settings;
        std::span<const Mode> modes;
        Range range = {10, 8};
    } cases[] = {
        {"write-time=800000", every_mode},
        // The probe reads a few hundred sectors of any card: slow, but less.
        {"read-time=90000", all_but_probe, {10, 3}},
        {"read-time=20000", probe_only},
        {"late=1", copies}, {"late=2", copies}, {"late=3", copies}, {"late=4", copies},
        {"late=5", copies}, {"late=6", copies}, {"late=7", copies},
        {"card=mmc1", copies},
        {"card=mmchc", copies},
        {"blocklen=1024", copies},
        {"blocklen=2048", copies},
        {"card=sd2,blocklen=1024", copies},
        // Noise that once flipped the OCR's CCS bit: the sector lands where it belongs.
        {"card=sdhc,ncr=8,idle=21,cmd1=04,noise=3.70263609931778e-05", {copies + 1, 1}, {1, 1}},
        // Cards that come up unlike the rest: their addressing is their OCR's.
        {"card=sdhc,cmd1-on-sdhc", unsized},
        {"card=sdhc,cmd0-answers-ready", copies},
        {"card=sdhc,ocr-r1-idle", copies},
        {"card=sdhc,cmd1-on-sdhc,cmd0-answers-ready,ocr-r1-idle", unsized},
        {"card=mmchc,cmd0-answers-ready,ocr-r1-idle", copies},
        // Tokens after 0x00 bytes, tokens and data responses late on their own.
        {"zero-before-token", copies}, {"card=sdhc,zero-before-token", unsized},
        {"late-response=1", copies}, {"card=sdhc,late-response=2", copies}, {"card=sd2,late-response=3", copies},
        {"late-response=4", copies}, {"card=sdhc,late-response=5", unsized}, {"late-response=6", copies},
        {"card=sd2,late-response=7", copies}, {"late=3,late-response=4", copies},
        // Busy that follows a late data response bit for bit and ends between bytes.
        {"late-response=2,write-time=1500", every_mode},
        // A card that hangs when a run reads on past its last block.
        {"last-block-hang", copies, {0xF0, 0x10}}, {"card=sd2,last-block-hang", every_mode, {0xF8, 8}},
        // A run's failure reported a block late, with no write failing: nothing changes.
        {"card=sdhc,deferred-write-error", copies},
    };
    for (const auto& c : cases)
        for (const Mode mode : c.modes)
            for (const char* via : links) expect_exact(via, c.settings, mode, c.range);
}

// The sectors that lines "PREFIX 0xN SUFFIX" name.
std::set<std::size_t> sectors_named(const std::string& out, const std::string& prefix, const std::string& suffix = "") {
    std::set<std::size_t> named;
    const std::regex line(prefix + " 0x([0-9A-F]+)" + suffix);
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        named.insert(std::stoul((*it)[1], nullptr, 16));
    return named;
}

bool same_sector(const Bytes& a, const Bytes& b, std::size_t n) {
    return std::equal(a.begin() + static_cast<std::ptrdiff_t>(n * sector_bytes),
                      a.begin() + static_cast<std::ptrdiff_t>((n + 1) * sector_bytes),
                      b.begin() + static_cast<std::ptrdiff_t>(n * sector_bytes));
}

// The journal a run names for the sectors it could not put back.
std::optional<std::string> journal_named(const std::string& out) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("vantacle --restore=(vantacle-[0-9A-F]{8}\\.journal) puts"))) return std::nullopt;
    return m[1].str();
}

// Under noise a run may fail, but never says so wrongly and never changes a
// sector it was not asked to: a load reported whole is whole, a dump's
// sectors are right or named bad, a verify finds no false difference, a
// surface test, probe or fill leaves the card as it found it, or names each
// sector it could not put back in a journal that --restore puts back.
void expect_truthful(const std::string& via, const std::string& settings, Mode mode, Range r) {
    const Session s(256, via, settings, mode, r);
    const std::string where = via + " " + settings + " mode " + std::to_string(static_cast<int>(mode)) + "\n" + s.run.out + s.run.err;
    Bytes after = s.after();
    const Bytes exact = s.expected(mode, r);
    const std::set<std::size_t> not_restored = sectors_named(s.run.out, "bad sector", ": original contents NOT restored");
    if (const auto journal = journal_named(s.run.out)) {
        EXPECT_FALSE(not_restored.empty() && mode == Mode::test) << where;
        const RunResult restored = run_piped({"--port=sim:" + s.image.path() + ",write=on," + settings + ",via=" + via,
                                              "--restore=" + *journal}, "");
        EXPECT_EQ(restored.status, 0) << where << restored.out << restored.err;
        EXPECT_NE(restored.out.find("verified; the journal is removed\n"), std::string::npos) << restored.out;
        EXPECT_FALSE(std::filesystem::exists(*journal)) << where;
        std::remove(journal->c_str());
        after = s.after();
    } else {
        EXPECT_TRUE(not_restored.empty()) << where;
    }
    for (std::size_t n = 0; n < 256; ++n) {
        const bool addressed = n >= r.start && n < r.start + r.count;
        if (mode == Mode::load && addressed) {
            EXPECT_TRUE(same_sector(after, exact, n) || same_sector(after, s.before, n)) << n << " " << where;
        } else {
            EXPECT_TRUE(same_sector(after, s.before, n)) << n << " " << where;
        }
    }
    if (s.run.status == 0 && s.says(count_line(mode, r))) {
        EXPECT_TRUE(after == exact) << where;
    }
    if (mode == Mode::verify) {
        EXPECT_FALSE(s.says(" differ") && !s.says(" 0 differ")) << where;
    }
    if (mode == Mode::dump) {
        const Bytes dumped = file_bytes(s.file.path);
        const std::set<std::size_t> bad = sectors_named(s.run.out, "bad sector");
        const Bytes want = sectors_of(s.before, r);
        for (std::size_t i = 0; i < dumped.size() / sector_bytes; ++i)
            EXPECT_TRUE(bad.contains(r.start + i) || same_sector(dumped, want, i)) << i << " " << where;
    }
}

// Noise on DI alone: the host's commands and blocks arrive garbled now and
// then; with CRC checking on, each is refused and sent again. A sector that
// takes one write and then fails until the next power-up cannot be put
// back in the run: the journal takes it to the next.
TEST(Scenario, NoiseOnDiChangesNoSectorOutsideTheAddressedOnes) {
    for (const char* settings : {"card=sdhc,di-noise=1e-4", "card=sd2,di-noise=2e-4", "di-noise=3e-4", "bad=C:1",
                                 "card=sdhc,bad=F:1,di-noise=3e-4"})
        for (const Mode mode : {Mode::test, Mode::load, Mode::probe, Mode::fill})
            for (const char* via : links) expect_truthful(via, settings, mode, {10, 8});
}

// Noise both ways at a handful of rates, each rate a different pattern of
// flipped bits, on a byte-addressed and a block-addressed card.
TEST(Scenario, NoiseBothWaysNeverPassesAWrongSector) {
    for (const char* card : {"card=sd2", "card=sdhc"})
        for (const char* rate : {"3e-5", "6e-5", "9e-5", "1.2e-4", "1.6e-4", "2e-4"})
            for (const Mode mode : {Mode::load, Mode::dump, Mode::probe, Mode::verify, Mode::test})
                for (const char* via : links)
                    expect_truthful(via, std::string(card) + ",noise=" + rate + ",di-noise=" + rate, mode, {10, 8});
}

// Cards that fail in a way the user must be told: the line, the status, and
// the dump's sectors (a failed one as zeros) over every link. An adapter
// that cannot switch the supply cannot free a card stuck mid-write.
TEST(Scenario, UnkindCardsAreReportedInWords) {
    const std::string stuck_without_supply =
        "vantacle: the card did not come up: CMD0 answered FF; no card there, or one stuck in a transfer that this "
        "adapter cannot power off: switch the card's supply off and on, then run again\n";
    const struct {
        std::string settings;
        std::vector<std::string> args;
        int status;
        std::string says;
        std::optional<std::size_t> zeroed = std::nullopt;  // the dump's sector that failed
        std::string says_without_supply = "";              // over spidev and the bridge, when it differs
    } cases[] = {
        {"card=sdhc,regcrc=bad", {"--info"}, 0,
         "CID block CRC16 wrong (its own CRC7 is right: taken)\nCSD: 400E00325B59000000007F800A400023\n"
         "CSD block CRC16 wrong (its own CRC7 is right: taken)\n"},
        {"ecc=5", {"--dump"}, 1, "bad sector 0x5: read failed: token 04: card ECC failed\n", 5},
        {"card=sdhc,ecc=5:once", {"--dump"}, 0, "dumped 8 sectors, 0 bad, 1 re-read"},
        {"stuck=on", {"--dump"}, 0, "dumped 8 sectors, 0 bad, 0 re-read", std::nullopt, stuck_without_supply},
        // A block that fails in a run is reported by the next block's answer:
        // the card says (ACMD22) that it never wrote it.
        {"card=sdhc,write=on,deferred-write-error,bad=3", {"--load"}, 1, "bad sector 0x3: write failed"},
        {"card=sd2,write=on,deferred-write-error,bad=6", {"--test"}, 1, "bad sector 0x6:"},
    };
    for (const auto& c : cases) {
        for (const std::string via : links) {
            TestImage image(256);
            TempFile dump;
            std::vector<std::string> args{"--port=sim:" + image.path() + "," + c.settings + ",via=" + via};
            const bool dumps = c.args[0] == "--dump";
            const Bytes before = file_bytes(image.path());
            if (c.args[0] == "--load") put_file(dump.path, Bytes(8 * sector_bytes, 0x5A));
            if (dumps || c.args[0] == "--load") args.insert(args.end(), {c.args[0] + "=" + dump.path, "--range=0:8"});
            else if (c.args[0] == "--test") args.insert(args.end(), {"--test=0:8"});
            else args.insert(args.end(), c.args.begin(), c.args.end());
            const RunResult r = run_piped(args, "");
            const bool supply = via == "port" || c.says_without_supply.empty();
            const std::string where = via + " " + c.settings + "\n" + r.out + r.err;
            EXPECT_EQ(r.status, supply ? c.status : 1) << where;
            EXPECT_NE((r.out + r.err).find(supply ? c.says : c.says_without_supply), std::string::npos) << where;
            if (c.args[0] == "--load") {
                // Every sector but the bad one loaded; that one as it was.
                Bytes want = before;
                for (std::size_t i = 0; i < 8; ++i)
                    if (i != 3) std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(i * sector_bytes), sector_bytes, 0x5A);
                EXPECT_TRUE(file_bytes(image.path()) == want) << where;
            }
            if (!dumps || !supply) continue;
            Bytes want = sectors_of(file_bytes(image.path()), {0, 8});
            if (c.zeroed) std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(*c.zeroed * sector_bytes), sector_bytes, 0);
            EXPECT_TRUE(file_bytes(dump.path) == want) << where;
        }
    }
}

// Adapters as they are, each setting over the link it applies to: kernel
// buffers from 64 bytes with their alignment and the controllers behind
// spidev; every chip and interface behind the bridge, reads coming back as
// USB packets bring them; every chip in synchronous bit-bang.
TEST(Scenario, AdaptersAsTheyAreCarryEveryModeExactly) {
    const struct {
        const char* via;
        std::string settings;
        std::span<const Mode> modes;
    } cases[] = {
        {"spidev", "bufsiz=64,align=64", every_mode},
        {"spidev", "bufsiz=256,card=sdhc", copies},
        {"spidev", "bufsiz=100,align=32,card=sd2", copies},
        {"spidev", "controller=cs-high", copies},
        {"spidev", "spi-max=8000000,card=sdhc", copies},
        {"ftdi", "chip=ft2232h,interface=B", copies},
        {"ftdi", "chip=ft4232h,card=sd2", copies},
        {"ftdi", "chip=ft2232d", every_mode},
        {"ftdi", "chip=ft2232d,card=sdhc,late=3", copies},
        {"ftdi-bitbang", "chip=ft230x", every_mode},
        {"ftdi-bitbang", "chip=ft231x,card=sdhc,round-trip=50", copies},
        {"ftdi-bitbang", "chip=ft232h,card=sd2", copies},
        {"ftdi-bitbang", "chip=ft2232d,card=sdhc,late=3", copies},
        {"gpio", "gpio-power=17", every_mode},
        {"gpio", "gpio-power=17,card=sdhc", copies},
    };
    for (const auto& c : cases)
        for (const Mode mode : c.modes) expect_exact(c.via, c.settings, mode, {10, 8});
}

// An adapter that cannot carry the card is named in its own words, with
// what to do; never taken for the card's end or answer.
TEST(Scenario, FailingAdaptersSayWhyInTheirOwnWords) {
    const struct {
        const char* via;
        std::string settings;
        int status;
        std::string says;
    } cases[] = {
        {"spidev", "bufsiz=64", 2, "vantacle: spidev: the kernel's buffer (bufsiz 64) holds no transfer rounded up to 128 bytes"},
        {"spidev", "bufsiz=300,link-align=4", 1, "vantacle: spidev: message too long for the kernel's buffer (bufsiz 300)\n"},
        {"spidev", "controller=plain", 1, "vantacle: spidev: /dev/spidev0.0 can clock only with its chip select low"},
        {"ftdi", "usb=denied", 2, "vantacle: cannot open the FTDI bridge 0403:6014: libusb_open() failed; no permission: add a udev rule"},
        {"ftdi", "usb=busy", 2, "unable to claim usb device. Make sure the default FTDI driver is not in use; the kernel's ftdi_sio "
                                "driver or another program holds it: unbind ftdi_sio"},
        {"ftdi", "chip=ft232h,interface=B", 2, "vantacle: the FTDI bridge is an FT232H: it has no interface B (give interface=A)\n"},
        {"ftdi", "unplug=300", 1, "vantacle: FTDI bridge: usb bulk read failed: was it unplugged?\n"},
        {"ftdi", "chip=ft232r", 2, "vantacle: the FTDI bridge 0403:6001 is an FT232R, which has no MPSSE: reach it with "
                                   "--port=ftdi-bitbang\n"},
        {"ftdi-bitbang", "usb=denied", 2, "vantacle: cannot open the FTDI bridge 0403:6001: libusb_open() failed; no permission"},
        {"ftdi-bitbang", "usb=busy", 2, "unable to claim usb device. Make sure the default FTDI driver is not in use; the "
                                        "kernel's ftdi_sio driver or another program holds it: unbind ftdi_sio"},
        {"ftdi-bitbang", "unplug=300", 1, "vantacle: FTDI bridge: usb bulk read failed: was it unplugged?\n"},
        {"gpio", "gpio-busy=9", 1, "vantacle: cannot use line 9 of /dev/gpiochip0: it is in use by \"spi0 CS0\"\n"},
    };
    for (const auto& c : cases) {
        TestImage image(1024);
        TempFile dump;
        const RunResult r = run_piped({"--port=sim:" + image.path() + "," + c.settings + ",via=" + c.via,
                                       "--dump=" + dump.path, "--force", "--range=0:400"}, "");
        const std::string all = r.out + r.err;
        const std::string where = std::string(c.via) + " " + c.settings + "\n" + all;
        EXPECT_EQ(r.status, c.status) << where;
        EXPECT_NE(all.find(c.says), std::string::npos) << where;
        if (c.settings == "controller=plain") continue;  // the card does not wake: it answers nothing
        for (const char* wrong : {"end of card", "no answer to", "answered FF", "1024 sectors, 0 bad"})
            EXPECT_EQ(all.find(wrong), std::string::npos) << wrong << " " << where;
        // Nothing is read again over a link that has failed.
        EXPECT_FALSE(std::regex_search(all, std::regex("[1-9][0-9]* re-read"))) << where;
    }
}

// The browser shows the sectors asked for on cards that come up by CMD1
// addressed by sector, or answer the SD way's CMD0 and CMD58 oddly.
TEST(Scenario, BrowserShowsTheSectorAskedFor) {
    for (const char* settings : {"card=sdhc,cmd1-on-sdhc", "card=sdhc,cmd1-on-sdhc,ocr-r1-idle", "card=mmchc",
                                 "card=sdhc,cmd0-answers-ready,ocr-r1-idle", "card=sdhc,late-response=3", "zero-before-token"}) {
        for (const char* via : links) {
            TestImage image(256);
            const Bytes sector = sectors_of(file_bytes(image.path()), {0x25, 1});
            const RunResult r = run_piped({"--port=sim:" + image.path() + "," + settings + ",via=" + via}, " 25\rE");
            std::string dump;
            for (std::size_t line = 0; line < 32; ++line) {
                dump += hex("\n%03X=", static_cast<unsigned>(line * 16));
                for (std::size_t i = 0; i < 16; ++i) dump += hex("%02X ", sector[line * 16 + i]);
            }
            EXPECT_NE(r.out.find("Read Sector 000025H :OK" + dump + "\n"), std::string::npos) << settings << " " << via << "\n" << r.out;
        }
    }
}

}  // namespace
