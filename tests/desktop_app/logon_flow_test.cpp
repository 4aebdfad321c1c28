// The log-on flow's and the tray's decisions over fakes of the service client, the timers and
// the window.
#include "desktop/app/logon_flow.h"

#include <gtest/gtest.h>

TEST(TrayAnimation, EachAnimationUsesItsOwnFrameCount) {
  EXPECT_EQ(AnimationFrameIcon(TrayAnimation::LoggingOn, 3, false), 0);
  EXPECT_EQ(AnimationFrameIcon(TrayAnimation::Transfers, 3, true), 240);
  EXPECT_EQ(AnimationFrameIcon(TrayAnimation::Downloads, 2, false), 354);
}
