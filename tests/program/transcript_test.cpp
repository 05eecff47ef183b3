// Whole sessions of the program against the simulated card, compared byte
// for byte: through pipes, and on a pseudo-terminal as typed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "tests/fixtures/expected_text.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"

namespace {

using namespace expected;

class Session : public ::testing::Test {
protected:
    TestImage image{64};
    std::string card() const { return "--port=sim:" + image.path(); }
    RunResult run(const std::string& input, const std::string& settings = "") {
        return run_piped({card() + settings}, input);
    }
    std::string dump(unsigned sector) const { return read_ok(sector, image.sector(sector)); }
};

// True once done() holds, checked for up to five seconds.
bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

// Keys through a pipe and what the browser shows between the first prompt
// and the closing steps: Enter reads on, an arrow key counts as one key,
// entries that do not convert keep the sector (at the first prompt there is
// none: the browser ends), the rest of an entry's line is dropped, read
// errors keep it going, FFFFFFFF, E, e, Escape and the end of input end it.
TEST_F(Session, BrowserThroughAPipe) {
    const struct {
        std::string keys, settings, shown;
    } cases[] = {
        {"\n\n\x1b[A 1F\nxE", "", dump(0) + prompt + dump(1) + prompt + dump(2) + prompt + ask + dump(0x1F) + prompt +
                                      dump(0x20) + prompt},
        {"\n\x1b\n\n", "", dump(0) + prompt},
        {"\ne\n\n", "", dump(0) + prompt},
        {"\nE\n\n", "", dump(0) + prompt},
        {"\n FFFFFFFF\n\n", "", dump(0) + prompt + ask},
        {" zz\n\n", "", ask},
        {" 123456789\n\n", "", ask},
        {" \n\n 5 junk\n zz\n 0x7\nE", "", ask + dump(5) + prompt + ask + dump(5) + prompt + ask + dump(7) + prompt},
        {" 3F\n\n\n 7FFFFF\n 1000000\n -2\n\n", "",
         ask + dump(0x3F) + prompt + read_error(0x40) + prompt + read_error(0x41) + prompt + ask + read_error(0x7FFFFF) +
             prompt + ask + read_error(0x1000000) + prompt + ask + read_error(0xFFFFFFFE) + prompt},
        {"\n\n", ",token=09", read_error(0) + prompt + read_error(1) + prompt},
        {"\n", "", dump(0) + prompt},
        {"\n \n ", "", dump(0) + prompt + ask},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const auto r = run(c.keys, c.settings);
        EXPECT_EQ(r.out, opened + "OK\n" + prompt + c.shown + closing) << c.keys;
        EXPECT_EQ(r.err, "") << c.keys;
        EXPECT_EQ(r.status, 0) << c.keys;
    }
}

TEST_F(Session, EachFailedInitialisationStep) {
    const std::string not_up = "vantacle: the card did not come up: ";
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {",link=down", "MMC hardware error\n", ""},
        {",cmd0=00", "CMD0 response error\n", not_up + "CMD0 answered 00\n"},
        {",idle=never", "CMD1 response error\n",
         not_up + "CMD1 left it idle after 11364 tries; as an SD card version 1, CMD55 answered 05\n"},
        {",cmd1=05", "CMD1 response error\n", not_up + "CMD1 answered 05; as an SD card version 1, CMD55 answered 05\n"},
        // On byte links the SD way comes first; the line is the same.
        {",idle=never,via=spidev", "CMD1 response error\n",
         not_up + "CMD1 left it idle after 8192 tries; as an SD card version 1, CMD55 answered 05\n"},
        {",cmd1=05,via=ftdi", "CMD1 response error\n", not_up + "CMD1 answered 05; as an SD card version 1, CMD55 answered 05\n"}};
    for (const auto& [setting, message, err] : cases) {
        const auto r = run("", setting);
        EXPECT_EQ(r.out, opened + message + closing) << setting;
        EXPECT_EQ(r.err, err) << setting;
        EXPECT_EQ(r.status, 0);
    }
    const auto empty = run_piped({"--port=sim:none"}, "\n");
    EXPECT_EQ(empty.out, opened + "CMD0 response error\n" + closing);
}

TEST_F(Session, HelpNamesTheSettingsAndKeys) {
    const auto help = run_piped({"--help"}, "");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: vantacle", 0), 0u);
    EXPECT_NE(help.out.find("idle=N|never"), std::string::npos);
    EXPECT_NE(help.out.find("E, e or Escape ends"), std::string::npos);
}

// The options named where an entry starts: lines of --help that begin
// "  --" up to where their text starts, and the man page's entries (the line
// after each .TP).
constexpr std::size_t help_column = 24;
std::set<std::string> option_names(const std::string& lines) {
    static const std::regex name("--[a-z][a-z-]*");
    std::set<std::string> names;
    for (std::sregex_iterator it(lines.begin(), lines.end(), name), end; it != end; ++it) names.insert(it->str());
    return names;
}

TEST_F(Session, HelpHasAnEntryForEveryOptionOfTheManPage) {
    std::string entries;
    std::istringstream help(run_piped({"--help"}, "").out);
    for (std::string line; std::getline(help, line);) {
        if (line.starts_with("  --")) entries += line.substr(0, help_column) + "\n";
    }
    std::ifstream man(VANTACLE_MAN_PAGE);
    ASSERT_TRUE(man.good());
    std::string titles;
    for (std::string line; std::getline(man, line);) {
        if (line != ".TP" || !std::getline(man, line)) continue;
        titles += std::regex_replace(std::regex_replace(line, std::regex(R"(\\f[BIRP])"), ""), std::regex(R"(\\-)"), "-") + "\n";
    }
    EXPECT_EQ(option_names(entries), option_names(titles));
}

// Enter, an arrow key and an entry typed on a terminal, echoed as typed;
// Ctrl+C in an entry ends the run through the closing steps with the
// terminal as it was.
TEST_F(Session, TypedOnATerminal) {
    PtySession pty({card()});
    ASSERT_TRUE(pty.wait_for(prompt));
    pty.type("\r");
    ASSERT_TRUE(pty.wait_for(prompt));
    pty.type("\x1b[B");
    ASSERT_TRUE(pty.wait_for(prompt));
    pty.type(" ");
    ASSERT_TRUE(pty.wait_for("(HEX)?"));
    pty.type("\r1F\r");
    ASSERT_TRUE(pty.wait_for(prompt));
    pty.type(" ");
    ASSERT_TRUE(pty.wait_for("(HEX)?"));
    pty.type("12");
    ASSERT_TRUE(pty.wait_for("12"));
    pty.type("\x03");
    EXPECT_EQ(pty.finish(), 130);
    EXPECT_EQ(pty.transcript(), on_terminal(opened + "OK\n" + prompt + dump(0) + prompt + dump(1) + prompt + ask) +
                                    "\r\n1F\r\n" + on_terminal(dump(0x1F) + prompt + ask) + "12^C" + on_terminal(closing));
    EXPECT_TRUE(pty.mode().c_lflag & ICANON);
    EXPECT_TRUE(pty.mode().c_lflag & ECHO);
}

TEST_F(Session, CtrlCCtrlBackslashAndEscapeAtThePrompt) {
    for (auto [key, status] : {std::pair{"\x03", 130}, std::pair{"\x1c", 131}, std::pair{"\x1b", 0}}) {
        PtySession pty({card()});
        ASSERT_TRUE(pty.wait_for(prompt));
        pty.type(key);
        EXPECT_EQ(pty.finish(), status);
        EXPECT_EQ(pty.transcript(), on_terminal(opened + "OK\n" + prompt + closing));
        EXPECT_TRUE(pty.mode().c_lflag & ECHO);
    }
}

// Ctrl+Z gives the terminal back as it was; continuing sets single keys
// again, whatever the shell did to the terminal meanwhile.
TEST_F(Session, StopAndContinueKeepSingleKeys) {
    PtySession pty({card()});
    ASSERT_TRUE(pty.wait_for(prompt));
    const termios keys = pty.mode();
    pty.type("\x1a");
    ASSERT_TRUE(eventually([&] { return (pty.mode().c_lflag & (ICANON | ECHO)) == (ICANON | ECHO); }));
    pty.set_mode(pty.mode());
    pty.signal(SIGCONT);
    ASSERT_TRUE(eventually([&] { return pty.mode().c_lflag == keys.c_lflag; }));
    pty.type("x");
    ASSERT_TRUE(pty.wait_for(prompt));
    pty.type("E");
    EXPECT_EQ(pty.finish(), 0);
    EXPECT_EQ(pty.transcript(), on_terminal(opened + "OK\n" + prompt + dump(0) + prompt + closing));
}

// With keys from a pipe that stays open, a lone Escape ends the browser and
// an unfinished sequence counts as one key, each after a short gap.
TEST_F(Session, EscapeThroughAnOpenPipe) {
    PipedRun lone;
    lone.hold_input = true;
    const auto r = run_piped({card()}, "\n\x1b", lone);
    EXPECT_EQ(r.out, opened + "OK\n" + prompt + dump(0) + prompt + closing);
    EXPECT_EQ(r.status, 0);
    PipedRun unfinished = lone;
    unfinished.close_input_after = dump(0) + prompt;
    const auto u = run_piped({card()}, "\x1b[", unfinished);
    EXPECT_EQ(u.out, opened + "OK\n" + prompt + dump(0) + prompt + closing);
    EXPECT_EQ(u.status, 0);
}

// Output that cannot be written ends the run through its closing steps,
// with status 1 and one line on standard error.
TEST_F(Session, FullOutputEndsWithStatusOne) {
    const std::string before = file_text(image.path());
    PipedRun full;
    full.output_to = "/dev/full";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{card()}, {card() + ",write=on", "--test=0:4"}, {"--help"}}) {
        const auto r = run_piped(args, "\n\n\n", full);
        EXPECT_EQ(r.status, 1) << args.back();
        EXPECT_EQ(r.err, "vantacle: cannot write to standard output: No space left on device\n") << args.back();
    }
    EXPECT_TRUE(file_text(image.path()) == before);
}
