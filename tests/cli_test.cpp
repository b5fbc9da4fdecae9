// The command line, run through the real program.
#include <gtest/gtest.h>

#include "pty_driver.h"

using namespace dulk_test;

TEST(E2eCli, QuitKeyEndsWithStatusZero) {
  temp_dir dir;
  dir.write("a.log", "00001/00002 hello\n 1\nbody\n");
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  auto r = run_dulk(o, "q");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("00001/00002 hello"), std::string::npos);
}
