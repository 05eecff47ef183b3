// Number entries and the command line, on their own.
#include <gtest/gtest.h>

#include "app/console/console.h"
#include "app/options.h"
#include "modes/progress.h"
#include "modes/units.h"

namespace {

struct Parsed {
    Entry entry;
    std::int32_t value;
    std::string left;  // what the entry did not consume
};

Parsed parse(const std::string& typed) {
    std::size_t pos = 0;
    std::int32_t value = 77;
    const Entry entry = parse_hex_entry([&] { return pos < typed.size() ? static_cast<unsigned char>(typed[pos++]) : -1; },
                                        value);
    return {entry, value, typed.substr(pos)};
}

bool parse_args(std::vector<const char*> args, Options& o, std::string& error) {
    args.insert(args.begin(), "vantacle");
    const Outcome parsed = parse_options(static_cast<int>(args.size()), args.data(), o);
    error = parsed.why();
    return static_cast<bool>(parsed);
}

// Why options that each parse must not run together; empty when they may.
std::string conflict(const std::vector<const char*>& args) {
    Options o;
    std::string error;
    if (!parse_args(args, o, error)) return "not parsed: " + error;
    return options_conflict(o).why();
}

}  // namespace

// Each entry takes the rest of its line and no more.
TEST(NumberEntry, FollowsHexConversionRules) {
    EXPECT_EQ(parse("12 34\nE").left, "E");
    EXPECT_EQ(parse("1F").left, "");
    const std::pair<const char*, std::int32_t> cases[] = {
        {"12 34\nE", 0x12}, {"1F\nrest", 0x1F}, {"  \n\n\t 1f\n", 0x1F}, {"0x1F\n", 0x1F}, {"0X20\n", 0x20}, {"0xZ\n", 0},
        {"FFFFFFFF\n", -1}, {"-1\n", -1},         {"+a\n", 10},      {"00000000012\n", 0x12}, {"7fffff\n", 0x7FFFFF}};
    for (auto [typed, value] : cases) {
        const Parsed p = parse(typed);
        EXPECT_EQ(p.entry, Entry::number) << typed;
        EXPECT_EQ(p.value, value) << typed;
    }
}

TEST(NumberEntry, NothingConvertibleLeavesTheValue) {
    EXPECT_EQ(parse("xyz\n5\n").left, "5\n");
    for (const char* typed : {"xyz\n", "-\n", "123456789\n", "G\n", "0x100000000\n"}) {
        const Parsed p = parse(typed);
        EXPECT_EQ(p.entry, Entry::nothing) << typed;
        EXPECT_EQ(p.value, 77) << typed;
    }
    EXPECT_EQ(parse("").entry, Entry::ended);
    EXPECT_EQ(parse(" \n \n").entry, Entry::ended);
}

TEST(CommandLine, PortsAndTrace) {
    const struct {
        std::vector<const char*> args;
        Options::Port port;
        unsigned base;
        const char* device;
    } ports[] = {
        {{}, Options::Port::direct, 0x378, "/dev/parport0"},
        {{"--port=direct:0x278"}, Options::Port::direct, 0x278, ""},
        {{"--port=direct:3bc"}, Options::Port::direct, 0x3BC, ""},
        {{"--port=direct:100"}, Options::Port::direct, 0x100, ""},
        {{"--port=direct:FFFC"}, Options::Port::direct, 0xFFFC, ""},
        {{"--port=ppdev"}, Options::Port::ppdev, 0x378, "/dev/parport0"},
        {{"--port=ppdev:/dev/parport1"}, Options::Port::ppdev, 0x378, "/dev/parport1"},
    };
    std::string error;
    for (const auto& p : ports) {
        Options o;
        ASSERT_TRUE(parse_args(p.args, o, error)) << error;
        EXPECT_EQ(o.port, p.port);
        if (p.port == Options::Port::direct) EXPECT_EQ(o.base, p.base);
        else EXPECT_EQ(o.device, p.device);
    }
    Options o;
    ASSERT_TRUE(parse_args({"--trace=t.log"}, o, error));
    EXPECT_EQ(o.trace, "t.log");
    ASSERT_TRUE(parse_args({"--port=sim:card.img,write=on,ncr=8,idle=never,access=0,cmd0=00,cmd1=05,token=09,link=down"},
                           o, error))
        << error;
    EXPECT_EQ(o.port, Options::Port::sim);
    EXPECT_EQ(o.sim.image, "card.img");
    EXPECT_TRUE(o.sim.writable && o.sim.never_ready && o.sim.link_down);
    EXPECT_TRUE(o.sim.ncr == 8 && o.sim.access_bytes == 0 && o.sim.cmd0_answer == 0x00 && o.sim.cmd1_answer == 0x05 &&
                o.sim.read_token == 0x09);
    ASSERT_TRUE(parse_args({"--port=sim:none"}, o, error));
    EXPECT_TRUE(o.sim.empty_socket && o.sim.image.empty());
    ASSERT_TRUE(parse_args({"--port=sim,idle=5"}, o, error));
    EXPECT_TRUE(o.sim.idle_answers == 5 && !o.sim.never_ready);
}

TEST(CommandLine, HexValuesWithOrWithout0x) {
    const std::pair<const char*, SectorRange> ranges[] = {
        {"--test=0x0:0x10", {0, 0x10}}, {"--test=0X1f:20", {0x1F, 0x20}}, {"--test=7ffff0:0x10", {0x7FFFF0, 0x10}}};
    for (auto [arg, range] : ranges) {
        Options o;
        std::string error;
        ASSERT_TRUE(parse_args({arg}, o, error)) << arg << ": " << error;
        EXPECT_TRUE(o.test) << arg;
        EXPECT_EQ(o.range->start, range.start) << arg;
        EXPECT_EQ(o.range->count, range.count) << arg;
    }
    for (const char* arg : {"--test=0x:1", "--test=0:0x", "--test=0x-1:1", "--test=00x1:1", "--test=0x0x1:1"}) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse_args({arg}, o, error)) << arg;
    }
}

TEST(CommandLine, BadValuesNameWhatIsWrong) {
    const std::pair<const char*, const char*> cases[] = {
        {"--port=sim,ncr=0", "ncr (1 to 8)"},   {"--port=sim,ncr", "''"},
        {"--port=sim,cmd0=100", "cmd0"},        {"--port=sim,write=yes", "write"},
        {"--port=sim,x=1", "unknown simulated-card setting 'x'"},
        {"--port=simulator", "unknown port"},   {"--port=direct:0", "bad port base"},
        {"--port=direct:FFFF", "bad port base"}, {"--port=direct:80", "bad port base"},
        {"--port=direct:37A", "bad port base"}, {"--port=ppdev:", "unknown port"}, {"--trace=", "--trace needs =FILE"},
        {"--dump", "--dump needs =FILE"}, {"--verify=", "--verify needs =FILE"}, {"--load", "--load needs =FILE"},
        {"--backup", "--backup needs =FILE"}, {"--range", "--range needs =START:COUNT"},
        {"--port", "--port needs =PORT: direct[:BASE], ppdev[:DEVICE], spidev:DEVICE, ftdi[:SERIAL], ftdi-bitbang[:SERIAL] or sim[:IMAGE]"}, {"--port=", "--port needs"},
        {"--fill=12345678X", "bad seed"}, {"-x", "unknown option '-x'"},
        {"--port=sim,ncr=2,idle=3,ncr=2", "simulated-card setting ncr is given twice: give it once"}};
    for (auto [arg, message] : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse_args({arg}, o, error)) << arg;
        EXPECT_NE(error.find(message), std::string::npos) << arg << ": " << error;
    }
}

// Each mode with what goes with it, and the one line for what does not.
TEST(CommandLine, ModesAndWhatGoesWithThem) {
    const std::string replaces = "replace the browser: give one of them";
    const struct {
        std::vector<const char*> args;
        std::string refused;  // empty when the options run together
    } cases[] = {
        {{"--crc"}, ""},
        {{"--info", "--test"}, "--info, --test, --dump, --verify, --load, --probe, --serve and --fill each " + replaces},
        {{"--info", "--serve=s"}, "--info, --test, --dump, --verify, --load, --probe, --serve and --fill each " + replaces},
        {{"--test", "--fill"}, "--test cannot run together with --dump, --verify, --load, --probe, --serve or --fill"},
        {{"--info", "--lock"}, "--protect, --unprotect, --set-password, --clear-password, --lock, --force-erase and --erase "
                               "each " + replaces},
        {{"--dump=f", "--erase"}, "--protect, --unprotect, --set-password, --clear-password, --lock, --force-erase and "
                                  "--erase each " + replaces},
        {{"--lock", "--info", "--test"},
         "--info, --test, --dump, --verify, --load, --probe, --serve and --fill each " + replaces},
        {{"--lock", "--test", "--dump=f"},
         "--test cannot run together with --dump, --verify, --load, --probe, --serve or --fill"},
        // --restore runs alone, whichever mode comes with it.
        {{"--dump=f", "--restore=j"}, "--restore runs on its own: give no other mode with it"},
        {{"--test", "--restore=j"}, "--restore runs on its own: give no other mode with it"},
        {{"--restore=j", "--lock"}, "--restore runs on its own: give no other mode with it"},
        {{"--test=0:1", "--report=r.svg"}, ""},
        {{"--erase", "--range=0:1"}, ""},
        {{"--fill", "--range=0:1", "--backup=b", "--force", "--report=r.csv"}, ""},
        {{"--dump=f", "--range=0:1", "--map=m", "--retries=3", "--sparse", "--force"}, ""},
        {{"--verify=f", "--map=m", "--report=r.svg"}, ""},
        {{"--serve=s", "--writable"}, ""},
        {{"--probe", "--range=0:1"}, "--range goes with --test, --dump, --verify, --load, --fill or --erase"},
        {{"--range=0:1"}, "--range goes with --test, --dump, --verify, --load, --fill or --erase"},
        {{"--dump=f", "--backup=b"}, "--backup goes with --fill"},
        {{"--fill", "--force"}, "--force goes with --dump or --backup"},
        {{"--load=f", "--force"}, "--force goes with --dump or --backup"},
        {{"--probe", "--map=m"}, "--map goes with --dump, --verify or --load"},
        {{"--dump=f", "--retries=2"}, "--retries goes with --dump and --map"},
        {{"--load=f", "--map=m", "--retries=2"}, "--retries goes with --dump and --map"},
        {{"--verify=f", "--sparse"}, "--sparse goes with --dump"},
        {{"--load=f", "--writable"}, "--writable goes with --serve"},
        {{"--serve=s", "--report=r.svg"}, "--report goes with --test, --dump, --verify, --load, --probe or --fill"},
        {{"--lock", "--report=r.svg"}, "--report goes with --test, --dump, --verify, --load, --probe or --fill"},
        {{"--probe", "--report=r.txt"}, "--report=r.txt: name a .svg or .csv file"},
        {{"--dump=f", "--dump=g"}, "not parsed: --dump is given twice: give it once"},
        {{"--dump=f", "--map=m", "--retries=2", "--retries=3"}, "not parsed: --retries is given twice: give it once"},
        {{"--test", "--force", "--force"}, "not parsed: --force is given twice: give it once"},
        {{"--station=a", "--station=b"}, "not parsed: --station is given twice: give it once"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> args{"--port=sim,write=on"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(conflict(args), c.refused) << c.args.front();
    }
}

// A mode that writes needs write=on on the simulated card and --yes on a real port.
TEST(CommandLine, ModesThatWriteNeedWriteAccess) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"--test"}, "the surface test writes to the card and restores each sector"},
        {{"--load=f"}, "--load writes to the card"},
        {{"--probe"}, "--probe writes to the card and restores what it wrote over"},
        {{"--serve=s", "--writable"}, "--writable lets clients write to the card"},
        {{"--fill"}, "--fill writes over every sector it tests"},
        {{"--erase"}, "--erase erases sectors of the card"},
        {{"--force-erase"}, "--force-erase erases the whole card and its password"},
        {{"--unprotect"}, "--protect and --unprotect change the card's CSD"},
        {{"--lock"}, "--set-password, --clear-password and --lock change the card's password"},
        {{"--clear-password"}, "--set-password, --clear-password and --lock change the card's password"},
    };
    const std::pair<const char*, std::string> ports[] = {{"--port=sim", ": open the simulated card with write=on"},
                                                         {"--port=ppdev", ": add --yes to run it on a real port"}};
    for (const auto& [mode, writes] : cases) {
        for (const auto& [port, needs] : ports) {
            std::vector<const char*> args{port};
            args.insert(args.end(), mode.begin(), mode.end());
            EXPECT_EQ(conflict(args), writes + needs) << mode.front();
            args.push_back("--yes");
            EXPECT_EQ(conflict(args), std::string(port) == "--port=sim" ? writes + needs : "") << mode.front();
        }
    }
    for (const char* reads : {"--info", "--dump=f", "--verify=f", "--serve=s", "--crc"})
        EXPECT_EQ(conflict({"--port=ppdev", reads}), "") << reads;
}

TEST(Numbers, SizesDurationsAndTheProgressLine) {
    const std::pair<std::uint64_t, const char*> sizes[] = {
        {512, "512 bytes"}, {4096, "4.10 kB"}, {1050624, "1.05 MB"}, {33554432, "33.6 MB"},
        {7969177600, "7.97 GB"}, {2199022731264, "2.20 TB"}};
    for (auto [bytes, text] : sizes) EXPECT_EQ(size_text(bytes), text) << bytes;
    const std::pair<std::uint64_t, const char*> durations[] = {
        {0, "0:00:00"}, {187, "0:03:07"}, {96000, "1 day 2:40:00"}, {3 * 86400 + 9600, "3 days 2:40:00"}, {86399, "23:59:59"}};
    for (auto [seconds, text] : durations) EXPECT_EQ(duration_text(seconds), text) << seconds;
    const struct {
        std::uint64_t done, total;
        double seconds;
        const char* line;
    } lines[] = {
        {12288, 65536, 151, "\r12288 of 65536 sectors (18.8%), 0:02:31 elapsed, 41.7 kB/s, 0:10:54 left  "},
        {100, 0, 2, "\r100 sectors, 0:00:02 elapsed, 25.6 kB/s  "},
        {1000, 15523840, 12.8, "\r1000 of 15523840 sectors (0.0%), 0:00:12 elapsed, 40.0 kB/s, 2 days 7:11:32 left  "},
        {0, 64, 0, "\r0 of 64 sectors (0.0%), 0:00:00 elapsed, 0.0 kB/s  "},
    };
    for (const auto& l : lines) EXPECT_EQ(progress_text(l.done, l.total, l.seconds), l.line);
}
