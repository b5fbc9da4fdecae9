// The scanner over logs built from bytes in the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dulk.h"
#include "scan_util.h"

using dulk_test::scan_log;

TEST(Scan, ForumHeaderTakesNumberAndFollowUpLine) {
  auto t = scan_log("00123/00045 xx\n 12\nbody\n");
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.titles[0], "00123/00045 xx");
  EXPECT_EQ(dulk::tent[0].num, 123);
  EXPECT_EQ(dulk::tent[0].msghead, 1);
  EXPECT_EQ(dulk::tent[0].offset, 15);
  EXPECT_EQ(dulk::tent[0].group, 12);
}
