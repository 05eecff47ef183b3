// The real-port backends, direct I/O and ppdev: the system calls they make,
// in order, with the system stood in for; and ppdev for real against device
// nodes that cannot be used.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "card/card.h"
#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "link/bitbang_link.h"
#include "port/direct_port.h"
#include "port/ppdev_port.h"
#include "sim/sim_card.h"
#include "tests/fixtures/fake_system.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {


const Calls ppdev_claimed{"open /dev/parport0 rw cloexec", "ioctl 3 PPEXCL", "alarm 3000", "ioctl 3 PPCLAIM",
                          "alarm 0"};
const Calls sudo_drop{"setgroups 1001", "setresgid 1001 1001 1001", "setresuid 1000 1000 1000"};

class RealPort : public ::testing::Test {
protected:
    void SetUp() override {
        fake_system_install();
    }
    std::unique_ptr<LineDriver> port = std::make_unique<DirectPort>();
    spi::BitBangLink link{*port};
    Card card{link};
    void select_port(std::unique_ptr<LineDriver> chosen) {
        port = std::move(chosen);
        link.route_through(*port);
    }
    void TearDown() override { fake_system_remove(); }

    static void under_sudo() {
        fake_ids(0, 0, 0);
        fake_env("SUDO_UID", "1000");
        fake_env("SUDO_GID", "1001");
    }
    // The line that says why the port was refused.
    std::string refused() {
        const Outcome acquired = port->acquire();
        return acquired ? "not refused" : acquired.why();
    }
};

}  // namespace

TEST_F(RealPort, DirectAsksForDataAndStatusOnlyOrSaysWhyNot) {
    select_port(std::make_unique<DirectPort>(0x278));
    EXPECT_TRUE(port->acquire());
    fake_fail("ioperm", EINVAL);
    EXPECT_FALSE(port->release());
    EXPECT_EQ(fake_calls(), (Calls{"ioperm 278 2 1", "ioperm 278 2 0"}));
    const std::pair<int, std::string> refusals[] = {
        {EPERM, "Operation not permitted; run as root or with CAP_SYS_RAWIO, or use --port=ppdev"},
        {ENOSYS, "Function not implemented; this system gives no direct port access; use --port=ppdev"}};
    for (const auto& [error, why] : refusals) {
        fake_system_install();
        fake_fail("ioperm", error);
        EXPECT_EQ(refused(), "cannot access I/O ports 0x278-0x279: " + why);
        EXPECT_EQ(fake_calls(), Calls{"ioperm 278 2 1"});
    }
}

// Root is given up right after ioperm, for whoever ran the program; when
// that cannot be done the access is given back.
TEST_F(RealPort, DirectGoesBackToTheInvokingUser) {
    const std::string unknown =
        "cannot tell which user ran sudo (SUDO_UID and SUDO_GID are not plain numbers); not running on as root";
    const Calls on{"ioperm 378 2 1"}, off{"ioperm 378 2 0"};
    struct Case {
        uid_t uid, euid;
        gid_t gid;
        const char* sudo_uid;
        Calls calls;
        std::string refusal = "not refused";
        const char* failing = nullptr;
    };
    const Case cases[] = {
        {1000, 1000, 1000, nullptr, on + off},      // a plain user: nothing to give up
        {0, 0, 0, "1000", on + sudo_drop + off},    // sudo
        {0, 0, 0, nullptr, on + off},               // root itself
        {0, 0, 0, "0", on + off},                   // root through sudo
        {1000, 0, 1001, "0", on + sudo_drop + off},  // set-user-ID: the real user, whatever the environment says
        {0, 0, 0, "1000", on + sudo_drop + off, "cannot give up root for user 1000: Operation not permitted", "setresuid"},
        {0, 0, 0, "", on + off, unknown},
        {0, 0, 0, "10x0", on + off, unknown},
        {0, 0, 0, "-1", on + off, unknown},
        {0, 0, 0, "99999999999", on + off, unknown},
    };
    select_port(std::make_unique<DirectPort>(0x378));
    for (const auto& c : cases) {
        fake_system_install();
        fake_ids(c.uid, c.euid, c.gid);
        if (c.sudo_uid) {
            fake_env("SUDO_UID", c.sudo_uid);
            fake_env("SUDO_GID", "1001");
        }
        if (c.failing) fake_fail(c.failing, EPERM);
        EXPECT_EQ(refused(), c.refusal) << "case " << &c - cases;
        if (c.refusal == "not refused") {
            EXPECT_TRUE(port->release());
        }
        EXPECT_EQ(fake_calls(), c.calls) << "case " << &c - cases;
    }
}

// The claim: exclusive, else plain on a fresh descriptor where another
// driver has the port registered; every refusal says why and closes.
TEST_F(RealPort, PpdevClaimOrTheLineThatSaysWhyNot) {
    const std::string busy = "cannot claim /dev/parport0: the port is busy, another driver or program holds it";
    const Calls reopened{"close 3", "open /dev/parport0 rw cloexec", "alarm 3000", "ioctl 4 PPCLAIM", "alarm 0"};
    const Calls opened{"open /dev/parport0 rw cloexec"};
    const struct {
        std::vector<std::pair<const char*, int>> failing;
        std::string refusal;  // empty: acquired, then released
        Calls calls;
    } cases[] = {
        {{}, "", ppdev_claimed + Calls{"ioctl 3 PPRELEASE", "close 3"}},
        {{{"PPCLAIM", ENXIO}}, "", ppdev_claimed + reopened + Calls{"ioctl 4 PPRELEASE", "close 4"}},
        {{{"PPEXCL", EINVAL}}, "", ppdev_claimed + Calls{"ioctl 3 PPRELEASE", "close 3"}},
        {{{"PPCLAIM", ENXIO}, {"PPCLAIM", ENXIO}}, busy, ppdev_claimed + reopened + Calls{"close 4"}},
        {{{"PPEXCL", EINVAL}, {"PPCLAIM", EINTR}}, busy, ppdev_claimed + Calls{"close 3"}},
        {{{"PPCLAIM", EIO}}, "cannot claim /dev/parport0: Input/output error", ppdev_claimed + Calls{"close 3"}},
        {{{"PPEXCL", ENOTTY}}, "cannot claim /dev/parport0: it is not a parallel port device",
         opened + Calls{"ioctl 3 PPEXCL", "close 3"}},
        {{{"open", EACCES}},
         "cannot open /dev/parport0: Permission denied; add your user to the lp group (usermod -aG lp USER) and log in "
         "again",
         opened},
        {{{"open", ENOENT}},
         "cannot open /dev/parport0: No such file or directory; load the ppdev module (modprobe ppdev) or name the "
         "device with --port=ppdev:DEVICE",
         opened},
        {{{"open", ENXIO}},
         "cannot open /dev/parport0: No such device or address; no parallel port answers there (is the ppdev module "
         "loaded?)",
         opened},
        {{{"open", EBUSY}}, "cannot open /dev/parport0: Device or resource busy", opened},
    };
    select_port(std::make_unique<PpdevPort>("/dev/parport0"));
    for (const auto& c : cases) {
        fake_system_install();
        for (const auto& [call, error] : c.failing) fake_fail(call, error);
        EXPECT_EQ(refused(), c.refusal.empty() ? "not refused" : c.refusal);
        if (c.refusal.empty()) {
            EXPECT_TRUE(port->release());
        }
        EXPECT_EQ(fake_calls(), c.calls) << c.refusal;
    }
}

// A path that names something else is said to be that, not blamed on the
// ppdev module or the lp group.
TEST_F(RealPort, PpdevPathThatIsNoParallelPortSaysWhatItIs) {
    struct Case {
        mode_t type;
        unsigned major_number;
        const char* is;
    };
    const Case cases[] = {{S_IFREG, 0, "a regular file"},   {S_IFDIR, 0, "a directory"},
                          {S_IFCHR, 4, "a terminal device"}, {S_IFCHR, 136, "a terminal device"},
                          {S_IFCHR, 1, "a character device of another driver"}, {S_IFIFO, 0, "a FIFO"}};
    select_port(std::make_unique<PpdevPort>("/dev/parport1"));
    for (const Case& c : cases) {
        const std::string is = std::string("it is ") + c.is + ", not a parallel port device";
        fake_system_install();
        fake_file(c.type, c.major_number);
        fake_fail("open", EACCES);
        EXPECT_EQ(refused(), "cannot open /dev/parport1: Permission denied; " + is);
        fake_system_install();
        fake_file(c.type, c.major_number);
        fake_fail("PPEXCL", ENOTTY);
        EXPECT_EQ(refused(), "cannot claim /dev/parport1: " + is);
    }
}

// A register access the kernel refuses leaves the link unusable: the card
// layer reports no link instead of what an idle line would read as.
TEST_F(RealPort, PpdevRefusedRegisterAccessMarksTheLinkDown) {
    select_port(std::make_unique<PpdevPort>("/dev/parport0"));
    ASSERT_TRUE(port->acquire());
    fake_fail("PPWDATA", EIO);
    EXPECT_EQ(mmc_init_spi(card), CardResult::no_link);
    EXPECT_TRUE(port->release());

    ASSERT_TRUE(port->acquire());
    EXPECT_TRUE(port->link_ok());
    fake_fail("PPRSTATUS", EIO);
    (void)port->read_status();
    EXPECT_FALSE(port->link_ok());
    EXPECT_TRUE(port->release());
}

TEST_F(RealPort, PpdevFailedReleaseIsReportedAndTheDeviceStillClosed) {
    select_port(std::make_unique<PpdevPort>("/dev/parport0"));
    for (const char* failing : {"PPRELEASE", "close"}) {
        fake_system_install();
        EXPECT_TRUE(port->acquire());
        fake_fail(failing, EIO);
        EXPECT_FALSE(port->release());
        EXPECT_EQ(fake_calls(), (ppdev_claimed + Calls{"ioctl 3 PPRELEASE", "close 3"}));
    }
}

TEST_F(RealPort, PpdevUnderSudoGivesUpRootBeforeTheCardIsTouched) {
    under_sudo();
    select_port(std::make_unique<PpdevPort>("/dev/parport0"));
    EXPECT_TRUE(port->acquire());
    ASSERT_TRUE(mmc_hw_start(card));
    EXPECT_EQ(fake_calls(), ppdev_claimed + sudo_drop + Calls{"ioctl 3 PPWDATA 6"});

    fake_system_install();
    under_sudo();
    fake_fail("setgroups", EPERM);
    EXPECT_EQ(refused(), "cannot give up root for user 1000: Operation not permitted");
    EXPECT_EQ(fake_calls(), (ppdev_claimed + Calls{"setgroups 1001", "ioctl 3 PPRELEASE", "close 3"}));
}

// Bit 7 of PPRSTATUS carries DO inverted, as inb does: a whole card session works.
TEST_F(RealPort, PpdevReadsACardSector) {
    TestImage image(16);
    SimSettings settings;
    settings.image = image.path();
    std::unique_ptr<SimCard> sim;
    ASSERT_TRUE(SimCard::open(settings, sim));
    fake_port_to_sim(*sim);
    select_port(std::make_unique<PpdevPort>("/dev/parport0"));
    ASSERT_TRUE(port->acquire());
    ASSERT_EQ(mmc_init_spi(card), CardResult::ok);
    std::array<std::uint8_t, 512> buf{};
    ASSERT_EQ(spi_read(card, 5, buf), CardResult::ok);
    EXPECT_EQ(0, std::memcmp(buf.data(), image.sector(5), buf.size()));
    mmc_disable(card);
    EXPECT_TRUE(port->release());
    EXPECT_EQ(fake_calls(), (ppdev_claimed + Calls{"ioctl 3 PPRELEASE", "close 3"}));
}

// The program for real: device nodes that cannot be used end at level 0.
namespace {

const std::string no_access = "Vantacle\n\nOpen GIVEIO for WinNT/2K/XP : Can't Access Direct I/O\n";
constexpr int nobody = 65534;

// Root runs the program as nobody, so that refusals are real.
PipedRun unprivileged() {
    PipedRun how;
    how.as_uid = geteuid() == 0 ? nobody : -1;
    return how;
}

}  // namespace

TEST(RealDevice, PpdevNodesThatCannotBeUsed) {
    int master = -1, slave = -1;
    char terminal[64] = {};
    ASSERT_EQ(openpty(&master, &slave, terminal, nullptr, nullptr), 0);
    const std::string tty = terminal;
    const std::pair<std::string, std::string> cases[] = {
        {tty, "vantacle: cannot claim " + tty + ": it is a terminal device, not a parallel port device\n"},
        {"/nonexistent/parport0", "vantacle: cannot open /nonexistent/parport0: No such file or directory; load the "
                                  "ppdev module (modprobe ppdev) or name the device with --port=ppdev:DEVICE\n"},
        {"/dev/null",
         "vantacle: cannot claim /dev/null: it is a character device of another driver, not a parallel port device\n"}};
    for (const auto& [device, line] : cases) {
        const auto r = run_piped({"--port=ppdev:" + device}, "\n");
        EXPECT_EQ(r.out, no_access) << device;
        EXPECT_EQ(r.err, line);
        EXPECT_EQ(r.status, 0);
    }
    close(slave);
    close(master);
}

TEST(RealDevice, PpdevNodeTheUserMayNotOpen) {
    const auto dir = std::filesystem::temp_directory_path() / ("vantacle-ppdev-" + std::to_string(getpid()));
    std::filesystem::create_directory(dir);
    const std::string node = (dir / "parport0").string();
    std::FILE* f = std::fopen(node.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    chmod(dir.c_str(), 0755);
    chmod(node.c_str(), geteuid() != 0 ? 0000 : 0600);
    const bool can_open = geteuid() != 0 && access(node.c_str(), R_OK | W_OK) == 0;
    const auto r = can_open ? RunResult{} : run_piped({"--port=ppdev:" + node}, "\n", unprivileged());
    std::filesystem::remove_all(dir);
    if (can_open) GTEST_SKIP() << "the test user may open any file";
    EXPECT_EQ(r.out, no_access);
    EXPECT_EQ(r.err, "vantacle: cannot open " + node + ": Permission denied; it is a regular file, not a parallel port "
                                                        "device\n");
    EXPECT_EQ(r.status, 0);
}

TEST(RealDevice, DirectRefusedWithoutPrivilege) {
    const auto r = run_piped({"--port=direct"}, "\n", unprivileged());
    EXPECT_EQ(r.out, no_access);
    EXPECT_EQ(r.err.rfind("vantacle: cannot access I/O ports 0x378-0x379: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("use --port=ppdev\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 0);
}
