// The drive roots the desktop program browses from, read from a mountinfo listing.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/disk.h"

TEST(DriveRoots, RootThenUserMountsOnly) {
  std::istringstream info(
      "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "23 22 0:5 / /proc rw - proc proc rw\n"
      "24 22 0:6 / /sys rw - sysfs sysfs rw\n"
      "25 22 0:7 / /run rw - tmpfs tmpfs rw\n"
      "30 22 8:17 / /media/ann/USB\\040STICK rw - vfat /dev/sdb1 rw\n"
      "31 22 8:33 / /mnt/backup rw - ext4 /dev/sdc1 rw\n"
      "32 25 8:49 / /run/media/ann/CARD rw - exfat /dev/sdd1 rw\n"
      "33 22 8:50 / /mnt rw - ext4 /dev/sde1 rw\n"
      "34 22 8:33 / /mnt/backup rw - ext4 /dev/sdc1 rw\n"
      "35 22 0:40 / /home rw - ext4 /dev/sda2 rw\n"
      "garbage\n");
  EXPECT_EQ(Plat_DriveRootsIn(info),
            (std::vector<std::string>{"/", "/media/ann/USB STICK/", "/mnt/backup/",
                                      "/run/media/ann/CARD/"}));
  std::istringstream empty("");
  EXPECT_EQ(Plat_DriveRootsIn(empty), std::vector<std::string>{"/"});
}
