// Dumps that keep a mapfile: bad sectors marked and recovered by a retry
// pass, a stopped dump finished by running it again, maps that are refused
// before the card is touched, --verify and --load with a map, sparse dumps.
// ddrescuelog, when installed, must read every map as ddrescue's own.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <filesystem>
#include <csignal>
#include <cstdlib>
#include <random>
#include <regex>
#include <thread>

#include "mapfile/map_keeper.h"
#include "tests/expected_text.h"
#include "tests/program_runner.h"
#include "tests/test_image.h"

namespace {

using namespace expected;

const std::string ready = opened + "OK\n";

struct TempFiles {
    std::string dump = temp("img"), map = temp("map");
    ~TempFiles() {
        for (const std::string& p : {dump, map, map + ".new"}) std::remove(p.c_str());
    }
    static std::string temp(const char* kind) {
        return "/tmp/vantacle-resume-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "." + kind;
    }
    static inline int counter = 0;
};

std::string without_speed(const std::string& out) {
    return std::regex_replace(out, std::regex("[0-9]+ bytes/s"), "N bytes/s");
}

void put_bytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The map's area lines.
std::string areas(const std::string& map_path) {
    const std::string text = file_text(map_path);
    const auto at = text.find("status\n");
    return at == std::string::npos ? text : text.substr(at + 7);
}

bool file_exists_here(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool have_ddrescuelog() { return std::system("command -v ddrescuelog >/dev/null 2>&1") == 0; }

// ddrescuelog's verdict: -D exits 0 when the whole map is rescued; -t must read it.
void expect_ddrescuelog_reads(const std::string& map, bool all_rescued) {
    if (!have_ddrescuelog()) {
        std::puts("ddrescuelog is not installed (Debian package gddrescue): its check is skipped");
        return;
    }
    EXPECT_EQ(std::system(("ddrescuelog -t '" + map + "' >/dev/null").c_str()), 0) << file_text(map);
    EXPECT_EQ(std::system(("ddrescuelog -D '" + map + "' >/dev/null 2>&1").c_str()) == 0, all_rescued) << file_text(map);
}

}  // namespace

TEST(Resume, EccSectorsAreMarkedBadAndARetryPassRecoversThem) {
    TestImage image(300);
    TempFiles f;
    const std::string sim = "--port=sim:" + image.path();
    const auto first = run_piped({sim + ",ecc=5,ecc=40", "--dump=" + f.dump, "--map=" + f.map}, "");
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(without_speed(first.out), ready +
                                            "bad sector 0x5: read failed: token 04: card ECC failed\n"
                                            "bad sector 0x40: read failed: token 04: card ECC failed\n"
                                            "mapfile " + f.map + ": 298 of 300 sectors good, 2 bad, 0 not tried\n"
                                            "dumped 300 sectors, 2 bad, 14 re-read, N bytes/s\n" + closing);
    EXPECT_EQ(areas(f.map), "0x00000000  0x00000A00  +\n0x00000A00  0x00000200  -\n0x00000C00  0x00007400  +\n"
                            "0x00008000  0x00000200  -\n0x00008200  0x0001D600  +\n");
    expect_ddrescuelog_reads(f.map, false);

    const auto again = run_piped({sim + ",ecc=5:once,ecc=40:once", "--dump=" + f.dump, "--map=" + f.map}, "");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(without_speed(again.out), ready + "recovered sector 0x5\nrecovered sector 0x40\n"
                                                "mapfile " + f.map + ": 300 of 300 sectors good, 0 bad, 0 not tried\n"
                                                "dumped 0 sectors, 0 bad, 2 re-read, N bytes/s\n" + closing);
    EXPECT_EQ(areas(f.map), "0x00000000  0x00025800  +\n");
    EXPECT_TRUE(file_text(f.dump) == file_text(image.path()));
    expect_ddrescuelog_reads(f.map, true);
}

// Ctrl+C at a random point, then the same command again: the image whole.
TEST(Resume, AStoppedDumpGoesOnWhereItStopped) {
    TestImage image(3000);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_ms(0, 150);
    for (int run = 0; run < 2; ++run) {
        TempFiles f;
        const std::vector<std::string> args{"--port=sim:" + image.path() + ",access=100", "--dump=" + f.dump,
                                            "--map=" + f.map};
        PtySession pty(args);
        ASSERT_TRUE(pty.wait_for("Initialize MMC Card for SPI mode:OK"));
        const int delay = delay_ms(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        pty.type("\x03");
        const int stopped = pty.finish();
        EXPECT_TRUE(stopped == 130 || stopped == 0) << "after " << delay << " ms";
        expect_ddrescuelog_reads(f.map, stopped == 0);
        const auto rest = run_piped(args, "");
        EXPECT_EQ(rest.status, 0) << rest.out << rest.err;
        ASSERT_TRUE(file_text(f.dump) == file_text(image.path())) << "stopped after " << delay << " ms";
        expect_ddrescuelog_reads(f.map, true);
    }
}

// A map that is not a mapfile, is cut short or describes another card: one
// line, and neither the card nor FILE is read or written.
TEST(Resume, MapsThatDoNotFitAreRefusedBeforeAnythingIsMoved) {
    TestImage image(64);
    TempFiles f;
    put_bytes(f.dump, "keep");
    const std::string whole = "0x0 ? 1\n0x00000000  0x00008000  +\n";
    const struct {
        std::string map;
        int status;
        std::string err;
    } cases[] = {
        {"garbage\n", 2, "vantacle: " + f.map + ": not a mapfile: line 1 is not a status line\n"},
        {whole.substr(0, whole.size() - 3), 2,
         "vantacle: " + f.map + ": not a mapfile: line 2 is not 'position size status'\n"},
        {"0x0 ? 1\n0x0 0x7E00 +\n", 1, "vantacle: the mapfile " + f.map + " describes 63 sectors, the card has 64\n"},
        {"0x0 ? 1\n0x0 0x8200 +\n", 1, "vantacle: the mapfile " + f.map + " describes 65 sectors, the card has 64\n"},
    };
    for (const auto& c : cases) {
        put_bytes(f.map, c.map);
        const auto r = run_piped({"--port=sim:" + image.path(), "--dump=" + f.dump, "--map=" + f.map}, "");
        EXPECT_EQ(r.status, c.status) << c.map;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(file_text(f.dump), "keep");
        EXPECT_EQ(file_text(f.map), c.map);
    }
}

// Copied areas that lie past FILE's end are read again.
TEST(Resume, OnlyTheFilesCopiedAreasAreTrusted) {
    TestImage image(64);
    TempFiles f;
    put_bytes(f.dump, file_text(image.path()).substr(0, 10 * 512));
    put_bytes(f.map, "0x0 + 1\n0x00000000  0x00008000  +\n");
    const auto r = run_piped({"--port=sim:" + image.path(), "--dump=" + f.dump, "--map=" + f.map}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("dumped 54 sectors, 0 bad"), std::string::npos) << r.out;
    EXPECT_TRUE(file_text(f.dump) == file_text(image.path()));
}

// A run whose writes to FILE fail inside it (past a file size limit, with
// FILE already whole-sized) must leave those sectors to be read again: the
// map trusts only what reached FILE.
TEST(Resume, SectorsWhoseWriteFailedAreReadAgainOnResume) {
    TestImage image(300);
    TempFiles f;
    const std::string sim = "--port=sim:" + image.path();
    ASSERT_EQ(run_piped({sim, "--dump=" + f.dump, "--map=" + f.map}, "").status, 0);
    // Sectors C8 on are stale in FILE and not yet copied, says the map.
    std::string stale = file_text(f.dump);
    std::fill(stale.begin() + 200 * 512, stale.end(), '\x55');
    put_bytes(f.dump, stale);
    const std::string map = file_text(f.map);
    put_bytes(f.map, map.substr(0, map.find("status\n") + 7) + "0x00000000  0x00019000  +\n0x00019000  0x0000C800  ?\n");
    PipedRun limited;
    limited.file_size_limit = 250 * 512;
    const auto failing = run_piped({sim, "--dump=" + f.dump, "--map=" + f.map}, "", limited);
    EXPECT_EQ(failing.status, 128 + SIGXFSZ);  // the limit's signal ends the run as any ending signal does
    EXPECT_EQ(failing.err, "vantacle: " + f.dump + " could not be written completely\n");
    const auto resumed = run_piped({sim, "--dump=" + f.dump, "--map=" + f.map}, "");
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_TRUE(file_text(f.dump) == file_text(image.path())) << file_text(f.map);
}

// A map names its run, its card and its file; resuming with another of any
// is refused before anything is moved, as is a second run on a map or file
// in use. ddrescuelog reads the map with those lines.
TEST(Resume, AMapResumesOnlyItsOwnCardFileAndRun) {
    TestImage image(64), other_card(64);
    TempFiles f;
    const std::string sim = "--port=sim:" + image.path();
    ASSERT_EQ(run_piped({sim, "--dump=" + f.dump, "--map=" + f.map}, "").status, 0);
    expect_ddrescuelog_reads(f.map, true);
    const std::string copy = f.dump + ".copy";
    std::filesystem::copy_file(f.dump, copy);
    std::optional<MapKeeper> holder;
    const struct {
        std::vector<std::string> args;
        bool hold_map, hold_file;
        std::string err;
    } cases[] = {
        {{"--port=sim:" + other_card.path() + ",cid=03534D5C5C0A7F803230FFFFFF0171FF", "--dump=" + f.dump, "--map=" + f.map},
         false, false, "vantacle: the mapfile " + f.map + " is of another card (CID "},
        {{sim, "--dump=" + copy, "--map=" + f.map}, false, false,
         "vantacle: the mapfile " + f.map + " was made with another file ("},
        {{sim + ",write=on", "--load=" + f.dump, "--map=" + f.map}, false, false,
         "vantacle: the mapfile " + f.map + " records a dump, not a load: name another map\n"},
        {{sim, "--dump=" + f.dump, "--map=" + f.map}, true, false, "vantacle: the mapfile " + f.map + " is in use: "},
        {{sim, "--dump=" + f.dump, "--map=" + f.map}, false, true, "vantacle: the file " + f.dump + " is in use: "},
    };
    const std::string map_before = file_text(f.map), dump_before = file_text(f.dump);
    for (const auto& c : cases) {
        if (c.hold_map) {
            ASSERT_TRUE(holder.emplace(f.map).read());
        }
        std::FILE* held = c.hold_file ? std::fopen(f.dump.c_str(), "rb") : nullptr;
        if (held) {
            ASSERT_EQ(::flock(fileno(held), LOCK_SH | LOCK_NB), 0);
        }
        const auto r = run_piped(c.args, "");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(file_text(f.map), map_before);
        EXPECT_TRUE(file_text(f.dump) == dump_before);
        if (held) std::fclose(held);
        holder.reset();
    }
    std::remove(copy.c_str());
}

TEST(Resume, VerifyComparesOnlyCopiedAreasAndLoadMarksWhatItWrote) {
    TestImage image(64);
    TempFiles f;
    std::string copy = file_text(image.path());
    copy[20 * 512] ^= 1;  // differs only where the map says the copy failed
    copy[40 * 512] ^= 1;  // and where it says it was copied
    put_bytes(f.dump, copy);
    put_bytes(f.map, "0x0 + 1\n0x0 0x2800 +\n0x2800 0x200 -\n0x2A00 0x5600 +\n");
    const auto verified = run_piped({"--port=sim:" + image.path(), "--verify=" + f.dump, "--map=" + f.map}, "");
    EXPECT_EQ(verified.status, 1);
    EXPECT_EQ(without_speed(verified.out),
              ready + "differs sector 0x28\nverified 63 sectors, 1 differ, 0 bad, 0 re-read, N bytes/s\n" + closing);

    TestImage card(64);
    std::remove(f.map.c_str());
    const auto loaded = run_piped({"--port=sim:" + card.path() + ",write=on,bad=30", "--load=" + f.dump, "--map=" + f.map}, "");
    EXPECT_EQ(loaded.status, 1);
    EXPECT_EQ(areas(f.map), "0x00000000  0x00006000  +\n0x00006000  0x00000200  -\n0x00006200  0x00001E00  +\n");
    expect_ddrescuelog_reads(f.map, false);
    const auto resumed = run_piped({"--port=sim:" + card.path() + ",write=on", "--load=" + f.dump, "--map=" + f.map}, "");
    EXPECT_EQ(resumed.status, 0);
    EXPECT_NE(resumed.out.find("loaded 1 sectors, 0 bad"), std::string::npos) << resumed.out;
    EXPECT_TRUE(file_text(card.path()) == copy);
}

// Sectors of zeros past the file's end are holes; the file still equals the card.
TEST(Resume, SparseDumpLeavesZerosAsHoles) {
    TempFiles f;
    std::string bytes(4096 * 512, '\0');
    bytes[7 * 512] = 'x';
    bytes[4000 * 512 + 3] = 'y';
    put_bytes(f.map, bytes);  // the card image, under a spare name
    for (bool with_map : {false, true}) {
        std::remove(f.dump.c_str());
        const std::string map = f.map + ".map";
        std::remove(map.c_str());
        std::vector<std::string> args{"--port=sim:" + f.map, "--dump=" + f.dump, "--sparse"};
        if (with_map) args.push_back("--map=" + map);
        EXPECT_EQ(run_piped(args, "").status, 0);
        std::remove(map.c_str());
        EXPECT_TRUE(file_text(f.dump) == bytes) << with_map;
        struct stat st {};
        ASSERT_EQ(::stat(f.dump.c_str(), &st), 0);
        EXPECT_LT(st.st_blocks * 512, 64 * 1024) << with_map;
    }
}

// Options that do not fit together: one line, status 2, nothing made.
TEST(Resume, MapOptionsRefusedOnBadCommandLines) {
    TestImage image(8);
    TempFiles f;
    const std::string sim = "--port=sim:" + image.path();
    const std::vector<std::vector<std::string>> refused{
        {sim + ",write=on", "--probe", "--map=" + f.map},
        {sim, "--dump=" + f.dump, "--retries=2"},
        {sim, "--dump=" + f.dump, "--map=" + f.map, "--retries=-1"},
        {sim, "--dump=" + f.dump, "--map=" + f.map, "--retries=x"},
        {sim, "--verify=" + image.path(), "--sparse"},
        {sim, "--dump=" + f.dump, "--map=" + f.dump},
        {sim, "--dump=" + f.dump, "--map=" + image.path()},
        {sim, "--verify=" + image.path(), "--map=" + f.map},  // no map to verify with
    };
    for (const auto& args : refused) {
        const auto r = run_piped(args, "");
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(file_exists_here(f.dump) || file_exists_here(f.map)) << args.back();
    }
}
