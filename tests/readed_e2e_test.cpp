// The read-state file through the real program: loaded at start, stored at quit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "dulk.h"
#include "pty_driver.h"

using namespace dulk_test;

namespace {

const char* kTwoTitles = "00001/00002 one\n 1\nbody\n00003/00004 two\n 1\nbody\n";

TEST(E2eReaded, FirstRunWarnsAndQuitStoresOneLine) {
  temp_dir dir;
  dir.write("a.log", kTwoTitles);
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  auto r = run_dulk(o, "q");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Warning : create dk_readed file.\n"), std::string::npos);
  EXPECT_EQ(dir.read("dk_readed"), "a.log 00\n");
  EXPECT_FALSE(dir.exists("dk_rtmp"));
}

TEST(E2eReaded, QuitKeepsOtherLogsAndTheLinesPlace) {
  temp_dir dir;
  dir.write("a.log", kTwoTitles);
  dir.write("dk_readed", "b.log 1\na.log 11011\nc.log 0\n");
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  auto r = run_dulk(o, "q");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.find("Warning"), std::string::npos);
  EXPECT_EQ(dir.read("dk_readed"), "b.log 1\na.log 11\nc.log 0\n");
}

TEST(E2eReaded, LeftoverOfAnInterruptedRewriteIsRestored) {
  temp_dir dir;
  dir.write("a.log", kTwoTitles);
  dir.write("dk_readed", "b.log 1\na.lo");  // cut short
  dir.write("dk_rtmp", "b.log 1\na.log 10\n");
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  auto r = run_dulk(o, "q");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir.read("dk_readed"), "b.log 1\na.log 10\n");
  EXPECT_FALSE(dir.exists("dk_rtmp"));
}

// In link mode the rows follow the thread order; the flags are stored in
// the order of the log all the same.
TEST(E2eReaded, QuitInLinkModeStoresTheFlagsInLogOrder) {
  temp_dir dir;
  // C answers A: the thread order is A, C, B.
  dir.write("a.log", "00001/00001 A\n 1\nbody\n00002/00001 B\n 1\nbody\n00003/00001 C\n 1" +
                         std::string(21, ' ') + "00001\nbody\n");
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "-l", "a.log"};
  auto r = run_dulk(o, "JJq");  // A and C read
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir.read("dk_readed"), "a.log 101\n");
}

// save_readed removes the shared extract, so this runs with the program's tests.
TEST(E2eReaded, SaveRemovesTheExtract) {
  temp_dir dir;
  char* cwd = ::getcwd(nullptr, 0);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  dulk::reset_state();
  dulk::alloc_tables();
  write_file(dulk::kTmpFile, "extract");
  dulk::save_readed(dulk::tent, "a.log", 0);
  struct stat st;
  EXPECT_NE(::lstat(dulk::kTmpFile, &st), 0);
  EXPECT_EQ(dir.read("dk_readed"), "a.log \n");
  EXPECT_EQ(::chdir(cwd), 0);
  std::free(cwd);
  dulk::reset_state();
}

}  // namespace
