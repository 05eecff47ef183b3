// The waveform trace: the exact Value Change Dump of known port accesses, and
// the accesses themselves left as they are by tracing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <filesystem>
#include <sstream>

#include "card/mmc_if.h"
#include "card/card.h"
#include "card/mmc_spi.h"
#include "port/trace.h"
#include "tests/fixtures/recording_port.h"
#include "tests/fixtures/test_util.h"

namespace {

std::string temp_path(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("vantacle-" + std::to_string(::getpid()) + "-" + name)).string();
}

std::string take_file(const std::string& path) {
    std::string text = file_text(path);
    std::remove(path.c_str());
    return text;
}

std::string header(const char* timescale) {
    return std::string("$version Vantacle port trace $end\n"
                       "$comment one time step per port access $end\n"
                       "$timescale ") +
           timescale +
           " $end\n"
           "$scope module card $end\n"
           "$var wire 1 ! SCK $end\n"
           "$var wire 1 \" CS $end\n"
           "$var wire 1 # DI $end\n"
           "$var wire 1 $ PWR $end\n"
           "$var wire 1 % DO $end\n"
           "$upscope $end\n"
           "$enddefinitions $end\n"
           "#0\n$dumpvars\nx!\nx\"\nx#\nx$\n1%\n$end\n";
}

struct Traced {
    std::vector<std::pair<char, std::uint8_t>> accesses;
    std::array<std::uint8_t, sector_size> sector{};
};

// The recording port's accesses traced for as long as it lives.
struct TracedPort {
    PortTrace trace{recording_port()};
    TracedPort() { recording_link().route_through(trace); }
    ~TracedPort() { recording_link().route_through(recording_port()); }
};

// A whole card session on the simulated card, traced to path (none: untraced).
Traced session(const std::string& path) {
    record_sim(SimSettings{});
    TracedPort port;
    if (!path.empty()) {
        EXPECT_TRUE(port.trace.start(path, TraceClock::per_access));
    }
    Traced t;
    EXPECT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    EXPECT_EQ(spi_read(recorded_card(), 3, t.sector), CardResult::ok);
    mmc_disable(recorded_card());
    EXPECT_TRUE(port.trace.stop());
    for (const auto& a : recorded()) t.accesses.emplace_back(a.kind, a.value);
    return t;
}

}  // namespace

TEST(WaveformTrace, EachAccessIsAStepAndDoChangesWithTheFallingClock) {
    record_scripted({0x5A});
    const std::string path = temp_path("steps.vcd");
    TracedPort port;
    ASSERT_TRUE(port.trace.start(path, TraceClock::per_access));
    for (std::uint8_t value : {0x06, 0xFE, 0xFD, 0xFC, 0xFC, 0xFD}) port.trace.write_data(value);
    EXPECT_EQ(port.trace.read_status(), 0x80);  // DO low: the first bit of 0x5A
    for (std::uint8_t value : {0xF8, 0xF9, 0x39}) port.trace.write_data(value);
    EXPECT_EQ(port.trace.read_status(), 0x00);  // DO high
    port.trace.write_data(0x38);
    ASSERT_TRUE(port.trace.stop());
    // Steps 5 (the same value again) and 7 and 11 (reads) change no wire but
    // keep their microsecond; the supply half on at step 10 is unknown.
    EXPECT_EQ(take_file(path), header("1 us") +
                                   "#1\n0!\n1\"\n1#\n0$\n"
                                   "#2\n1$\n"
                                   "#3\n1!\n0\"\n"
                                   "#4\n0!\n0%\n"
                                   "#6\n1!\n"
                                   "#8\n0!\n0#\n1%\n"
                                   "#9\n1!\n"
                                   "#10\nx$\n"
                                   "#12\n0!\n"
                                   "#13\n");
}

TEST(WaveformTrace, MeasuredTimeRisesWithEveryAccess) {
    record_scripted({0x5A});
    const std::string path = temp_path("measured.vcd");
    TracedPort port;
    ASSERT_TRUE(port.trace.start(path, TraceClock::measured));
    mmc_hw_power(recorded_card(), 1);
    mmc_hw_cs(recorded_card(), 0);
    mmc_serial_out(recorded_card(), 0x40);
    EXPECT_EQ(mmc_serial_in(recorded_card()), 0x5A);
    ASSERT_TRUE(port.trace.stop());
    std::istringstream text(take_file(path));
    std::string line;
    std::vector<unsigned long long> stamps;
    bool ns = false;
    while (std::getline(text, line)) {
        ns = ns || line == "$timescale 1 ns $end";
        if (line[0] == '#') stamps.push_back(std::stoull(line.substr(1)));
    }
    EXPECT_TRUE(ns);
    ASSERT_GT(stamps.size(), 10u);
    for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_LT(stamps[i - 1], stamps[i]);
}

TEST(WaveformTrace, TracingLeavesEveryAccessAsItIs) {
    const Traced plain = session("");
    ASSERT_GT(plain.accesses.size(), 16000u);
    for (const char* name : {"same.vcd", "same.VCD", "same.log"}) {
        const std::string path = temp_path(name);
        const Traced traced = session(path);
        EXPECT_EQ(traced.accesses, plain.accesses) << name;
        EXPECT_EQ(traced.sector, plain.sector) << name;
        // Only a .vcd name (any case) gets the waveform; the rest the access log.
        const bool dump = std::string(name) != "same.log";
        EXPECT_EQ(take_file(path).rfind(dump ? "$version" : "W 06\n", 0), 0u) << name;
    }
}
