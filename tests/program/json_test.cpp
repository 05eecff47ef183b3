// --json from outside: every mode's record over each link to the simulated
// card, checked field by field and validated against docs/run-record.schema.json
// by a real JSON Schema validator; the person's text goes to standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "report/run_record.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

// Validates every line of path against the schema; the validator's
// complaints, or "" when all lines are valid.
std::string schema_errors(const std::string& path) {
    TempFile errors;
    const std::string script =
        "import json,sys,jsonschema\n"
        "schema=json.load(open(sys.argv[1]))\n"
        "v=jsonschema.Draft202012Validator(schema)\n"
        "for n,line in enumerate(open(sys.argv[2],encoding='utf-8'),1):\n"
        "    for e in v.iter_errors(json.loads(line)): print(n,e.message)\n";
    const std::string command = "python3 -c \"" + script + "\" " VANTACLE_SOURCE_DIR "/docs/run-record.schema.json " +
                                path + " >" + errors.path + " 2>&1";
    const int status = std::system(command.c_str());
    return status == 0 ? file_text(errors.path) : "validator failed: " + file_text(errors.path);
}

// A field's raw JSON text in a record line ("" when absent).
std::string field(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const auto at = line.find(key);
    if (at == std::string::npos) return "";
    const auto from = at + key.size();
    std::size_t to = from;
    if (line[from] == '"') {
        for (to = from + 1; line[to] != '"'; ++to)
            if (line[to] == '\\') ++to;
        ++to;
    } else {
        to = line.find_first_of(",}", from);
    }
    return line.substr(from, to - from);
}

// How a mode moves sectors of one kind: not at all, some (single sectors
// among other work), or in runs of many, which come close to the wire's rate.
enum Moves { none, some, runs };

// A record's rate on the model's clock: never past what the wire can carry,
// a run of sectors within a tenth of it, and 0 only when nothing moved.
void expect_rate(const std::string& text, Moves moves, double top, const std::string& context) {
    const double rate = std::strtod(text.c_str(), nullptr);
    if (moves == none) {
        EXPECT_EQ(text, "0.000") << context;
        return;
    }
    EXPECT_GT(rate, moves == runs ? 0.9 * top : 0.0) << context << ": " << text;
    EXPECT_LE(rate, top) << context << ": " << text;
}

}  // namespace

TEST(JsonString, EscapesControlBytesAndKeepsTheLineValidUtf8) {
    const struct {
        std::string bytes, json;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\r\t\x01\x1F\x7F", "\"\\n\\r\\t\\u0001\\u001F\\u007F\""},
        {"\xC3\xA9", "\"\xC3\xA9\""},                     // well-formed UTF-8 stays
        {"\xF0\x9F\x92\xBE", "\"\xF0\x9F\x92\xBE\""},     // four bytes too
        {"\xFF", "\"\xC3\xBF\""},                         // a stray byte is its Latin-1 character
        {"\xC3", "\"\xC3\x83\""},                         // a sequence cut short
        {"\xC0\x80", "\"\xC3\x80\xC2\x80\""},             // an overlong form
        {"\xED\xA0\x80", "\"\xC3\xAD\xC2\xA0\xC2\x80\""}, // a surrogate
        {"\xF4\x90\x80\x80", "\"\xC3\xB4\xC2\x90\xC2\x80\xC2\x80\""},  // past U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(json_string(c.bytes), c.json) << c.json;
}

TEST(JsonRecords, EveryModeOverEveryLinkGivesOneValidRecord) {
    TestImage image(2048);  // the bytes of every fresh card below
    TempFile dump, records, other;
    {
        Bytes changed = file_bytes(image.path());
        changed[3 * 512] ^= 1;
        changed[9 * 512 + 7] ^= 0x80;
        std::ofstream(other.path, std::ios::binary).write(reinterpret_cast<const char*>(changed.data()),
                                                          static_cast<std::streamsize>(changed.size()));
    }
    const struct {
        std::string settings;
        std::vector<std::string> args;
        std::string mode, verdict, claimed, usable, bad, differ, files;
        int status;
        Moves reads, writes;
    } scenarios[] = {
        {",write=on", {"--test", "--range=0:40"}, "test", "passed", "2048", "null", "0", "0", "[]", 0, some, some},
        {",write=on,bad=7", {"--test", "--range=0:40"}, "test", "failed", "2048", "null", "1", "0", "[]", 1, some, some},
        {"", {"--dump=" + dump.path, "--force"}, "dump", "passed", "2048", "null", "0", "0", "[\"" + dump.path + "\"]", 0, runs, none},
        {"", {"--verify=" + other.path}, "verify", "failed", "2048", "null", "0", "2", "[]", 1, runs, none},
        {",write=on", {"--probe"}, "probe", "genuine", "2048", "2048", "0", "0", "[]", 0, some, some},
        {",write=on,fake=400", {"--probe"}, "probe", "counterfeit", "2048", "1024", "0", "0", "[]", 1, some, some},
        {",write=on,fake=400:drop", {"--fill=1", "--range=380:100"}, "fill", "counterfeit", "2048", "128", "0", "0", "[]", 1, runs, some},
        {"", {"--info"}, "info", "passed", "2048", "null", "0", "0", "[]", 0, none, none},
    };
    // The fastest each link's model can move data bytes to and from the default
    // card (an MMC, 20 MHz): the port's lean loop takes three accesses of 1 us
    // a bit in and two a bit out; spidev clocks at the card's 20 MHz, the
    // MPSSE at 15 MHz (60 MHz over 2 * (1 + 1)); the GPIO lines' bit-bang
    // loop is the port's, an ioctl an access.
    const struct {
        const char* via;
        double read_top, write_top;
    } wires[] = {{"port", 1e9 / 24'000, 1e9 / 16'000}, {"spidev", 20e6 / 8, 20e6 / 8}, {"ftdi", 15e6 / 8, 15e6 / 8},
                 {"gpio", 1e9 / 24'000, 1e9 / 16'000}};
    std::ofstream all(records.path, std::ios::binary);
    for (const auto& [via, read_top, write_top] : wires) {
        for (const auto& s : scenarios) {
            const TestImage card(2048);  // fresh for each run: --fill writes over it
            std::vector<std::string> args{"--port=sim:" + card.path() + s.settings + ",via=" + via, "--json"};
            args.insert(args.end(), s.args.begin(), s.args.end());
            const RunResult r = run_piped(args, "");
            const std::string context = std::string(via) + " " + s.mode + s.settings;
            ASSERT_EQ(r.out.find('\n'), r.out.size() - 1) << context << ": one line on standard output\n" << r.out;
            EXPECT_NE(r.err.find("Initialize MMC Card for SPI mode:OK"), std::string::npos) << context << r.err;
            EXPECT_EQ(r.status, s.status) << context << r.err;
            EXPECT_EQ(field(r.out, "mode"), "\"" + s.mode + "\"") << context;
            EXPECT_EQ(field(r.out, "verdict"), "\"" + s.verdict + "\"") << context << r.out;
            EXPECT_EQ(field(r.out, "claimed_sectors"), s.claimed) << context;
            EXPECT_EQ(field(r.out, "usable_sectors"), s.usable) << context << r.out;
            EXPECT_EQ(field(r.out, "bad"), s.bad) << context;
            EXPECT_EQ(field(r.out, "differ"), s.differ) << context;
            EXPECT_EQ(field(r.out, "files"), s.files) << context;
            EXPECT_EQ(field(r.out, "exit_status"), std::to_string(s.status)) << context;
            expect_rate(field(r.out, "read_bytes_per_second"), s.reads, read_top, context + " read");
            expect_rate(field(r.out, "write_bytes_per_second"), s.writes, write_top, context + " write");
            all << r.out;
        }
    }
    all.close();
    EXPECT_EQ(schema_errors(records.path), "");
}

// The CID's product name comes from the card: its control bytes and bytes
// that are not UTF-8 cannot break the record.
TEST(JsonRecords, CardBytesAreEscapedAndAnEmptySocketHasNoCard) {
    TempFile records;
    const RunResult odd = run_piped({"--port=sim,cid=56565401225CC3A9FF100A1B2C010000", "--info", "--json"}, "");
    EXPECT_EQ(field(odd.out, "product"), "\"\\u0001\\\"\\\\\xC3\xA9\xC3\xBF\"") << odd.out;
    EXPECT_EQ(field(odd.out, "serial"), "\"0A1B2C01\"") << odd.out;
    const RunResult empty = run_piped({"--port=sim:none", "--info", "--json"}, "");
    EXPECT_EQ(field(empty.out, "card"), "null") << empty.out;
    EXPECT_EQ(field(empty.out, "verdict"), "\"no card\"") << empty.out;
    EXPECT_EQ(empty.status, 1);
    std::ofstream(records.path, std::ios::binary) << odd.out << empty.out;
    EXPECT_EQ(schema_errors(records.path), "");
}

// A station: one record a card as each ends, the summary on standard error.
TEST(JsonRecords, AStationGivesARecordForEverySocket) {
    TestImage a(300), b(200);
    TempFile records;
    const RunResult r = run_piped({"--port=sim:" + a.path() + ",via=spidev", "--port=sim:" + b.path() + ",via=ftdi,fake=40",
                                   "--port=sim:none,via=spidev", "--info", "--json"},
                                  "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    for (const char* socket : {"\"socket\":\"1\",\"mode\":\"info\",\"card\":{", "\"socket\":\"2\"",
                               "\"socket\":\"3\",\"mode\":\"info\",\"card\":null"})
        EXPECT_NE(r.out.find(socket), std::string::npos) << socket << r.out;
    EXPECT_NE(r.err.find("3 cards: 2 passed, 1 failed\n"), std::string::npos) << r.err;
    std::ofstream(records.path, std::ios::binary) << r.out;
    EXPECT_EQ(schema_errors(records.path), "");
}

// Cards at once each have a clock of their own, and share only what their
// adapters share: the two interfaces of one FTDI chip its USB link (at full
// speed, an FT2232D's 19 packets of 62 data bytes a millisecond, two dumps
// get half of it each, below the 6 MHz clock's rate; at high speed it has
// room for both), spidev devices their controller's one wire; bridges of
// their own share nothing.
TEST(JsonRecords, CardsAtOnceShareWhatTheirAdaptersShare) {
    const double full_speed = 19 * 62 * 1000.0;
    const std::string d = ",via=ftdi,serial=VT0000E1,chip=ft2232d", h = ",via=ftdi,serial=VT0000E1,chip=ft2232h",
                      q = ",via=ftdi,serial=VT0000E1,chip=ft4232h";
    const struct {
        std::string first, second;  // the sockets' settings; second "": the first alone
        double top;                 // the most each card's dump can read a second
    } cases[] = {
        {d, "", 6e6 / 8},
        {d, d + ",interface=B", full_speed / 2},
        {h, h + ",interface=B", 15e6 / 8},
        {q, q + ",interface=B", 15e6 / 8},
        {",via=ftdi", ",via=ftdi", 15e6 / 8},
        {",via=spidev", "", 20e6 / 8},
        {",via=spidev", ",via=spidev", 20e6 / 8 / 2},
    };
    for (const auto& c : cases) {
        TestImage a(1024), b(1024);
        std::vector<std::string> args{"--port=sim:" + a.path() + c.first, "--dump=" + program_work_dir() + "/d{socket}.img",
                                      "--json"};
        if (!c.second.empty()) args.push_back("--port=sim:" + b.path() + c.second);
        const RunResult r = run_piped(args, "");
        const std::string context = c.first + " and" + c.second;
        EXPECT_EQ(r.status, 0) << context << r.err;
        std::istringstream records(r.out);
        std::size_t cards = 0;
        for (std::string line; std::getline(records, line); ++cards)
            expect_rate(field(line, "read_bytes_per_second"), runs, c.top, context + ": " + line);
        EXPECT_EQ(cards, c.second.empty() ? 1u : 2u) << r.out;
        for (const char* dump : {"/d{socket}.img", "/d1.img", "/d2.img"}) std::remove((program_work_dir() + dump).c_str());
    }
}

TEST(JsonRecords, TheBrowserHasNoRecord) {
    const RunResult r = run_piped({"--port=sim", "--json"}, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "vantacle: --json goes with a mode that replaces the browser\n");
}
