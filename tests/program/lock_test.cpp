// One process per card: a second run on a card image or a port in use is
// refused at once with one line naming who holds it, and the first run
// goes on undisturbed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "base/file_lock.h"
#include "tests/fixtures/expected_text.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

std::string sim(const TestImage& image, const std::string& settings = "") { return "--port=sim:" + image.path() + settings; }

}  // namespace

TEST(Lock, ASecondRunOnAnImageInUseIsRefusedAtOnce) {
    TestImage image(64), other(64);
    TempFile out;
    const std::string writable = sim(image, ",write=on");
    const struct {
        std::string holder;  // the port of the run that holds the image
        std::vector<std::string> second;
        bool refused;
    } cases[] = {
        {writable, {sim(image), "--dump=" + out.path, "--force"}, true},
        {writable, {writable, "--load=" + other.path()}, true},
        {sim(image), {writable, "--probe"}, true},
        {sim(image), {sim(image), "--dump=" + out.path, "--force"}, false},  // two readers share it
    };
    for (const auto& c : cases) {
        PtySession first({c.holder});
        ASSERT_TRUE(first.wait_for(expected::prompt));
        const auto r = run_piped(c.second, "");
        if (c.refused) {
            EXPECT_EQ(r.status, 1) << c.second[1];
            EXPECT_EQ(r.out, "");
            EXPECT_TRUE(std::regex_match(r.err, std::regex("vantacle: card image .* is in use: vantacle \\(pid [0-9]+\\) holds "
                                                           "it; wait for it to end\n")))
                << r.err;
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
        }
        first.type("e");
        EXPECT_EQ(first.finish(), 0);
    }
    // Once the first run has ended, the image is free again.
    EXPECT_EQ(run_piped({writable, "--probe"}, "").status, 0);
}

// The case that lost data: a probe started while a load runs. It is
// refused, and the load finishes with the card holding exactly the file.
TEST(Lock, AProbeDuringALoadIsRefusedAndTheLoadFinishesExactly) {
    TestImage card(2048), source(2048);
    const std::string writable = sim(card, ",write=on,busy=300");
    PtySession load({writable, "--load=" + source.path()});
    ASSERT_TRUE(load.wait_for("Initialize MMC Card for SPI mode:OK"));
    const auto probe = run_piped({writable, "--probe"}, "");
    EXPECT_EQ(probe.status, 1);
    EXPECT_NE(probe.err.find("is in use: vantacle (pid "), std::string::npos) << probe.err;
    EXPECT_EQ(load.finish(), 0);
    EXPECT_NE(load.transcript().find("loaded 2048 sectors, 0 bad"), std::string::npos) << load.transcript();
    EXPECT_TRUE(file_text(card.path()) == file_text(source.path()));
}

TEST(Lock, APortLockIsTakenOnceAndGivenBack) {
    const std::string name = "test-" + std::to_string(::getpid());
    const auto dir = std::filesystem::temp_directory_path() / ("vantacle-lock-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const char* named = std::getenv("VANTACLE_LOCK_DIR");
    const std::string before = named ? named : "";
    ::setenv("VANTACLE_LOCK_DIR", dir.string().c_str(), 1);
    PortLock first, second;
    ASSERT_TRUE(first.take(name));
    EXPECT_TRUE(std::filesystem::exists(dir / ("vantacle-" + name + ".lock")));
    const Outcome refused = second.take(name);
    EXPECT_FALSE(refused);
    EXPECT_TRUE(refused.held_elsewhere());
    EXPECT_EQ(refused.why(), "the port " + name + " is in use: another program holds it; wait for it to end");
    first.give_back();
    EXPECT_FALSE(std::filesystem::exists(dir / ("vantacle-" + name + ".lock")));
    EXPECT_TRUE(second.take(name));
    second.give_back();
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "no lock file is left behind";
    ::setenv("VANTACLE_LOCK_DIR", before.c_str(), 1);
    std::filesystem::remove_all(dir);
}

// A run gives its port lock back and leaves no lock file behind in the
// directory the test names.
TEST(Lock, PortLockFilesAreGoneWhenTheRunEnds) {
    const auto r = run_piped({"--port=ppdev:/dev/null"}, "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(program_lock_dir() + "/vantacle-ppdev-dev-null.lock"));
}
