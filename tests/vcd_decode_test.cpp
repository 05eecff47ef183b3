// Whole sessions traced as waveforms, read back by sigrok's SPI and SD card
// decoders, and the console and exit status the same with or without a trace.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "tests/program_runner.h"
#include "tests/test_image.h"

namespace {

// The wiring's SPI mode 3: the clock rests high, bits are taken on the rising edge.
const std::string spi = "spi:clk=SCK:mosi=DI:miso=DO:cs=CS:cs_polarity=active-low:cpol=1:cpha=1:"
                        "bitorder=msb-first:wordsize=8";

std::string command_output(const std::string& command) {
    std::string text;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0) << command << "\n" << text;
    return text;
}

std::string decode(const std::string& vcd, const std::string& decoders, const std::string& annotations) {
    return command_output("sigrok-cli -i " + vcd + " -I vcd -P " + decoders + " -A " + annotations + " 2>&1");
}

// The bytes of "spi-1: XX" lines.
std::vector<int> spi_bytes(const std::string& text) {
    std::vector<int> bytes;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) bytes.push_back(std::stoi(line.substr(line.find(':') + 2), nullptr, 16));
    return bytes;
}

// The lines of an annotation text that start with one of the prefixes, less "sdcard_spi-1: ".
std::vector<std::string> lines_starting(const std::string& text, std::initializer_list<std::string> prefixes) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::string rest = line.substr(line.find(": ") + 2);
        for (const auto& prefix : prefixes)
            if (rest.rfind(prefix, 0) == 0) found.push_back(rest);
    }
    return found;
}

// What an access log implies on the SPI bus: a bit at every rising clock with
// CS low, DI as written, DO as the status read after it shows (inverted).
struct Bus {
    std::vector<int> mosi;
    std::vector<std::optional<int>> miso;  // none for bytes only sent
};

Bus bus_of_log(const std::string& path) {
    struct Bit {
        int di;
        std::optional<int> dout;
    };
    std::vector<Bit> bits;
    std::ifstream in(path);
    int data = 0;
    for (std::string kind, hex; in >> kind >> hex;) {
        const int value = std::stoi(hex, nullptr, 16);
        if (kind == "R" && !bits.empty()) bits.back().dout = (value & 0x80) ? 0 : 1;
        if (kind != "W") continue;
        if (!(data & 0x01) && (value & 0x01) && !(value & 0x02)) bits.push_back({(value & 0x04) ? 1 : 0, {}});
        data = value;
    }
    Bus bus;
    for (std::size_t at = 0; at + 8 <= bits.size(); at += 8) {
        int out = 0, back = 0;
        bool read = true;
        for (std::size_t i = at; i < at + 8; ++i) {
            out = out << 1 | bits[i].di;
            back = back << 1 | bits[i].dout.value_or(0);
            read = read && bits[i].dout.has_value();
        }
        bus.mosi.push_back(out);
        bus.miso.push_back(read ? std::optional<int>(back) : std::nullopt);
    }
    return bus;
}

class TracedSession : public ::testing::Test {
protected:
    TestImage image{64};
    const std::string vcd = image.path() + ".vcd";
    const std::string log = image.path() + ".log";
    // Sector 0, then sector 21h at its address.
    const std::string keys = "\n 21\nE";
    void TearDown() override {
        std::remove(vcd.c_str());
        std::remove(log.c_str());
    }
    RunResult run(const std::string& trace) {
        std::vector<std::string> args{"--port=sim:" + image.path()};
        if (!trace.empty()) args.push_back("--trace=" + trace);
        return run_piped(args, keys);
    }
};

}  // namespace

TEST_F(TracedSession, ConsoleAndStatusAreTheSameWithOrWithoutATrace) {
    const RunResult plain = run("");
    ASSERT_EQ(plain.status, 0);
    for (const auto& trace : {vcd, log}) {
        const RunResult traced = run(trace);
        EXPECT_EQ(traced.out, plain.out) << trace;
        EXPECT_EQ(traced.err, plain.err) << trace;
        EXPECT_EQ(traced.status, plain.status) << trace;
    }
}

TEST_F(TracedSession, SdCardDecoderFindsCommandsArgumentsAndAnswers) {
    ASSERT_EQ(run(vcd).status, 0);
    const std::string text = decode(vcd, spi + ",sdcard_spi", "sdcard_spi");
    const std::string cmd1 = "Command: CMD1 (SEND_OP_COND)", zero = "Argument: 0x0000";
    const std::string cmd17 = "Command: CMD17 (READ_SINGLE_BLOCK)";
    // The card stays idle for three CMD1s, then reads sector 0 and sector 21h (byte address 4200h).
    EXPECT_EQ(lines_starting(text, {"Command: ", "Argument: ", "R1: "}),
              (std::vector<std::string>{"Command: CMD0 (GO_IDLE_STATE)", zero, "R1: 0x01",
                                        cmd1, zero, "R1: 0x01", cmd1, zero, "R1: 0x01", cmd1, zero, "R1: 0x01",
                                        cmd1, zero, "R1: 0x00",
                                        cmd17, zero, "R1: 0x00",
                                        cmd17, "Argument: 0x4200", "R1: 0x00"}));
    std::string block = "Block data: [";
    for (int i = 0; i < 512; ++i) block += (i ? ", " : "") + std::to_string(image.sector(0)[i]);
    EXPECT_EQ(lines_starting(text, {"Block data: "}), std::vector<std::string>{block + "]"});
}

TEST_F(TracedSession, SpiDecoderFindsExactlyTheBytesOfTheAccessLog) {
    ASSERT_EQ(run(vcd).status, 0);
    ASSERT_EQ(run(log).status, 0);
    const Bus bus = bus_of_log(log);
    const std::vector<int> mosi = spi_bytes(decode(vcd, spi, "spi=mosi-data"));
    const std::vector<int> miso = spi_bytes(decode(vcd, spi, "spi=miso-data"));
    // CS low: one gap byte, CMD0, four CMD1s and two reads, each with its answers.
    EXPECT_EQ(bus.mosi.size(), 1 + 9 + 4 * 9 + 2 * (9 + 2 + 1 + 512 + 2));
    EXPECT_EQ(mosi, bus.mosi);
    ASSERT_EQ(miso.size(), bus.miso.size());
    std::size_t read = 0;
    for (std::size_t i = 0; i < miso.size(); ++i) {
        if (!bus.miso[i]) continue;
        ++read;
        EXPECT_EQ(miso[i], *bus.miso[i]) << "byte " << i;
    }
    EXPECT_EQ(read, 2 + 4 * 2 + 2 * (2 + 2 + 1 + 512 + 2));
}

TEST_F(TracedSession, UnwritableTraceEndsBeforeTheCard) {
    const std::string full = image.path() + "-full.vcd";
    std::filesystem::create_symlink("/dev/full", full);
    std::ifstream before(image.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
    for (const auto& trace : {std::string("/nonexistent/dir/trace.vcd"), full, image.path()}) {
        const RunResult r = run(trace);
        EXPECT_EQ(r.status, 2) << trace;
        EXPECT_EQ(r.out, "") << trace;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << trace << ": " << r.err;
        EXPECT_EQ(r.err.rfind("vantacle: ", 0), 0u) << r.err;
    }
    std::remove(full.c_str());
    std::ifstream after(image.path(), std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), bytes);
}

TEST_F(TracedSession, SdCardDecoderFindsTheSdWayAndTheRegisterCommands) {
    const RunResult r = run_piped({"--port=sim,card=sdhc,cmd1=05,idle=0", "--info", "--trace=" + vcd}, "");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = decode(vcd, spi + ",sdcard_spi", "sdcard_spi");
    EXPECT_EQ(lines_starting(text, {"Command: "}),
              (std::vector<std::string>{"Command: CMD0 (GO_IDLE_STATE)", "Command: CMD1 (SEND_OP_COND)",
                                        "Command: CMD0 (GO_IDLE_STATE)", "Command: CMD8 (SEND_IF_COND)",
                                        "Command: CMD55 (APP_CMD)", "Command: ACMD41 (SD_SEND_OP_COND)",
                                        "Command: CMD58 (READ_OCR)", "Command: CMD58 (READ_OCR)",
                                        "Command: CMD10 (SEND_CID)", "Command: CMD9 (SEND_CSD)"}));
    EXPECT_EQ(lines_starting(text, {"Argument: 0x01aa", "Argument: 0x40000000"}),
              (std::vector<std::string>{"Argument: 0x01aa", "Argument: 0x40000000"}));
}
