// The command line and start-up, run through the real program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "pty_driver.h"

using namespace dulk_test;

namespace {

const char* kLog = "00001/00002 hello\n 1\nbody\nNo. 3\n";

run_result run_in(const temp_dir& dir, std::vector<std::string> args, std::string_view keys = "q") {
  run_options o;
  o.cwd = dir.path();
  o.args = std::move(args);
  return run_dulk(o, keys);
}

}  // namespace

TEST(E2eCli, QuitKeyEndsWithStatusZero) {
  temp_dir dir;
  dir.write("a.log", kLog);
  auto r = run_in(dir, {"-v", "a.log"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("00001/00002 hello"), std::string::npos);
}

TEST(E2eCli, UsageEndsWithStatusOneBeforeAnyFileIsTouched) {
  temp_dir dir;
  dir.write("a.log", kLog);
  const std::vector<std::vector<std::string>> cases = {
      {"-h"}, {}, {"-l", "-v"}, {"a.log", "-h"}, {"-n", "5", "-h", "a.log"}};
  for (const auto& args : cases) {
    auto r = run_in(dir, args, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("usage : dulk"), std::string::npos);
    EXPECT_FALSE(dir.exists("dk_readed"));
  }
}

TEST(E2eCli, ValuesOfOptionsAreNeverOptionsThemselves) {
  temp_dir dir;
  dir.write("a.log", kLog);
  // "-h" consumed as the newsgroup name does not print the usage text.
  auto r = run_in(dir, {"-g", "-h", "a.log"});
  EXPECT_EQ(r.status, 0);
  // "-n" as the last argument is the log path.
  r = run_in(dir, {"a.log", "-n"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("dulk : open logfile : No such file or directory"), std::string::npos);
  // Path first or last with "-n 100".
  EXPECT_EQ(run_in(dir, {"a.log", "-n", "100"}).status, 0);
  EXPECT_EQ(run_in(dir, {"-n", "100", "a.log"}).status, 0);
  // With two paths the later one counts.
  r = run_in(dir, {"a.log", "missing.log"});
  EXPECT_EQ(r.status, 1);
  // "-g" as the last argument: an empty newsgroup, and the path is still needed.
  r = run_in(dir, {"a.log", "-g"});
  EXPECT_EQ(r.status, 0);
  r = run_in(dir, {"-g"}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("usage : dulk"), std::string::npos);
  // A newsgroup name far longer than any fixed buffer.
  EXPECT_EQ(run_in(dir, {"-g", std::string(100000, 'g'), "a.log"}).status, 0);
}

TEST(E2eCli, TableCapacityFailures) {
  temp_dir dir;
  dir.write("a.log", kLog);
  // A capacity that is not a positive number is refused with the usage text.
  for (const char* n : {"lots", "0", "-5", "12x", "2147483648"}) {
    auto r = run_in(dir, {"-n", n, "a.log"}, "");
    EXPECT_EQ(r.status, 1) << n;
    EXPECT_NE(r.output.find("usage : dulk"), std::string::npos) << n;
  }
  auto r = run_in(dir, {"-n", "1", "a.log"}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("Title table was overflow! (>1) Specify -n option!"), std::string::npos);
  EXPECT_FALSE(dir.exists("dk_readed"));
  // A capacity that cannot be had is an allocation failure.
  for (const char* n : {"2000000000"}) {
    run_options o;
    o.cwd = dir.path();
    o.args = {"-n", n, "a.log"};
    // A sanitizer build's allocator then answers as the C library's does.
    o.env["ASAN_OPTIONS"] = "allocator_may_return_null=1";
    r = run_dulk(o, "", 60000);
    EXPECT_EQ(r.status, 1) << n;
    EXPECT_NE(r.output.find("Memory allocation failure! (tent="), std::string::npos) << n;
  }
  // Exactly as many titles as the capacity load.
  EXPECT_EQ(run_in(dir, {"-n", "2", "a.log"}).status, 0);
  // Without -n the table grows to what the log holds.
  std::string log;
  for (int i = 1; i <= 12345; i++) log += "00001/12345 t" + std::to_string(i) + "\n 1\n";
  dir.write("big.log", log);
  r = run_in(dir, {"-v", "big.log"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("PAGE : 1/618 "), std::string::npos);
  EXPECT_NE(dir.read("dk_readed").find("\nbig.log " + std::string(12345, '0') + "\n"),
            std::string::npos);
}

// NO_COLOR set and not empty: no colour is painted, the bar is in reverse.
TEST(E2eCli, NoColorPaintsNoColours) {
  temp_dir dir;
  dir.write("a.log", kLog);
  for (const char* value : {"1", ""}) {
    run_options o;
    o.cwd = dir.path();
    o.args = {"a.log"};
    o.env = {{"NO_COLOR", value}};
    auto r = run_dulk(o, "jq");
    EXPECT_EQ(r.status, 0);
    const bool plain = *value != '\0';
    EXPECT_EQ(std::regex_search(r.output, std::regex("\033\\[[0-9;]*[34][0-9]m")), !plain);
    EXPECT_EQ(r.output.find("\033[7m") != std::string::npos, plain) << value;
  }
}

TEST(E2eCli, LogsThatCannotBeReadAreReported) {
  temp_dir dir;
  ::mkdir(dir.file("adir").c_str(), 0755);
  ::mkfifo(dir.file("fifo").c_str(), 0644);
  struct c {
    const char* path;
    const char* message;
  };
  for (const c& k : {c{"missing.log", "dulk : open logfile : No such file or directory"},
                     c{"adir", "dulk : open logfile : Is a directory"},
                     c{"fifo", "dulk : open logfile : Illegal seek"}}) {
    auto r = run_in(dir, {k.path}, "");
    EXPECT_EQ(r.status, 1) << k.path;
    EXPECT_NE(r.output.find(k.message), std::string::npos) << k.path << r.output;
  }
}

TEST(E2eCli, EmptyLogWarnsAndStillQuits) {
  temp_dir dir;
  dir.write("empty.log", "");
  auto r = run_in(dir, {"empty.log"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Warning : There is no message."), std::string::npos);
}

TEST(E2eCli, ExtremeScreenSizesStillGiveAUsablePage) {
  temp_dir dir;
  std::string log;
  for (int i = 0; i < 30; i++) log += "0000" + std::to_string(i % 10) + "/00030 t\n 1\n";
  dir.write("a.log", log);
  for (const char* lines : {"-2147483648", "2147483647", "abc", "4"}) {
    run_options o;
    o.cwd = dir.path();
    o.args = {"-v", "a.log"};
    o.env = {{"LINES", lines}, {"COLUMNS", "-2147483648"}};
    auto r = run_dulk(o, "q");
    EXPECT_EQ(r.status, 0) << lines;
    if (std::string_view(lines) != "2147483647") {
      // 20 rows a page: 30 titles make two pages.
      EXPECT_NE(r.output.find("PAGE : 1/2 "), std::string::npos) << lines;
    }
  }
}

// curses sets the scroll region once: over the rows LINES says the page is
// painted on, or the terminal's own when LINES is unset or unusable; never
// the 24 rows of the terminal description.
TEST(E2eCli, CursesScrollRegionIsTheScreenPaintedOn) {
  temp_dir dir;
  dir.write("a.log", "00001/00001 t\n 1\n");
  struct tc {
    const char* lines;
    int rows;  // the terminal's
    const char* region;
  } cases[] = {
      {"30", 30, "\033[1;30r"},
      {"40", 40, "\033[1;40r"},
      {"\x01unset", 30, "\033[1;30r"},
      {"2147483647", 30, "\033[1;30r"},
  };
  for (const auto& c : cases) {
    run_options o;
    o.cwd = dir.path();
    o.args = {"-v", "a.log"};
    o.rows = c.rows;
    o.env = {{"LINES", c.lines}};
    auto r = run_dulk(o, "q");
    EXPECT_EQ(r.status, 0) << c.lines;
    std::vector<std::string> regions;
    for (size_t at = r.output.find("\033["); at != std::string::npos;
         at = r.output.find("\033[", at + 1)) {
      size_t end = r.output.find_first_not_of("0123456789;", at + 2);
      if (end != std::string::npos && r.output[end] == 'r')
        regions.push_back(r.output.substr(at, end + 1 - at));
    }
    EXPECT_EQ(regions, std::vector<std::string>{c.region}) << c.lines;
  }
}
