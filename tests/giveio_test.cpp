// Port access: the levels, the service manager calls behind each, and what
// is left registered afterwards.
#include <gtest/gtest.h>

#include "app/session.h"
#include "port/port.h"
#include "portaccess/giveio.h"
#include "tests/fake_scm.h"
#include "tests/recording_port.h"

namespace {

using Calls = std::vector<std::string>;

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

Calls operator+(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool no_access(std::string&) { return true; }
bool released() { return true; }
bool usable() { return true; }

// A backend that runs port instructions, as direct I/O does.
void select_direct_io() {
    const PortBackend direct{{nullptr, nullptr, {}}, no_access, released, usable, true};
    port_select(direct);
}

class PortAccessNt : public ::testing::Test {
protected:
    void SetUp() override {
        fake_scm_install();
        select_direct_io();
    }
    // Closes a manager connection a failed run left open, through a stop that works.
    void TearDown() override {
        fake_scm_install();
        fake_scm_register(true);
        giveio_stop(3);
        fake_scm_remove();
    }
};

}  // namespace

TEST(PortAccess, NoDriverNeededAnswersLevelOneAndTheBackendDecides) {
    record_scripted({});
    for (win32::Dword platform : {0u, 1u, 2u, 7u}) {
        fake_scm_install(platform);
        record_access_rules("", false);
        EXPECT_EQ(giveio_start(), 1);
        EXPECT_EQ(giveio_stop(1), 0);
        EXPECT_EQ(fake_scm_calls(), version + version) << platform;
    }
    fake_scm_install(1);
    record_access_rules("cannot access I/O ports 0x378-0x379: denied; run as root", false);
    EXPECT_EQ(giveio_start(), 0);
    EXPECT_EQ(giveio_failure(), "cannot access I/O ports 0x378-0x379: denied; run as root");
    record_access_rules("", true);
    EXPECT_EQ(giveio_stop(1), 1);
    record_access_rules("", false);
    fake_scm_remove();
}

TEST(PortAccess, PortThatCannotBeGivenBackFailsTheRun) {
    for (bool fails : {false, true}) {
        record_scripted({0x01, 0x00});
        record_access_rules("", fails);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = run_session({[] { return 0; }, 0});
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Vantacle\n\nOpen GIVEIO for WinNT/2K/XP : Win95/98/Me\nInitialize MMC Card for SPI mode:OK\n"
                  "\nGIVEIO close: \n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), fails ? "vantacle: the port could not be given back\n" : "");
        EXPECT_EQ(status, fails ? 1 : 0);
    }
    record_access_rules("", false);
}

TEST_F(PortAccessNt, OtherFamilyOrFailedVersionCallUsesThePortsDirectly) {
    for (win32::Dword platform : {0u, 1u, 3u}) {
        fake_scm_install(platform);
        EXPECT_EQ(giveio_start(), 1);
        EXPECT_EQ(giveio_stop(1), 0);
        EXPECT_EQ(fake_scm_calls(), version + version);
    }
    fake_scm_install();
    fake_scm_fail("GetVersionExA", 5);
    EXPECT_EQ(giveio_start(), 1);
}

TEST_F(PortAccessNt, DriverAlreadyRunningOpensAtLevelTwo) {
    fake_scm_register(true);
    EXPECT_EQ(giveio_start(), 2);
    EXPECT_EQ(giveio_stop(2), 0);
    EXPECT_EQ(fake_scm_calls(), version + opened + version);
    EXPECT_TRUE(fake_scm_service()->running);
}

TEST_F(PortAccessNt, RegisteredServiceIsStartedAndLaterStoppedButKept) {
    fake_scm_register(false);
    EXPECT_EQ(giveio_start(), 3);
    EXPECT_EQ(giveio_stop(3), 0);
    EXPECT_EQ(fake_scm_calls(), version + not_opened + manager + start + opened + version + stop + close_manager);
    ASSERT_TRUE(fake_scm_service());
    EXPECT_FALSE(fake_scm_service()->running);
    EXPECT_EQ(fake_scm_open_handles(), 0);
}

TEST_F(PortAccessNt, MissingServiceIsInstalledStartedThenStoppedAndRemoved) {
    EXPECT_EQ(giveio_start(), 4);
    EXPECT_EQ(fake_scm_service()->path, "C:\\work\\giveio.sys");
    EXPECT_EQ(giveio_stop(4), 0);
    EXPECT_EQ(fake_scm_calls(), version + not_opened + manager + failed_open + install + start + opened + version +
                                    stop + remove_service + close_manager);
    EXPECT_FALSE(fake_scm_service());
    EXPECT_EQ(fake_scm_open_handles(), 0);
}

TEST_F(PortAccessNt, FailedInstallationIsTakenBackAndAgainNextRun) {
    fake_scm_driver_file(false);
    for (int run = 0; run < 2; ++run) {
        fake_scm_install();
        fake_scm_driver_file(false);
        EXPECT_EQ(giveio_start(), 0);
        EXPECT_FALSE(fake_scm_service()) << run;
        EXPECT_NE(giveio_failure().find("giveio.sys"), std::string::npos);
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

TEST_F(PortAccessNt, StartedServiceWhoseDeviceWillNotOpenIsLeftRunning) {
    fake_scm_register(false);
    fake_scm_fail("CreateFileA", 5);
    EXPECT_EQ(giveio_start(), 0);
    ASSERT_TRUE(fake_scm_service());
    EXPECT_TRUE(fake_scm_service()->running);
}

TEST_F(PortAccessNt, ServiceManagerThatCannotBeOpened) {
    fake_scm_fail("OpenSCManagerA", 5);
    EXPECT_EQ(giveio_start(), 0);
    EXPECT_EQ(fake_scm_calls(), version + not_opened + manager + manager);
    fake_scm_register(true);
    EXPECT_EQ(giveio_start(), 2);
}

TEST_F(PortAccessNt, FailedStopsAndRemovalsReturnTheLevel) {
    fake_scm_register(false);
    ASSERT_EQ(giveio_start(), 3);
    fake_scm_fail("ControlService", 1051);
    EXPECT_EQ(giveio_stop(3), 3);

    fake_scm_install();
    ASSERT_EQ(giveio_start(), 4);
    fake_scm_fail("ControlService", 1051);
    EXPECT_EQ(giveio_stop(4), 4);
    const Calls calls = fake_scm_calls();
    EXPECT_EQ(Calls(calls.end() - 4, calls.end()), version + stop);
    ASSERT_TRUE(fake_scm_service());

    fake_scm_install();
    ASSERT_EQ(giveio_start(), 4);
    fake_scm_fail("DeleteService", 5);
    EXPECT_EQ(giveio_stop(4), 4);
    EXPECT_FALSE(fake_scm_service()->running);
}

TEST_F(PortAccessNt, BackendsWithoutPortInstructionsNeedNoDriver) {
    record_scripted({});
    EXPECT_EQ(giveio_start(), 1);
    EXPECT_EQ(giveio_stop(1), 0);
    EXPECT_EQ(fake_scm_calls(), version + version);
}
