// A station from outside: several simulated cards at once, each socket's
// lines the same as its card's run alone, images and dumps compared byte for
// byte, the summary and exit status, refusals in one line, and Ctrl+C
// during a four-card surface test leaving every card as it was.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

// The speed figures and journal names, which vary, replaced.
std::string without_speed(const std::string& out) {
    const std::string text = std::regex_replace(out, std::regex("[0-9]+ bytes/s"), "N bytes/s");
    return std::regex_replace(text, std::regex("vantacle-[0-9A-F]+\\.journal"), "JOURNAL");
}

// The lines marked "[socket] ", the mark taken off.
std::string lines_of(const std::string& out, const std::string& socket) {
    std::istringstream in(out);
    std::string line, lines;
    const std::string mark = "[" + socket + "] ";
    while (std::getline(in, line))
        if (line.starts_with(mark)) lines += line.substr(mark.size()) + "\n";
    return lines;
}

// The summary's row of a socket, its spaces squeezed.
std::string row_of(const std::string& out, const std::string& socket) {
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.starts_with(socket + " ")) continue;
        return std::regex_replace(line, std::regex(" +"), " ");
    }
    return "";
}

// A run's standard error apart: its text, and its "vantacle: " lines.
std::pair<std::string, std::string> split_failures(const std::string& err) {
    std::istringstream in(err);
    std::string line, text, failures;
    while (std::getline(in, line)) (line.starts_with("vantacle: ") ? failures : text) += line + "\n";
    return {text, failures};
}

// A card with a CID of its own: serial 0A1B2C0N.
std::string cid_of(int n) { return ",cid=565654564D4D433031100A1B2C0" + std::to_string(n) + "96D3"; }

struct Card {
    std::string settings;  // after the image
    std::string row;       // the summary's row after the socket's name
    std::string kept = "";  // the line of the sectors the run could not put back
};

// The journal a run's lines name for the sectors it could not put back, in
// the run's working directory; "" when they name none.
std::string journal_named(const std::string& lines) {
    std::smatch m;
    if (!std::regex_search(lines, m, std::regex("--restore=(vantacle-[0-9A-F]{8}\\.journal) puts"))) return "";
    return m[1].str();
}

// A run that lost its adapter keeps what it could not put back: the journal
// it names is there, and --restore over a working adapter puts the card's
// sectors back and removes it.
void expect_put_back(const std::string& lines, const std::string& kept, const std::string& image,
                     const std::string& context) {
    const std::string journal = journal_named(lines);
    if (kept.empty()) {
        EXPECT_EQ(journal, "") << context << lines;
        return;
    }
    EXPECT_NE(lines.find(kept + ": what it held is in " + journal), std::string::npos) << context << lines;
    ASSERT_TRUE(std::filesystem::exists(journal)) << context;
    const RunResult restored = run_piped({"--port=sim:" + image + ",write=on", "--restore=" + journal, "--yes"}, "");
    EXPECT_EQ(restored.status, 0) << context << restored.out << restored.err;
    EXPECT_NE(restored.out.find("put back 1 sector from " + journal + ", verified; the journal is removed\n"),
              std::string::npos) << context << restored.out;
    EXPECT_FALSE(std::filesystem::exists(journal)) << context;
}

// The journals left in the working directory.
std::size_t journals_left() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(program_work_dir()))
        n += entry.path().extension() == ".journal";
    return n;
}

}  // namespace

TEST(Station, EveryCardRunsAsItWouldAloneAndKeepsItsData) {
    const struct {
        std::vector<std::string> mode;
        std::vector<Card> cards;
        int status;
    } scenarios[] = {
        {{"--test=0:60"},
         {{",write=on,via=spidev", "MMC 0A1B2C01 test passed 0 0 0 0"},
          {",write=on,via=spidev,fake=20:drop", "MMC 0A1B2C01 test failed 64 0 0 1"},
          {",write=on,via=spidev,noise=2e-5", "MMC 0A1B2C01 test passed 0 49 0 0"},
          {",write=on,via=port,bad=9", "MMC 0A1B2C01 test failed 1 0 0 1"},
          {",write=on,via=ftdi,unplug=400", "MMC 0A1B2C01 test failed 89 0 0 1", "1 sector was NOT put back"}},
         1},
        {{"--probe"},
         {{",write=on,via=spidev", "MMC 0A1B2C01 probe genuine 0 0 0 0"},
          {",write=on,via=spidev,fake=400", "MMC 0A1B2C01 probe counterfeit 0 0 0 1"},
          {",write=on,via=port,fake=400:drop", "MMC 0A1B2C01 probe counterfeit 0 0 0 1"},
          {",write=on,via=port", "MMC 0A1B2C01 probe genuine 0 0 0 0"}},
         1},
        {{"--info"},
         {{",via=spidev", "MMC 0A1B2C01 info passed 0 0 0 0"}, {",via=ftdi", "MMC 0A1B2C01 info passed 0 0 0 0"}},
         0},
        // Bridges of their own, and the two interfaces of one chip, each with its card and clock.
        {{"--test=0:60"},
         {{",write=on,via=ftdi", "MMC 0A1B2C01 test passed 0 0 0 0"},
          {",write=on,via=ftdi,chip=ft2232d,noise=2e-5", "MMC 0A1B2C01 test passed 0 49 0 0"},
          {",write=on,via=ftdi,chip=ft2232h,serial=VT0000D2,interface=B,bad=9", "MMC 0A1B2C01 test failed 1 0 0 1"},
          {",write=on,via=ftdi,chip=ft2232h,serial=VT0000D2,fake=20:drop", "MMC 0A1B2C01 test failed 64 0 0 1"}},
         1},
    };
    for (const auto& s : scenarios) {
        std::vector<std::unique_ptr<TestImage>> alone, together;
        std::vector<std::string> station;
        for (const Card& card : s.cards) {
            alone.push_back(std::make_unique<TestImage>(2048));
            together.push_back(std::make_unique<TestImage>(2048));
            station.push_back("--port=sim:" + together.back()->path() + card.settings);
        }
        const std::string before = file_text(together[0]->path());
        station.insert(station.end(), s.mode.begin(), s.mode.end());
        const RunResult all = run_piped(station, "");
        EXPECT_EQ(all.status, s.status) << s.mode[0] << all.out << all.err;
        for (std::size_t i = 0; i < s.cards.size(); ++i) {
            // Alone with --json, so that its card answers the same commands (its
            // CID and CSD read for the record) and shows its text on standard error.
            std::vector<std::string> args{"--port=sim:" + alone[i]->path() + s.cards[i].settings, "--json"};
            args.insert(args.end(), s.mode.begin(), s.mode.end());
            const RunResult one = run_piped(args, "");
            const std::string socket = std::to_string(i + 1);
            const std::string context = s.mode[0] + s.cards[i].settings;
            const auto [text, failures] = split_failures(one.err);
            EXPECT_EQ(without_speed(lines_of(all.out, socket)), without_speed(text)) << context;
            EXPECT_EQ(lines_of(all.err, socket), failures) << context;
            EXPECT_EQ(row_of(all.out, socket), socket + " " + s.cards[i].row) << context << all.out;
            // The bridge went while a pattern was being written: whether it reached
            // the card nobody can tell, so the sector's original is kept.
            expect_put_back(lines_of(all.out, socket), s.cards[i].kept, together[i]->path(), context + " together");
            expect_put_back(text, s.cards[i].kept, alone[i]->path(), context + " alone");
            EXPECT_TRUE(file_text(together[i]->path()) == file_text(alone[i]->path())) << context;
            EXPECT_TRUE(file_text(together[i]->path()) == before) << context << ": the card keeps its data";
        }
    }
    EXPECT_EQ(journals_left(), 0u);
}

TEST(Station, DumpsGoToFilesNamedForEachSocketAndCard) {
    TestImage first(700), second(300);
    TempFile station;
    std::ofstream(station.path) << "# two sockets\n"
                                << "left  sim:" << first.path() << cid_of(1) << ",via=spidev\n\n"
                                << "right sim:" << second.path() << cid_of(2) << ",via=ftdi   # the bridge\n";
    const std::string dump = "/tmp/vantacle-station-" + std::to_string(::getpid()) + "-{socket}-{serial}.img";
    const RunResult r = run_piped({"--station=" + station.path, "--dump=" + dump}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string left = "/tmp/vantacle-station-" + std::to_string(::getpid()) + "-left-0A1B2C01.img";
    const std::string right = "/tmp/vantacle-station-" + std::to_string(::getpid()) + "-right-0A1B2C02.img";
    EXPECT_TRUE(file_text(left) == file_text(first.path()));
    EXPECT_TRUE(file_text(right) == file_text(second.path()));
    EXPECT_NE(lines_of(r.out, "left").find("dumped 700 sectors, 0 bad"), std::string::npos) << r.out;
    EXPECT_NE(lines_of(r.out, "right").find("dumped 300 sectors, 0 bad"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 cards: 2 passed, 0 failed\n"), std::string::npos) << r.out;
    std::remove(left.c_str());
    std::remove(right.c_str());
}

TEST(Station, RefusesWhatCannotRunInOneLine) {
    TestImage a(64), b(64);
    TempFile station, out;
    const std::string named = "--station=" + station.path;
    const std::string pa = "--port=sim:" + a.path() + ",via=spidev", pb = "--port=sim:" + b.path() + ",via=spidev";
    const struct {
        std::vector<std::string> args;
        std::string err;
        std::string station = "";  // the station file's text
    } cases[] = {
        {{pa, pb}, "the browser, --serve and the card controls but --erase work on one card at a time: give one --port"},
        {{pa, pb, "--protect"}, "the browser, --serve and the card controls but --erase work on one card at a time: give one --port"},
        {{pa, pb, "--dump=" + out.path}, "every socket would write " + out.path + ": put {socket}, {serial} or {cid} in its name"},
        {{pa, pb, "--info", "--trace=" + out.path}, "--trace follows one card: leave it out with several sockets"},
        {{pa, pb, "--test", "--report=r-{serial}.svg"}, "--report=r-{serial}.svg: its name takes {socket} only"},
        {{"--port=sim:" + a.path() + ",write=on,via=spidev", "--port=sim:" + b.path(), "--test"},
         "socket 2: the surface test writes to the card and restores each sector: open the simulated card with write=on"},
        {{"--port=sim:" + a.path() + ",via=ftdi,chip=ft2232h,serial=VT0000D2",
          "--port=sim:" + b.path() + ",via=ftdi,chip=ft2232h,serial=VT0000D2", "--info"},
         "sockets 1 and 2: the simulated bridge VT0000D2 has one card on each interface: give them interface=A and "
         "interface=B"},
        {{"--port=sim:" + a.path() + ",via=ftdi,chip=ft2232h,serial=VT0000D2",
          "--port=sim:" + b.path() + ",via=ftdi,chip=ft4232h,serial=VT0000D2,interface=B", "--info"},
         "sockets 1 and 2: the simulated bridge VT0000D2 is one chip: give its cards one chip="},
        {{pa, pa, "--info"}, a.path() + " is the card image of socket 1: name another file"},
        {{named, "--info"}, station.path + ":2: a socket is NAME PORT, such as: left sim:card.img,via=spidev", "a sim\nb\n"},
        {{named, "--info"}, station.path + ":2: socket a is named twice", "a sim\na sim,via=spidev\n"},
        {{named, "--info"}, station.path + ":3: a socket's name is letters, digits, '-', '_' and '.'", "# none\n\nx/y sim\n"},
        {{named, "--info"}, "", "a sim,speed=9\n"},
        {{named, pa, "--info"}, "give the sockets with --station or with --port, not both", "a sim\n"},
    };
    for (const auto& c : cases) {
        std::ofstream(station.path) << c.station;
        const RunResult r = run_piped(c.args, "");
        EXPECT_EQ(r.status, 2) << c.args.back() << r.err;
        EXPECT_EQ(r.out, "") << c.args.back();
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, "vantacle: " + c.err + "\n");
        }
    }
}

TEST(Station, CtrlCDuringAFourCardSurfaceTestLeavesEveryCardAsItWas) {
    std::vector<std::unique_ptr<TestImage>> cards;
    std::vector<std::string> args;
    const char* vias[] = {"spidev", "spidev", "ftdi", "port"};
    for (const char* via : vias) {
        cards.push_back(std::make_unique<TestImage>(1 << 14));
        args.push_back("--port=sim:" + cards.back()->path() + ",write=on,via=" + via);
    }
    const std::string before = file_text(cards[0]->path());
    args.push_back("--test");
    PtySession pty(args);
    ASSERT_TRUE(pty.wait_for("Initialize MMC Card for SPI mode:OK"));  // a card is up: its test begins
    pty.signal(SIGINT);
    EXPECT_EQ(pty.finish(), 130);
    for (int socket = 1; socket <= 4; ++socket)
        EXPECT_TRUE(std::regex_search(pty.transcript(), std::regex("\\[" + std::to_string(socket) +
                                                                   "\\] (tested [0-9]+ sectors, 0 bad, [0-9]+ bytes/s, stopped before|Initialize)")))
            << socket << pty.transcript();
    for (const auto& card : cards) EXPECT_TRUE(file_text(card->path()) == before);
}
