// Where a card ends, and the files around a whole-card run: the end of the
// card is only what every attempt agrees on, and no file the user named is
// emptied, waited on or made before the card is up.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "card/card.h"
#include "card/mmc_spi.h"
#include "tests/card_script.h"
#include "tests/program_runner.h"
#include "tests/recording_port.h"
#include "tests/test_image.h"

namespace {

std::array<std::uint8_t, 512> buf;

std::string scratch(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("vantacle-end-" + std::to_string(::getpid()) + "-" + name)).string();
}

}  // namespace

// R1 0x20 is the card's address error; a noisy line can fake it once.
TEST(CardEnd, OnlyEveryAttemptAgreeingMeansPastTheEnd) {
    const Bytes block = data_block(counting(512, 3));
    const std::pair<Bytes, CardResult> cases[] = {
        {Bytes{0x20} + Bytes{0x00, 0xFF} + block + Bytes{0x00, 0xFF} + block, CardResult::ok},
        {Bytes{0x20, 0x20, 0x20, 0x20}, CardResult::out_of_range},
        {Bytes{0x20, 0x01, 0x20, 0x20}, CardResult::rejected},
        {Bytes{0x20, 0x00, 0xFF} + data_block(counting(512, 3), 1) + Bytes{0x20, 0x20}, CardResult::bad_crc},
    };
    for (const auto& [answers, result] : cases) {
        record_scripted(Bytes{0x01, 0x00} + answers);
        ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
        EXPECT_EQ(spi_read(recorded_card(), 9, buf), result);
    }
}

TEST(CardEnd, FilesOfAWholeCardRunAreKeptSafe) {
    TestImage image(16);
    const std::string kept = scratch("kept.bin"), fifo = scratch("fifo"), made = scratch("made.bin");
    std::ofstream(kept, std::ios::binary) << std::string(1024, 'k');
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string card = "--port=sim:" + image.path() + ",write=on";
    const std::vector<std::vector<std::string>> refused{
        {card, "--load=" + kept, "--trace=" + kept},            // the trace would empty the file to load
        {card, "--dump=" + kept, "--force", "--trace=" + kept}, // or write into the dump
        {card, "--verify=" + fifo},                             // nothing to wait on
        {card, "--load=" + fifo},
        {card, "--verify=" + std::filesystem::temp_directory_path().string()},
    };
    for (const auto& args : refused) {
        const RunResult r = run_piped(args, "");
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(std::filesystem::file_size(kept), 1024u);
    // A card that never comes up leaves no dump file behind.
    const RunResult dead = run_piped({"--port=sim,cmd0=05", "--dump=" + made}, "");
    EXPECT_EQ(dead.status, 1);
    EXPECT_FALSE(std::filesystem::exists(made));
    for (const auto& path : {kept, fifo}) std::remove(path.c_str());
}

// The smallest SDXC card holds exactly 32 GiB; an SDHC card stops below it.
TEST(CardEnd, ThirtyTwoGibibytesIsAlreadySdxc) {
    const std::string image = scratch("32g.img");
    for (auto [bytes, type] : {std::pair{32ull << 30, "SDXC"}, std::pair{(32ull << 30) - (512 << 10), "SDHC"}}) {
        std::ofstream{image};
        std::filesystem::resize_file(image, bytes);
        const RunResult r = run_piped({"--port=sim:" + image + ",card=sdxc", "--info"}, "");
        EXPECT_NE(r.out.find(std::string("\ncard: ") + type + "\n"), std::string::npos) << r.out;
    }
    std::remove(image.c_str());
}
