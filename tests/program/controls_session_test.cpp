// The card's controls from the command line against the simulated card,
// over every link: write protection, the password lock across power cycles
// (runs), forced erase, erase of a range, the card's state file, and each
// command's frame and busy wait as a byte link traces them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "tests/fixtures/expected_text.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

using namespace expected;

// A file name of this test process's own, as the same test runs over each
// link at once.
std::string scratch(const std::string& name) { return testing::TempDir() + std::to_string(::getpid()) + "-" + name; }

// A card image with its state file beside it, both removed afterwards,
// reached over one link (via=port, spidev or ftdi).
struct Card : TestImage {
    explicit Card(std::size_t sectors = 4096, std::string via = "port") : TestImage(sectors), via(std::move(via)) {}
    ~Card() { std::remove(state().c_str()); }
    std::string state() const { return path() + ".state"; }
    std::string port(const std::string& kind, const std::string& more = "") const {
        return "--port=sim:" + path() + ",card=" + kind + ",write=on,via=" + via + more;
    }
    std::string via;
    bool unchanged() const { return file_bytes(path()) == Bytes(sector(0), sector(0) + bytes()); }
    std::size_t bytes() const { return file_text(path()).size(); }
};

// A file of password lines, removed afterwards.
struct PasswordFile {
    // with_nul: the line's text followed by a zero byte.
    explicit PasswordFile(const std::string& lines, bool with_nul = false) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (with_nul) std::fwrite((lines.substr(0, lines.size() - 1) + '\0' + '\n').data(), 1, lines.size() + 1, f);
        else std::fputs(lines.c_str(), f);
        std::fclose(f);
    }
    ~PasswordFile() { std::remove(path.c_str()); }
    std::string option() const { return "--password-file=" + path; }
    std::string path = scratch("vantacle-password-" + std::to_string(counter++));
    static inline int counter = 0;
};

const std::string locked_message =
    "vantacle: the card is locked with a password: give it with --password-file=FILE or on a terminal "
    "(--force-erase erases a card whose password is lost)\n";

std::string line_with(const std::string& text, const std::string& start) {
    const auto at = text.find("\n" + start);
    return at == std::string::npos ? "" : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

// Each scenario runs over every link the simulated card is reached by.
class Controls : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(EveryLink, Controls, testing::Values("port", "spidev", "ftdi", "gpio"));

}  // namespace

TEST_P(Controls, ProtectStopsALoadUntilUnprotected) {
    const Card card(4096, GetParam());
    const TestImage other(4096);
    for (const char* kind : {"sdhc", "mmc"}) {
        const auto p = run_piped({card.port(kind), "--protect"}, "");
        EXPECT_EQ(p.out, opened + "OK\nwrite protection: temporary\n" + closing) << kind << p.err;
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(file_text(card.state()), "vantacle card state 1\npassword none\nwrite-protect temporary\n");
        EXPECT_EQ(line_with(run_piped({card.port(kind), "--info"}, "").out, "write protection:"),
                  "write protection: temporary");
        // Every mode that writes is refused before it writes: --fill would
        // otherwise call the card counterfeit, a writable server fail each write.
        const std::string serve = "--serve=" + scratch("vantacle-protected.sock");
        for (const std::vector<std::string>& writes :
             {std::vector<std::string>{"--load=" + other.path()}, {"--fill"}, {"--probe"}, {"--test=0:1"},
              {serve, "--writable"}}) {
            std::vector<std::string> args{card.port(kind)};
            args.insert(args.end(), writes.begin(), writes.end());
            const auto refused = run_piped(args, "");
            EXPECT_EQ(refused.err, "vantacle: the card is write-protected (TMP_WRITE_PROTECT): --unprotect clears it\n")
                << writes.front();
            EXPECT_EQ(refused.status, 1);
            EXPECT_TRUE(card.unchanged()) << kind << " " << writes.front();
        }
        const auto u = run_piped({card.port(kind), "--unprotect"}, "");
        EXPECT_EQ(u.out, opened + "OK\nwrite protection: none\n" + closing);
        EXPECT_EQ(run_piped({card.port(kind), "--load=" + other.path()}, "").status, 0) << kind;
        EXPECT_EQ(file_bytes(card.path()), file_bytes(other.path())) << kind;
        std::remove(card.state().c_str());
        std::FILE* f = std::fopen(card.path().c_str(), "wb");
        std::fwrite(card.sector(0), 1, 4096 * 512, f);
        std::fclose(f);
    }
}

TEST_P(Controls, PermanentProtectionIsNeverWritten) {
    const Card card(4096, GetParam());
    // An 8 GB SDHC card's CSD with PERM_WRITE_PROTECT set and its CRC7 byte recomputed.
    const auto r = run_piped({card.port("sdhc", ",csd=400E00325B5900003B377F800A4060CB"), "--unprotect"}, "");
    EXPECT_EQ(r.err, "vantacle: the card is write-protected for good (PERM_WRITE_PROTECT): that cannot be undone\n");
    EXPECT_EQ(r.status, 1);
}

TEST_P(Controls, PasswordLocksTheCardAtEveryPowerUp) {
    const Card card(4096, GetParam());
    const PasswordFile right("secret\n"), wrong("Secret\n"), change("secret\nnew-one\n"), fresh("new-one\n");
    const std::string port = card.port("sd2");
    const auto none = run_piped({port, "--clear-password", right.option()}, "");
    EXPECT_EQ(none.err, "vantacle: the card has no password (it was not locked at power-up): nothing to clear\n");
    EXPECT_EQ(none.status, 1);
    const auto set = run_piped({port, "--set-password", right.option()}, "");
    EXPECT_EQ(set.out, opened + "OK\npassword set: the card locks itself at every power-up until it is given\n" + closing);
    EXPECT_EQ(file_text(card.state()), "vantacle card state 1\npassword 736563726574\nwrite-protect none\n");
    struct stat state{};
    EXPECT_EQ(::stat(card.state().c_str(), &state), 0);
    EXPECT_EQ(state.st_mode & 0777, 0600u) << "the state holds the password";

    // Next power-up: every mode says locked (the browser keeps the known
    // sequence and shows its reads fail); --info shows it.
    for (const std::vector<std::string>& mode : {std::vector<std::string>{port, "--dump=" + scratch("never.img")},
                                                 {port, "--test=0:2"}, {port, "--protect"}}) {
        const auto r = run_piped(mode, "");
        EXPECT_EQ(r.err, locked_message) << mode.back();
        EXPECT_EQ(r.status, 1) << mode.back();
    }
    EXPECT_EQ(line_with(run_piped({port, "--info"}, "").out, "locked:"), "locked: yes");

    const auto refused = run_piped({port, "--dump=" + scratch("never.img"), wrong.option()}, "");
    EXPECT_EQ(refused.err, "vantacle: wrong password: the card stays locked\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(line_with(run_piped({port, "--info", wrong.option()}, "").out, "locked:"), "");
    EXPECT_EQ(line_with(run_piped({port, "--info"}, "").out, "locked:"), "locked: yes");

    const std::string dump = scratch("vantacle-unlocked.img");
    const auto unlocked = run_piped({port, "--dump=" + dump, "--force", right.option()}, "");
    EXPECT_EQ(unlocked.status, 0) << unlocked.err;
    EXPECT_EQ(file_bytes(dump), file_bytes(card.path()));
    std::remove(dump.c_str());

    // A new password needs the old one; then clearing it needs the new one.
    EXPECT_EQ(run_piped({port, "--set-password", change.option()}, "").status, 0);
    EXPECT_EQ(run_piped({port, "--clear-password", right.option()}, "").err,
              "vantacle: wrong password: the card stays locked\n");
    const auto cleared = run_piped({port, "--clear-password", fresh.option()}, "");
    EXPECT_EQ(cleared.out, opened + "OK\npassword cleared\n" + closing);
    EXPECT_EQ(line_with(run_piped({port, "--info"}, "").out, "locked:"), "locked: no");
    EXPECT_TRUE(card.unchanged());
}

// A card whose password was set elsewhere (its state holds it): the host's
// unlock block alone must carry it exactly, so a block that both the host
// and its own set-password get wrong cannot pass.
TEST_P(Controls, CardLockedElsewhereOpensToItsPasswordOnly) {
    for (const char* kind : {"sd2", "sdhc", "mmc"}) {
        const Card card(1024, GetParam());
        {
            std::FILE* f = std::fopen(card.state().c_str(), "wb");
            std::fputs("vantacle card state 1\npassword 6B6579\nwrite-protect none\n", f);  // "key"
            std::fclose(f);
        }
        const PasswordFile right("key\n"), longer("key\n", true), shorter("ke\n");
        const std::string port = card.port(kind);
        for (const PasswordFile* wrong : {&longer, &shorter}) {
            const auto refused = run_piped({port, "--dump=" + scratch("never.img"), "--force", wrong->option()}, "");
            EXPECT_EQ(refused.err, "vantacle: wrong password: the card stays locked\n") << kind;
            EXPECT_EQ(refused.status, 1) << kind;
        }
        const std::string dump = scratch("vantacle-opened.img");
        const auto opened_run = run_piped({port, "--dump=" + dump, "--force", right.option()}, "");
        EXPECT_EQ(opened_run.status, 0) << kind << opened_run.err;
        EXPECT_EQ(file_bytes(dump), file_bytes(card.path())) << kind;
        std::remove(dump.c_str());
        EXPECT_EQ(line_with(run_piped({port, "--info"}, "").out, "locked:"), "locked: yes") << kind;
    }
}

TEST_P(Controls, ForceEraseLeavesAnErasedCardWithoutPassword) {
    const Card card(64, GetParam());
    const PasswordFile right("secret\n");
    const std::string port = card.port("sdhc", ",scr=02B5800000000000");  // erased data reads FF
    const auto not_locked = run_piped({port, "--force-erase"}, "");
    EXPECT_EQ(not_locked.status, 1);
    EXPECT_TRUE(card.unchanged());
    ASSERT_EQ(run_piped({port, "--set-password", right.option()}, "").status, 0);
    const auto r = run_piped({port, "--force-erase"}, "");
    EXPECT_EQ(r.out, opened +
                         "OK\nforce erase: the whole card and its password are erased; this may take up to 3 minutes\n"
                         "the card is erased and has no password\n" +
                         closing);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(file_bytes(card.path()), Bytes(64 * 512, 0xFF));
    EXPECT_EQ(file_text(card.state()), "vantacle card state 1\npassword none\nwrite-protect none\n");
    EXPECT_EQ(line_with(run_piped({port, "--info"}, "").out, "locked:"), "locked: no");
}

TEST_P(Controls, PasswordIsAskedOnTheTerminalWithoutEcho) {
    const Card card(1024, GetParam());  // an SDHC card's smallest whole size
    const PasswordFile right("secret\n");
    ASSERT_EQ(run_piped({card.port("sdhc"), "--set-password", right.option()}, "").status, 0);
    const std::string dump = scratch("vantacle-asked.img");
    PtySession session({card.port("sdhc"), "--dump=" + dump, "--force"});
    ASSERT_TRUE(session.wait_for("Password: "));
    session.type("secret\r");
    EXPECT_EQ(session.finish(), 0) << session.transcript();
    EXPECT_EQ(session.transcript().find("secret"), std::string::npos) << session.transcript();
    EXPECT_EQ(file_bytes(dump), file_bytes(card.path()));
    std::remove(dump.c_str());
    // Never on the command line.
    const auto r = run_piped({card.port("sdhc"), "--password=secret"}, "");
    EXPECT_EQ(r.status, 2);
}

TEST_P(Controls, EraseTakesExactlyTheRange) {
    const struct {
        const char* kind;
        const char* more;
        const char* range;
        std::size_t first, count;
        std::uint8_t erased;
        const char* note = "";
    } cases[] = {
        {"sdhc", ",scr=02B5800000000000", "5:A", 5, 10, 0xFF},
        {"sd2", "", "0:1", 0, 1, 0x00},
        // The MMC erases groups of 1024 sectors: the group inside the range is
        // erased, the ragged ends on both sides are written.
        {"mmc", "", "3F0:420", 0x3F0, 0x420, 0x00},
        // Ranges shorter than a unit, one starting on a unit's boundary: written.
        {"mmc", ",erase-unit=16", "400:A", 0x400, 10, 0x00},
        {"sd2", ",erase-unit=16", "0:1", 0, 1, 0x00},
        {"sd2", ",erase-unit=16", "3:28", 3, 0x28, 0x00},
        // A card whose erase leaves FF while its SCR says 00: taken, and said.
        {"sd2", ",erased=ff", "10:20", 0x10, 0x20, 0xFF, " (the card's SCR says 00)"},
        {"sdhc", ",erased=ff,erase-unit=8", "6:13", 6, 0x13, 0xFF, " (the card's SCR says 00)"},
    };
    for (const auto& c : cases) {
        const Card card(4096, GetParam());
        const auto r = run_piped({card.port(c.kind, c.more), "--erase", std::string("--range=") + c.range}, "");
        EXPECT_EQ(r.out, opened + "OK\n" + hex("erased %u sectors from ", static_cast<unsigned>(c.count)) +
                             hex("%06X: they read as ", static_cast<unsigned>(c.first)) + hex("%02X", c.erased) + c.note + "\n" +
                             closing)
            << c.kind << r.err;
        EXPECT_EQ(r.status, 0);
        const Bytes after = file_bytes(card.path());
        for (std::size_t s = 0; s < 4096; ++s) {
            const bool in = s >= c.first && s < c.first + c.count;
            const Bytes expected = in ? Bytes(512, c.erased) : Bytes(card.sector(s), card.sector(s) + 512);
            ASSERT_EQ(Bytes(after.begin() + static_cast<std::ptrdiff_t>(s * 512),
                            after.begin() + static_cast<std::ptrdiff_t>(s * 512 + 512)),
                      expected)
                << c.kind << " sector " << s;
        }
    }
    // A card whose sectors cannot be read back after the erase: no success claimed.
    const Card card(1024, GetParam());
    const auto r = run_piped({card.port("sdhc", ",token=09"), "--erase", "--range=5:A"}, "");
    EXPECT_EQ(r.err, "vantacle: sector 000005 does not read as 00 or FF after the erase\n");
    EXPECT_EQ(r.status, 1);
}

TEST(ControlOptions, RefusedBeforeTheCardIsTouched) {
    const Card card(64);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--port=sim:" + card.path(), "--erase"},
         "vantacle: --erase erases sectors of the card: open the simulated card with write=on\n"},
        {{"--port=direct", "--force-erase"}, "vantacle: --force-erase erases the whole card and its password: add --yes to run it on a real port\n"},
        {{card.port("sdhc"), "--erase", "--lock"},
         "vantacle: give only one of --protect, --unprotect, --set-password, --clear-password, --lock, --force-erase and --erase\n"},
        {{card.port("sdhc"), "--lock", "--info"},
         "vantacle: --protect, --unprotect, --set-password, --clear-password, --lock, --force-erase and --erase each "
         "replace the browser: give one of them\n"},
        {{card.port("sdhc", ",scr=123"), "--info"},
         "vantacle: bad value '123' for simulated-card setting scr (up to 16 hex digits)\n"},
        {{card.port("sdhc", ",ssr=" + std::string(130, '0')), "--info"},
         "vantacle: bad value '" + std::string(130, '0') + "' for simulated-card setting ssr (up to 128 hex digits)\n"},
        {{card.port("sdhc"), "--info", "--password-file=" + testing::TempDir() + "no-such-file"},
         "vantacle: cannot read the password file " + testing::TempDir() + "no-such-file\n"},
        {{card.port("sdhc"), "--info", "--password-file=/"}, "vantacle: the password file / is a directory, not a regular file\n"},
    };
    for (const auto& c : cases) {
        const auto r = run_piped(c.args, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
    }
    // A state file that makes no sense: one line, the image never opened for the card.
    const char* bad_states[] = {"", "vantacle card state 1\npassword 7\nwrite-protect none\n",
                                "vantacle card state 1\npassword none\nwrite-protect maybe\n"};
    for (const char* state : bad_states) {
        std::FILE* f = std::fopen(card.state().c_str(), "wb");
        std::fputs(state, f);
        std::fclose(f);
        const auto r = run_piped({card.port("sdhc"), "--erase"}, "");
        EXPECT_EQ(r.err, "vantacle: the card state " + card.state() +
                             " makes no sense (remove it to forget the card's password and protection)\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(card.unchanged());
    }
}

namespace {

// One step of a byte link's trace after initialisation: a control command
// with its argument, CRC and R1 ("CMD38 00000000 crc A5 R1 00"), a block
// sent ("block 16"), or the host reading while the card is busy ("busy",
// with the time until the next command).
struct Step {
    std::string text;
    double busy_ms = 0;
};

// The steps of the control commands (and of the CMD55 before an application
// command, which only a card in transfer state answers with R1 00).
std::vector<Step> control_steps(const std::string& trace) {
    static const std::set<int> controls{6, 13, 16, 27, 32, 33, 35, 36, 38, 42, 51, 55};
    static const std::regex line(R"( *([0-9.]+) ms (?: out \d+:( [^\n]*?))?(?: in \d+:(?: (R1 [0-9A-F]{2}))?.*)?)");
    static const std::regex command(R"(CMD(\d+) [0-9A-F]{8} crc [0-9A-F]{2})");
    static const std::regex block(R"(token FE block (\d+) crc [0-9A-F]{4})");
    std::vector<Step> steps;
    std::istringstream in(trace);
    double busy_since = -1;
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        const double at = std::stod(m[1]);
        const std::string out = m[2], r1 = m[3];
        std::smatch c;
        if (out.empty()) {
            if (!steps.empty() && busy_since < 0) busy_since = at;
            continue;
        }
        if (busy_since >= 0) steps.push_back({"busy", at - busy_since});
        busy_since = -1;
        if (std::regex_search(out, c, block)) {
            steps.push_back({"block " + c[1].str()});
            busy_since = at;
        } else if (std::regex_search(out, c, command) && controls.count(std::stoi(c[1])) &&
                   (c[1] != "55" || r1 == "R1 00")) {
            steps.push_back({c[0].str() + " " + r1});
            if (c[1] == "38") busy_since = at;
        }
    }
    return steps;
}

class ControlFrames : public testing::TestWithParam<const char*> {};
INSTANTIATE_TEST_SUITE_P(ByteLinks, ControlFrames, testing::Values("spidev", "ftdi"));

}  // namespace

// Each control command's frame, CRC7 and R1 over the spidev and MPSSE links,
// its block, and a busy wait that lasts at least the card's 2 ms programming.
TEST_P(ControlFrames, EachCommandAndItsBusyWait) {
    const PasswordFile password("pw\n");
    const struct {
        const char* kind;
        std::vector<std::string> args;
        std::vector<std::string> steps;
    } cases[] = {
        {"sdhc", {"--protect"}, {"CMD13 00000000 crc 0D R1 00", "CMD27 00000000 crc DB R1 00", "block 16", "busy"}},
        {"sdhc",
         {"--set-password", password.option()},
         {"CMD13 00000000 crc 0D R1 00", "CMD16 00000004 crc 71 R1 00", "CMD42 00000000 crc 51 R1 00", "block 4",
          "busy", "CMD16 00000200 crc 15 R1 00", "CMD13 00000000 crc 0D R1 00"}},
        {"sdhc",
         {"--erase", "--range=5:A"},
         {"CMD13 00000000 crc 0D R1 00", "CMD55 00000000 crc 65 R1 00", "CMD51 00000000 crc C7 R1 00",
          "CMD55 00000000 crc 65 R1 00", "CMD13 00000000 crc 0D R1 00", "CMD32 00000005 crc 85 R1 00",
          "CMD33 0000000E crc 4F R1 00", "CMD38 00000000 crc A5 R1 00", "busy", "CMD13 00000000 crc 0D R1 00"}},
        {"mmc",
         {"--erase", "--range=400:400"},
         {"CMD13 00000000 crc 0D R1 00", "CMD35 00080000 crc BF R1 00", "CMD36 000FFE00 crc 0F R1 00",
          "CMD38 00000000 crc A5 R1 00", "busy", "CMD13 00000000 crc 0D R1 00"}},
        {"sd2",
         {"--info"},
         {"CMD13 00000000 crc 0D R1 00", "CMD13 00000000 crc 0D R1 00", "CMD55 00000000 crc 65 R1 00",
          "CMD51 00000000 crc C7 R1 00", "CMD55 00000000 crc 65 R1 00", "CMD13 00000000 crc 0D R1 00",
          "CMD6 00FFFFF1 crc 1F R1 00"}},
    };
    for (const auto& c : cases) {
        const Card card(4096, GetParam());
        const std::string trace = card.path() + ".trace";
        std::vector<std::string> args{card.port(c.kind), "--trace=" + trace};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = run_piped(args, "");
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        std::vector<std::string> texts;
        for (const Step& step : control_steps(file_text(trace))) {
            texts.push_back(step.text);
            if (step.text == "busy") {
                EXPECT_GE(step.busy_ms, 2.0) << c.args[0];
            }
        }
        // An MPSSE bridge runs above 25 MHz: an SD card is first switched to high speed.
        std::vector<std::string> steps = c.steps;
        if (std::string(GetParam()) == "ftdi" && !std::string(c.kind).starts_with("mmc")) steps.insert(steps.begin(), "CMD6 80FFFFF1 crc 29 R1 00");
        EXPECT_EQ(texts, steps) << c.args[0];
        std::remove(trace.c_str());
    }
}
