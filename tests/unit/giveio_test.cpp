// Port access: the levels, the service manager calls behind each, what is
// left registered afterwards, and what the session reports for each.
#include <gtest/gtest.h>

#include "app/console/console.h"
#include "app/session.h"
#include "card/card.h"
#include "portaccess/giveio.h"
#include "tests/fixtures/expected_text.h"
#include "tests/fixtures/fake_scm.h"
#include "tests/fixtures/recording_port.h"
#include "tests/fixtures/test_util.h"

namespace {


const std::string open_device = "CreateFileA \\\\.\\giveio 80000000 0 3 80";
const Calls opened{open_device, "CloseHandle"};
const Calls not_opened{open_device};
const Calls start{"OpenServiceA giveio F01FF", "StartServiceA 0", "CloseServiceHandle"};
const Calls install{"GetFullPathNameA giveio.sys 260",
                    "CreateServiceA giveio giveio F01FF 1 3 1 C:\\work\\giveio.sys", "CloseServiceHandle"};
const Calls failed_install{install[0], install[1]};
const Calls stop{"OpenServiceA giveio F01FF", "ControlService 1", "CloseServiceHandle"};
const Calls remove_service{"OpenServiceA giveio F01FF", "DeleteService", "CloseServiceHandle"};
const Calls failed_open{"OpenServiceA giveio F01FF"};
const Calls version{"GetVersionExA 148"};
const Calls manager{"OpenSCManagerA F003F"};
const Calls close_manager{"CloseServiceHandle"};

class PortAccessNt : public ::testing::Test {
protected:
    void SetUp() override { fake_scm_install(); }
    // Closes a manager connection a failed run left open, through a stop that works.
    void TearDown() override {
        fake_scm_install();
        fake_scm_register(true);
        (void)giveio_stop(3);
        fake_scm_remove();
    }
};

struct Session {
    std::string out, err;
    int status;
};

const std::string no_access = "Vantacle\n\nOpen GIVEIO for WinNT/2K/XP : Can't Access Direct I/O\n";

// A whole session on a ready card whose backend runs port instructions (or
// not), refuses access with the line given, or cannot give the port back.
// Status 1 when the card is never reached.
Session run_on_ready_card(bool needs_driver = true, const std::string& refusal = "", bool release_fails = false) {
    // Up by CMD1, then its OCR twice (a card addressed by byte).
    record_scripted({0x01, 0x00, 0x00, 0x80, 0xFF, 0x80, 0x00, 0x00, 0x80, 0xFF, 0x80, 0x00});
    record_access_rules(refusal, release_fails, needs_driver);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    CardWork work;
    work.run = [](ModeRun&) { return 0; };
    work.status_without_card = 1;
    ConsoleOperator console;
    const int status = run_session(recorded_card(), work, true, console);
    Session s{testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr(), status};
    record_access_rules("", false);
    return s;
}

}  // namespace

TEST_F(PortAccessNt, OtherFamilyOrFailedVersionCallNeedsNoDriver) {
    for (win32::Dword platform : {0u, 1u, 3u}) {
        fake_scm_install(platform);
        EXPECT_EQ(giveio_start(), 1);
        EXPECT_EQ(giveio_stop(1), 0);
        EXPECT_EQ(fake_scm_calls(), version + version) << platform;
    }
    fake_scm_install();
    fake_scm_fail("GetVersionExA", 5);
    EXPECT_EQ(giveio_start(), 1);
}

TEST_F(PortAccessNt, FailedInstallationIsTakenBackAndAgainNextRun) {
    for (int run = 0; run < 2; ++run) {
        fake_scm_install();
        fake_scm_driver_file(false);
        EXPECT_EQ(giveio_start(), 0);
        EXPECT_FALSE(fake_scm_service()) << run;
    }
    // The second run's manager connection is the first run's, still open.
    EXPECT_EQ(fake_scm_calls(), version + not_opened + failed_open + install + start + failed_install + remove_service);

    fake_scm_install();
    fake_scm_fail("CreateFileA", 5);
    EXPECT_EQ(giveio_start(), 0);
    EXPECT_FALSE(fake_scm_service());
    const Calls calls = fake_scm_calls();
    EXPECT_EQ(Calls(calls.end() - 6, calls.end()), stop + remove_service);
}

TEST_F(PortAccessNt, ServiceManagerThatCannotBeOpened) {
    fake_scm_fail("OpenSCManagerA", 5);
    EXPECT_EQ(giveio_start(), 0);
    EXPECT_EQ(fake_scm_calls(), version + not_opened + manager + manager);
    fake_scm_register(true);
    EXPECT_EQ(giveio_start(), 2);
}

// What the user sees at each level, the calls behind it (none given: not
// compared), the service left afterwards (-1 none, 0 stopped, 1 running),
// and when the driver cannot be stopped or removed at the end.
TEST_F(PortAccessNt, SessionReportsEachLevelAndEachFailedStop) {
    using expected::closing;
    const std::string banner = "Vantacle\n\nOpen GIVEIO for WinNT/2K/XP : ";
    const std::string init = "Initialize MMC Card for SPI mode:OK\n";
    struct Case {
        int registered;  // -1 none, 0 stopped, 1 running
        const char* failing;
        std::string out;
        int status;
        int service_after;
        Calls calls = {};
    };
    const Case cases[] = {
        {1, nullptr, banner + "Opened\n" + init + closing, 0, 1, version + opened + version},
        {0, nullptr, banner + "Started: Opened\n" + init + "\nGIVEIO close: Stop :\n", 0, 0,
         version + not_opened + manager + start + opened + version + stop + close_manager},
        {-1, nullptr, banner + "Installed: Started: Opened\n" + init + "\nGIVEIO close: Remove :Stop :\n", 0, -1,
         version + not_opened + manager + failed_open + install + start + opened + version + stop + remove_service +
             close_manager},
        {0, "ControlService", banner + "Started: Opened\n" + init + "\nGIVEIO close: Stop :\nCan't stop GIVEIO\n", 1, 1},
        {-1, "DeleteService",
         banner + "Installed: Started: Opened\n" + init + "\nGIVEIO close: Remove :Stop :\nCan't remove GIVEIO\n", 1, 0},
        {-1, "ControlService",
         banner + "Installed: Started: Opened\n" + init + "\nGIVEIO close: Remove :Stop :\nCan't remove GIVEIO\n", 1, 1},
    };
    for (const Case& c : cases) {
        fake_scm_install();
        if (c.registered >= 0) fake_scm_register(c.registered == 1);
        if (c.failing) fake_scm_fail(c.failing, 5);
        const Session s = run_on_ready_card();
        EXPECT_EQ(s.out, c.out);
        EXPECT_EQ(s.status, c.status);
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(fake_scm_service() ? int(fake_scm_service()->running) : -1, c.service_after) << c.out;
        if (!c.calls.empty()) {
            EXPECT_EQ(fake_scm_calls(), c.calls);
            EXPECT_EQ(fake_scm_open_handles(), 0);
        }
    }
}

TEST_F(PortAccessNt, SessionWithoutDriverOrWithABackendThatNeedsNone) {
    const std::string no_driver = "vantacle: cannot get port access through the giveio driver: is giveio.sys in this "
                                  "directory?";
    const std::string left = no_driver + " The giveio service installed for this run could not be stopped and "
                                         "removed: sc stop giveio, sc delete giveio\n";
    // A service installed for the run that cannot be taken back is named.
    // A service started for the run whose device will not open is left running.
    struct Case {
        std::vector<std::string> failing;
        std::string line;
        bool registered;
        bool stopped_before = false;
    };
    const Case cases[] = {{{}, no_driver + "\n", false},
                          {{"DeleteService"}, left, true},
                          {{"CreateFileA", "ControlService"}, left, false},
                          {{"CreateFileA"}, no_driver + "\n", true, true}};
    for (const Case& c : cases) {
        fake_scm_install();
        if (c.stopped_before) fake_scm_register(false);
        fake_scm_driver_file(c.failing.size() == 2 || c.stopped_before);
        for (const auto& call : c.failing) fake_scm_fail(call, 5);
        const Session refused = run_on_ready_card();
        EXPECT_EQ(refused.out, no_access);
        EXPECT_EQ(refused.err, c.line);
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(fake_scm_service().has_value(), c.registered);
        if (c.stopped_before) {
            EXPECT_TRUE(fake_scm_service()->running);
        }
    }

    fake_scm_install();
    const Session simulated = run_on_ready_card(false);
    EXPECT_EQ(simulated.out, expected::opened + "OK\n" + expected::closing);
    EXPECT_TRUE(fake_scm_calls().empty());
}

// The backend's own acquisition and release, after the driver.
TEST(PortAccess, BackendRefusalAndFailedReleaseInTheSession) {
    const Session refused = run_on_ready_card(false, "cannot access I/O ports 0x378-0x379: denied; run as root");
    EXPECT_EQ(refused.out, no_access);
    EXPECT_EQ(refused.err, "vantacle: cannot access I/O ports 0x378-0x379: denied; run as root\n");
    EXPECT_EQ(refused.status, 1);
    const Session unreleased = run_on_ready_card(false, "", true);
    EXPECT_EQ(unreleased.out, expected::opened + "OK\n" + expected::closing);
    EXPECT_EQ(unreleased.err, "vantacle: the port could not be given back\n");
    EXPECT_EQ(unreleased.status, 1);
}
