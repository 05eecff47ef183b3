// The terminal stays the user's: bytes a card sends as text never reach it
// raw, modes that read no keys never change its settings, a trace that
// would block is refused at once, and one that blocks later never holds off
// the signal that ends the run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <csignal>
#include <termios.h>
#include <unistd.h>

#include "tests/fixtures/expected_text.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"

TEST(Terminal, CardTextIsShownWithUnprintableBytesEscaped) {
    const struct {
        std::string settings;
        std::string identity;
    } cases[] = {
        {"card=sd2,cid=031B5B53443038470080FFFFFF0171FF", "manufacturer: 03 (SanDisk), OEM: \\x1B[, product: SD08G, revision 0.0\n"},
        {"cid=561B631B5B324A07100A1B2C03009B85", "manufacturer: 56 (unknown), OEM: \\x1Bc, product: \\x1B[2J\\x07\\x10, revision 0.10\n"},
        {"card=sd2,cid=03534D5C5C0A7F803230FFFFFF0171FF", "manufacturer: 03 (SanDisk), OEM: SM, product: \\x5C\\x5C\\x0A\\x7F\\x80, revision 3.2\n"},
    };
    for (const auto& c : cases) {
        const auto r = run_piped({"--port=sim," + c.settings, "--info"}, "");
        EXPECT_NE(r.out.find(c.identity), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find('\x1B'), std::string::npos) << c.settings;
    }
}

// A FIFO with nothing reading it would hold the open for ever.
TEST(Terminal, ATraceToAFifoThatNothingReadsIsRefusedAtOnce) {
    for (const std::string name : {"trace", "trace.vcd"}) {
        TempFile dir;
        ASSERT_EQ(::mkdir(dir.path.c_str(), 0700), 0);
        const std::string fifo = dir.path + "/" + name;
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const auto r = run_piped({"--port=sim", "--trace=" + fifo, "--info"}, "");
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_EQ(r.err, "vantacle: cannot write trace " + fifo + ": a FIFO that nothing reads\n");
        std::remove(fifo.c_str());
        ::rmdir(dir.path.c_str());
    }
}

// A trace or a dump into a FIFO whose reader stops reading once the pipe is
// full: each ending signal still ends the run, which says it stopped.
TEST(Terminal, AFifoThatStopsReadingDoesNotHoldOffEndingSignals) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const std::string target : {"--trace=", "--dump="}) {
            TempFile dir;
            ASSERT_EQ(::mkdir(dir.path.c_str(), 0700), 0);
            const std::string fifo = dir.path + "/out";
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0);
            const int capacity = ::fcntl(reader, F_GETPIPE_SZ);
            const std::string image = dir.path + "/image";
            PtySession pty({"--port=sim", target + fifo, target == "--dump=" ? "--force" : "--dump=" + image, "--range=0:4000"});
            for (int queued = 0; queued < capacity;) {
                ASSERT_EQ(::ioctl(reader, FIONREAD, &queued), 0);
                if (queued < capacity) ::usleep(1000);  // polls for the pipe to fill; no time limit
            }
            pty.signal(signal);
            EXPECT_EQ(pty.finish(), 128 + signal) << target << " signal " << signal << "\n" << pty.transcript();
            ::close(reader);
            std::remove(fifo.c_str());
            std::remove(image.c_str());
            ::rmdir(dir.path.c_str());
        }
    }
}

// The browser takes single keys; a dump reads none and leaves the terminal
// exactly as it found it (so that it can run in the background, where
// changing the terminal would stop it).
TEST(Terminal, ModesThatReadNoKeysLeaveTheTerminalAlone) {
    TestImage image(1 << 14);
    TempFile out;
    PtySession dump({"--port=sim:" + image.path() + ",access=300", "--dump=" + out.path});
    const termios before = dump.mode();
    ASSERT_TRUE(dump.wait_for("Initialize MMC Card for SPI mode:OK"));
    EXPECT_TRUE(dump.mode().c_lflag & ICANON);
    EXPECT_EQ(dump.finish(), 0);
    EXPECT_EQ(dump.mode().c_lflag, before.c_lflag);

    PtySession browser({"--port=sim"});
    ASSERT_TRUE(browser.wait_for(expected::prompt));
    EXPECT_FALSE(browser.mode().c_lflag & ICANON);
    browser.type("e");
    EXPECT_EQ(browser.finish(), 0);
}
