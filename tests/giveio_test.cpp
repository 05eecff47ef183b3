// Port access on a system without the driver: the backend decides the level.
#include <gtest/gtest.h>

#include "portaccess/giveio.h"
#include "tests/recording_port.h"

TEST(PortAccess, LevelOneWhenTheBackendHasAccessAndBackToZeroOnStop) {
    record_scripted({});
    record_access_rules("", false);
    EXPECT_EQ(giveio_start(), 1);
    EXPECT_EQ(giveio_stop(1), 0);
    EXPECT_TRUE(recorded().empty());
}

TEST(PortAccess, RefusedAccessGivesLevelZeroAndSaysWhy) {
    record_scripted({});
    record_access_rules("cannot access I/O ports 0x378-0x379: denied; run as root", false);
    EXPECT_EQ(giveio_start(), 0);
    EXPECT_EQ(giveio_failure(), "cannot access I/O ports 0x378-0x379: denied; run as root");
}

TEST(PortAccess, FailedReleaseIsReportedByTheLevel) {
    record_scripted({});
    record_access_rules("", true);
    EXPECT_EQ(giveio_start(), 1);
    EXPECT_EQ(giveio_stop(1), 1);
    record_access_rules("", false);
}
