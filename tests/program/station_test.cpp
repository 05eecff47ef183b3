// A station from outside: several simulated cards at once, each socket's
// lines the same as its card's run alone, images and dumps compared byte for
// byte, the summary and exit status, refusals in one line, Ctrl+C during a
// four-card surface test leaving every card as it was, and --wait-card with
// cards put into and taken out of their sockets' slot files one after another.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/fixtures/json_schema.h"
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

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// The JSON records of a socket, in order.
std::vector<std::string> records_of(const std::string& out, const std::string& socket) {
    std::istringstream in(out);
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("{\"socket\":\"" + socket + "\"")) found.push_back(line);
    return found;
}

// Puts a card in a slot at once, as a hand does: the file is written
// beside it and renamed, so that the socket never sees half a card.
void put_card(const std::string& slot, const std::string& card) {
    const std::string written = slot + ".new";
    std::ofstream(written) << card << "\n";
    std::filesystem::rename(written, slot);
}

// A socket whose cards come and go by its slot file, the program watched
// through pipes with --json (its lines on standard error).
class Slot {
public:
    Slot(std::string name, std::string port) : name_(std::move(name)), port_(std::move(port)) { remove(); }
    ~Slot() { remove(); }
    // Its line in a station file.
    [[nodiscard]] std::string line() const { return name_ + " sim,slot=" + file_.path + "," + port_ + "\n"; }
    // Waits until the socket waits for its nth card (from 1), then puts the card in.
    void insert(PipedSession& run, std::size_t nth, const std::string& card) {
        ASSERT_TRUE(waits(run, nth)) << run.err();
        put_card(file_.path, card);
    }
    [[nodiscard]] bool waits(PipedSession& run, std::size_t nth) const {
        const std::string line = "[" + name_ + "] waiting for a card\n";
        return run.wait_until([&](const std::string&, const std::string& err) { return count_of(err, line) >= nth; });
    }
    // Waits for the nth card's record, then takes the card out.
    void take_out(PipedSession& run, std::size_t nth) {
        ASSERT_TRUE(run.wait_until([&](const std::string& out, const std::string&) {
            return records_of(out, name_).size() >= nth;
        })) << run.err();
        remove();
    }
    void remove() const { std::remove(file_.path.c_str()); }
    [[nodiscard]] const std::string& file() const { return file_.path; }

private:
    std::string name_, port_;
    TempFile file_;
};

// The cards one socket takes in turn: what its slot file says after the
// image, and what the card's record says.
struct SlotCard {
    std::size_t sectors;
    std::string settings;
    std::string card;     // family and serial: "\"family\":\"MMC\"...\"serial\":\"..\""
    std::string verdict;
    int status;
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
        {{pa, "--wait-card", "--dump=" + out.path}, "every card would write " + out.path + ": put {serial} or {cid} in its name"},
        {{pa, "--wait-card", "--dump=d-{socket}.img"}, "every card would write d-{socket}.img: put {serial} or {cid} in its name"},
        {{pa, "--wait-card", "--test", "--report=r.svg"},
         "--report=r.svg: its name is settled before a card is known: leave it out with --wait-card"},
        {{pa, "--wait-card", "--info", "--trace=" + out.path}, "--trace follows one card: leave it out with --wait-card"},
        {{pa, "--wait-card"}, "the browser, --serve and the card controls but --erase work on one card at a time: give one --port"},
        {{"--port=sim,pull=5", "--wait-card", "--info"}, "simulated-card setting pull needs slot=FILE"},
        {{"--port=sim:none,slot=" + out.path, "--wait-card", "--info"},
         "simulated-card setting slot names the socket's card: leave out 'none'"},
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

TEST(Station, WaitCardTakesCardAfterCardInEverySocket) {
    const std::string dump = "/tmp/vantacle-wait-" + std::to_string(::getpid()) + "-{socket}-{serial}.img";
    const std::string mmc = R"("family":"MMC")", sd2 = R"("family":"SDSC v2")", sdhc = R"("family":"SDHC")";
    const struct {
        std::string mode;
        std::vector<std::pair<std::string, std::vector<SlotCard>>> sockets;  // the socket's port settings, its cards
        int status;
    } scenarios[] = {
        {"--probe",
         {{"write=on,via=spidev",
           {{1024, ",psn=A1", mmc, "genuine", 0},
            {1024, ",psn=A2,fake=200", mmc, "counterfeit", 1},
            {512, ",psn=A3,card=sd2", sd2, "genuine", 0}}},
          {"write=on,via=ftdi",
           {{1024, ",psn=B1,card=sdhc,fake=100:drop", sdhc, "counterfeit", 1}, {768, ",psn=B2", mmc, "genuine", 0}}}},
         1},
        {"--dump=" + dump,
         {{"via=port", {{300, ",psn=C1", mmc, "passed", 0}, {200, ",psn=C2,card=sd2", sd2, "passed", 0}}},
          {"via=spidev", {{1024, ",psn=D1,card=sdhc", sdhc, "passed", 0}}}},
         0},
    };
    for (const auto& s : scenarios) {
        std::vector<std::unique_ptr<Slot>> slots;
        TempFile station;
        std::ofstream lines(station.path);
        for (std::size_t k = 0; k < s.sockets.size(); ++k) {
            slots.push_back(std::make_unique<Slot>(std::string(1, static_cast<char>('a' + k)), s.sockets[k].first));
            lines << slots.back()->line();
        }
        lines.close();
        const std::vector<std::string> args{"--wait-card", "--json", s.mode, "--station=" + station.path};
        std::vector<std::vector<std::unique_ptr<TestImage>>> images(s.sockets.size());
        PipedSession run(args);
        std::size_t cards = 0;
        for (std::size_t turn = 0; turn < 3; ++turn) {
            for (std::size_t k = 0; k < s.sockets.size(); ++k) {
                if (turn >= s.sockets[k].second.size()) continue;
                const SlotCard& c = s.sockets[k].second[turn];
                images[k].push_back(std::make_unique<TestImage>(c.sectors));
                slots[k]->insert(run, turn + 1, "image=" + images[k].back()->path() + c.settings);
                ++cards;
            }
            for (std::size_t k = 0; k < s.sockets.size(); ++k)
                if (turn < s.sockets[k].second.size()) slots[k]->take_out(run, turn + 1);
        }
        for (std::size_t k = 0; k < s.sockets.size(); ++k) ASSERT_TRUE(slots[k]->waits(run, s.sockets[k].second.size() + 1));
        run.signal(SIGINT);  // every socket waits: the station ends
        EXPECT_EQ(run.finish(), s.status) << s.mode << run.err();
        TempFile records;
        std::ofstream(records.path) << run.out().substr(0, run.out().find("\n\n"));
        EXPECT_EQ(schema_errors(records.path), "") << s.mode;
        EXPECT_NE(run.err().find(std::to_string(cards) + " cards: "), std::string::npos) << run.err();
        for (std::size_t k = 0; k < s.sockets.size(); ++k) {
            const std::string socket(1, static_cast<char>('a' + k));
            const std::vector<std::string> found = records_of(run.out(), socket);
            ASSERT_EQ(found.size(), s.sockets[k].second.size()) << s.mode << run.out();
            EXPECT_EQ(count_of(run.err(), "\n" + socket + " "), found.size()) << "summary rows" << run.err();
            for (std::size_t i = 0; i < found.size(); ++i) {
                const SlotCard& c = s.sockets[k].second[i];
                const std::string context = s.mode + " " + socket + c.settings;
                EXPECT_NE(found[i].find(c.card), std::string::npos) << context << found[i];
                EXPECT_NE(found[i].find("\"serial\":\"000000" + c.settings.substr(5, 2) + "\""), std::string::npos) << context << found[i];
                EXPECT_NE(found[i].find("\"claimed_sectors\":" + std::to_string(c.sectors) + ","), std::string::npos) << context;
                EXPECT_NE(found[i].find("\"verdict\":\"" + c.verdict + "\""), std::string::npos) << context << found[i];
                EXPECT_NE(found[i].find("\"exit_status\":" + std::to_string(c.status) + ","), std::string::npos) << context;
                const std::string& image = images[k][i]->path();
                if (s.mode == "--probe") {
                    const TestImage fresh(c.sectors);
                    EXPECT_TRUE(file_text(image) == file_text(fresh.path())) << context << ": the card keeps its data";
                } else {
                    std::string file = std::regex_replace(dump, std::regex("\\{socket\\}"), socket);
                    file = std::regex_replace(file, std::regex("\\{serial\\}"), "000000" + c.settings.substr(5, 2));
                    EXPECT_TRUE(file_text(file) == file_text(image)) << context;
                    EXPECT_NE(found[i].find(file), std::string::npos) << found[i];
                    std::remove(file.c_str());
                }
            }
        }
    }
}

TEST(Station, WaitCardGoesOnAfterABadSlotAndACardPulledMidRun) {
    const std::string dump = "/tmp/vantacle-pulled-" + std::to_string(::getpid()) + "-{serial}.img";
    for (const char* via : {"port", "spidev", "ftdi"}) {
        Slot slot("a", std::string("via=") + via);
        TempFile station;
        std::ofstream(station.path) << slot.line();
        const TestImage pulled(2048), kept(256);
        PipedSession run({"--station=" + station.path, "--wait-card", "--json", "--dump=" + dump});
        slot.insert(run, 1, "image=" + kept.path() + ",via=spidev");
        ASSERT_TRUE(run.wait_until([](const std::string&, const std::string& err) {
            return err.find("belongs to the socket, not the card") != std::string::npos;
        })) << via << run.err();
        EXPECT_NE(run.err().find("[a] vantacle: " + slot.file() + ": simulated-card setting via belongs to the socket, "
                                 "not the card\n"),
                  std::string::npos)
            << run.err();
        slot.remove();
        slot.insert(run, 1, "image=" + pulled.path() + ",psn=E1,pull=600");
        slot.take_out(run, 1);
        slot.insert(run, 2, "image=" + kept.path() + ",psn=E2");
        slot.take_out(run, 2);
        ASSERT_TRUE(slot.waits(run, 3)) << run.err();
        run.signal(SIGINT);
        EXPECT_EQ(run.finish(), 1) << via;
        const std::vector<std::string> found = records_of(run.out(), "a");
        ASSERT_EQ(found.size(), 2u) << via << run.out();
        EXPECT_NE(found[0].find(R"("serial":"000000E1")"), std::string::npos) << found[0];
        EXPECT_NE(found[0].find(R"("verdict":"failed")"), std::string::npos) << via << found[0];
        EXPECT_EQ(found[0].find(R"("bad":0,)"), std::string::npos) << via << ": sectors after the card went are bad";
        EXPECT_NE(found[1].find(R"("serial":"000000E2")"), std::string::npos) << found[1];
        EXPECT_NE(found[1].find(R"("verdict":"passed")"), std::string::npos) << via << found[1];
        EXPECT_NE(run.err().find("[a] card gone\n[a] waiting for a card\n"), std::string::npos) << run.err();
        EXPECT_NE(run.err().find("2 cards: 1 passed, 1 failed\n"), std::string::npos) << run.err();
        const std::string kept_dump = std::regex_replace(dump, std::regex("\\{serial\\}"), "000000E2");
        EXPECT_TRUE(file_text(kept_dump) == file_text(kept.path())) << via;
        std::remove(kept_dump.c_str());
        std::remove(std::regex_replace(dump, std::regex("\\{serial\\}"), "000000E1").c_str());
    }
}

// Ctrl+C while every socket waits ends the station by its cards (none: 0);
// while a card is worked on, it ends that card's run through its closing
// steps, the card as it was, and the station with 130.
TEST(Station, WaitCardEndsOnCtrlCWhileWaitingOrRunning) {
    const struct {
        const char* via;
        bool card;
        int status;
        std::string summary;
    } cases[] = {
        {"port", true, 130, "1 cards: 0 passed, 1 failed\n"},
        {"spidev", true, 130, "1 cards: 0 passed, 1 failed\n"},
        {"ftdi", true, 130, "1 cards: 0 passed, 1 failed\n"},
        {"spidev", false, 0, "0 cards: 0 passed, 0 failed\n"},
    };
    for (const auto& c : cases) {
        Slot slot("1", std::string("write=on,via=") + c.via);
        const TestImage image(1 << 14);
        const std::string before = file_text(image.path());
        PipedSession run({"--wait-card", "--port=sim,slot=" + slot.file() + ",write=on,via=" + c.via, "--test"});
        const auto shows = [&](const std::string& text) {
            return run.wait_until([&](const std::string& out, const std::string&) { return out.find(text) != std::string::npos; });
        };
        ASSERT_TRUE(shows("[1] waiting for a card\n")) << run.out() << run.err();
        if (c.card) {
            put_card(slot.file(), "image=" + image.path());
            ASSERT_TRUE(shows("[1] Initialize MMC Card for SPI mode:OK\n")) << c.via << run.out();
        }
        run.signal(SIGINT);
        EXPECT_EQ(run.finish(), c.status) << c.via << run.out() << run.err();
        EXPECT_NE(run.out().find(c.summary), std::string::npos) << c.via << run.out();
        if (c.card) {
            EXPECT_NE(row_of(run.out(), "1").find(" test interrupted "), std::string::npos) << run.out();
        }
        EXPECT_TRUE(file_text(image.path()) == before) << c.via;
    }
}
