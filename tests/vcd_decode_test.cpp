// Whole sessions traced as waveforms, read back by sigrok's SD card decoder,
// and the console and exit status the same with or without a trace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tests/program_runner.h"
#include "tests/test_image.h"

namespace {

// The wiring's SPI mode 3: the clock rests high, bits are taken on the rising edge.
const std::string spi = "spi:clk=SCK:mosi=DI:miso=DO:cs=CS:cs_polarity=active-low:cpol=1:cpha=1:"
                        "bitorder=msb-first:wordsize=8";

bool have_sigrok() { return std::system("command -v sigrok-cli >/dev/null 2>&1") == 0; }

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

// The lines of an annotation text that start with one of the prefixes, less "sdcard_spi-1: ".
std::vector<std::string> lines_starting(const std::string& text, std::initializer_list<std::string> prefixes) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(": ");
        if (colon == std::string::npos) continue;  // the decoder's own complaints
        const std::string rest = line.substr(colon + 2);
        for (const auto& prefix : prefixes)
            if (rest.rfind(prefix, 0) == 0) found.push_back(rest);
    }
    return found;
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

TEST_F(TracedSession, SdCardDecoderFindsCommandsArgumentsAndAnswers) {
    const RunResult plain = run(""), traced = run(vcd);
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(traced.err, plain.err);
    ASSERT_EQ(traced.status, 0);
    if (!have_sigrok()) GTEST_SKIP() << "sigrok-cli is not installed";
    const std::string text = decode(vcd, spi + ",sdcard_spi", "sdcard_spi");
    const std::string cmd1 = "Command: CMD1 (SEND_OP_COND)", zero = "Argument: 0x0000";
    const std::string cmd17 = "Command: CMD17 (READ_SINGLE_BLOCK)";
    // The card stays idle for three CMD1s, then reads sector 0 and sector 21h
    // (byte address 4200h): the known sequence, nothing between.
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

// A FIFO is compared with the card image without being opened for reading,
// which would wait for a writer that never comes.
TEST_F(TracedSession, FifoTraceWithAReaderWorksWithAnImage) {
    const std::string fifo = image.path() + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::atomic<bool> ended{false};
    std::string received;
    std::thread drain([&] {
        char chunk[65536];
        for (bool last = false; !last;) {
            last = ended;
            for (ssize_t n; (n = read(reader, chunk, sizeof chunk)) > 0;) received.append(chunk, static_cast<std::size_t>(n));
            if (!last) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const RunResult r = run_piped({"--port=sim:" + image.path(), "--trace=" + fifo}, keys);
    ended = true;
    drain.join();
    close(reader);
    std::remove(fifo.c_str());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, run("").out);
    ASSERT_GT(received.size(), 10u);
    EXPECT_EQ(received.substr(0, 10), "W 06\nW FE\n");
    EXPECT_EQ(received.substr(received.size() - 5), "W 00\n");
}

// The decoder knows no SCR data block and stops decoding at ACMD51.
TEST_F(TracedSession, SdCardDecoderFindsTheSdWayAndTheRegisterCommands) {
    const RunResult r = run_piped({"--port=sim,card=sdhc,cmd1=05,idle=0", "--info", "--trace=" + vcd}, "");
    ASSERT_EQ(r.status, 0) << r.err;
    if (!have_sigrok()) GTEST_SKIP() << "sigrok-cli is not installed";
    const std::string text = decode(vcd, spi + ",sdcard_spi", "sdcard_spi");
    EXPECT_EQ(lines_starting(text, {"Command: "}),
              (std::vector<std::string>{"Command: CMD0 (GO_IDLE_STATE)", "Command: CMD1 (SEND_OP_COND)",
                                        "Command: CMD0 (GO_IDLE_STATE)", "Command: CMD8 (SEND_IF_COND)",
                                        "Command: CMD55 (APP_CMD)", "Command: ACMD41 (SD_SEND_OP_COND)",
                                        "Command: CMD58 (READ_OCR)", "Command: CMD58 (READ_OCR)", "Command: CMD9 (SEND_CSD)",
                                        "Command: CMD13 (SEND_STATUS)", "Command: CMD58 (READ_OCR)", "Command: CMD10 (SEND_CID)",
                                        "Command: CMD9 (SEND_CSD)", "Command: CMD13 (SEND_STATUS)",
                                        "Command: CMD55 (APP_CMD)", "Command: ACMD51 (SEND_SCR)"}));
    EXPECT_EQ(lines_starting(text, {"Argument: 0x01aa", "Argument: 0x40000000"}),
              (std::vector<std::string>{"Argument: 0x01aa", "Argument: 0x40000000"}));
}
