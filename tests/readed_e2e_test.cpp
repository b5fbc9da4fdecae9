// The read-state file through the real program: loaded at start, stored at quit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "dulk.h"
#include "pty_driver.h"
#include "support.h"

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
  EXPECT_NE(r.output.find("Warning : create dk_readed file.\r\n"), std::string::npos);
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

// Where the read state cannot be stored the user hears of it before the list
// comes up, not after an hour of reading; the quit then reports the failure
// as always, and the extracts are removed all the same.
TEST(E2eReaded, MarksThatCannotBeKeptAreSaidAtOnce) {
  struct tc {
    const char* name;
    bool read_only_dir;  // else a directory stands where the file should
    const char* reason;
    const char* quit_says;
  } cases[] = {
      {"read-only directory", true, "Permission denied", "readed file open: Permission denied"},
      {"directory in its place", false, "Is a directory", "readed file open: Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    dir.write("a.log", kTwoTitles);
    run_options o;
    o.cwd = dir.path();
    o.args = {"-v", "a.log"};
    if (c.read_only_dir) {
      ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
      o.drop_root = true;
    } else {
      ASSERT_EQ(::mkdir(dir.file("dk_readed").c_str(), 0755), 0);
    }
    pty_session s(o);
    ASSERT_TRUE(s.wait_for("Press any key to go on."));
    s.settle(200);
    EXPECT_NE(s.output().find(std::string("Warning : dk_readed cannot be written (") + c.reason +
                              "): the read marks of this run will be lost.\r\nPress any key"),
              std::string::npos)
        << s.output();
    EXPECT_EQ(s.output().find("LOG FILE"), std::string::npos) << "the list covered the warning";
    size_t m = s.mark();
    s.send("x");
    ASSERT_TRUE(s.wait_for("LOG FILE", 5000, m));
    m = s.mark();
    s.send("\r");  // reading makes the extract
    ASSERT_TRUE(s.wait_for("LOG FILE", 5000, m));
    s.settle(100);
    s.send("q");
    EXPECT_EQ(s.wait_exit(), 1);
    EXPECT_NE(s.output().find(c.quit_says), std::string::npos) << s.output();
    struct stat st;
    EXPECT_NE(::lstat(dulk::kTmpFile, &st), 0) << "the extract was left behind";
    ::chmod(dir.path().c_str(), 0755);
  }
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
  dulk_test::in_directory in_dir(dir.path());
  dulk::reset_state();
  dulk::alloc_tables();
  write_file(dulk::kTmpFile, "extract");
  dulk::save_readed(dulk::tent, "a.log", 0);
  struct stat st;
  EXPECT_NE(::lstat(dulk::kTmpFile, &st), 0);
  EXPECT_EQ(dir.read("dk_readed"), "a.log \n");
  dulk::reset_state();
}

}  // namespace
