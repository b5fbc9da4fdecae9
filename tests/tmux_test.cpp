// The title list in UTF-8 on a real terminal: tmux runs the program and its
// pane is read back as a person would see it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_driver.h"
#include "tmux_util.h"

using namespace dulk_test;

namespace {

TEST(E2eTmuxUtf8, TitleListShowsWhereAPersonReadsIt) {
  if (!tmux_server::available())
    GTEST_SKIP() << "tmux is not installed; the terminal test needs it";
  temp_dir dir;

  // 25 forum titles: two pages of 20 on a 24-row terminal.  Titles alternate
  // テスト発言です and 日本語の題名; the third and seventh hold narrow
  // characters, the fifth is a run of 日 that the row cuts inside a
  // character, leaving a lead byte without its trail.
  const std::string test_title = "\x83\x65\x83\x58\x83\x67\x94\xad\x8c\xbe\x82\xc5\x82\xb7";
  const std::string name_title = "\x93\xfa\x96\x7b\x8c\xea\x82\xcc\x91\xe8\x96\xbc";
  std::string long_title = "x";
  for (int i = 0; i < 40; i++) long_title += "\x93\xfa";
  std::string log;
  std::vector<std::string> shown;  // each title as the terminal shows it
  for (int i = 1; i <= 25; i++) {
    char num[32];
    std::snprintf(num, sizeof num, "%05d/00001 ", i);
    std::string line = num;
    if (i == 3) {
      // ①会議室 and ☆: ambiguous characters a UTF-8 terminal shows one
      // column wide, each followed by a blank to keep its two columns.
      line += "\x87\x40\x89\xef\x8b\x63\x8e\xba\x81\x99";
      shown.push_back(std::string(num) + "① 会議室☆");
    } else if (i == 7) {
      // 40 circled digits: cut after 32, which fill the row to column 78.
      for (int k = 0; k < 40; k++) line += "\x87\x40";
      std::string s = num;
      for (int k = 0; k < 32; k++) s += "① ";
      s.pop_back();
      shown.push_back(s);
    } else if (i == 5) {
      line += long_title;
      // 77 bytes fit (80 columns less mark and blank); byte 76 is the trail
      // of a 日, so 76 stay: 12 + "x" + 31 日 + a lone lead byte.
      std::string s = std::string(num) + "x";
      for (int k = 0; k < 31; k++) s += "日";
      shown.push_back(s + "\xEF\xBF\xBD");
    } else {
      line += i % 2 ? test_title : name_title;
      shown.push_back(std::string(num) + (i % 2 ? "テスト発言です" : "日本語の題名"));
    }
    log += line + "\n 1\nbody\n";
  }
  dir.write("a.log", log);
  // The first and fourth entries have been read in an earlier run.
  dir.write("dk_readed", "a.log 1001" + std::string(21, '0') + "\n");

  tmux_server tmux(dir);
  std::string command = "env DULK_CHARSET=UTF-8 COLUMNS=80 LINES=24 EDITOR=true PAGER=true " +
                        quoted(dulk_binary()) + " a.log";
  ASSERT_TRUE(tmux.start(dir.path(), command, 80, 24));

  // Row 0 the header, row 1 empty, then from row 2 the read mark in columns
  // 1-2 (a narrow "☆" and its blank) and the title from column 3.
  auto page = [&](int number, int first, int count, bool end_marker) {
    std::string want =
        "LOG FILE : a.log      PAGE : " + std::to_string(number) + "/2    【 DULK Ver 1.71 】\n\n";
    for (int i = first; i < first + count; i++) {
      want += (i == 0 || i == 3) ? "☆ " : "  ";
      want += shown[i] + "\n";
    }
    if (end_marker) want += "  <<< END >>>\n";
    return want;
  };

  auto first = page(1, 0, 20, false);
  EXPECT_EQ(tmux.wait_screen(first), first);
  EXPECT_EQ(tmux.wait_bar({2}), std::vector<int>{2});

  tmux.keys("j");  // the bar moves; every row keeps its text and columns
  EXPECT_EQ(tmux.wait_bar({3}), std::vector<int>{3});
  EXPECT_EQ(tmux.wait_screen(first), first);

  tmux.keys("C-f");
  auto second = page(2, 20, 5, true);
  EXPECT_EQ(tmux.wait_screen(second), second);
  EXPECT_EQ(tmux.wait_bar({2}), std::vector<int>{2});

  tmux.keys("q");
}

std::string viewer_command(const std::string& args) {
  return "env DULK_CHARSET=UTF-8 COLUMNS=80 LINES=24 EDITOR=true PAGER=true " +
         quoted(dulk_binary()) + " " + args;
}

// Nothing in the log: the warning stands below the header, and the end
// marker on the first title row stays readable.
TEST(E2eTmuxUtf8, EmptyLogWarningLeavesTheEndMarker) {
  if (!tmux_server::available())
    GTEST_SKIP() << "tmux is not installed; the terminal test needs it";
  temp_dir dir;
  dir.write("a.log", "no titles here\n");
  tmux_server tmux(dir);
  ASSERT_TRUE(tmux.start(dir.path(), viewer_command("a.log"), 80, 24));
  const std::string want =
      "LOG FILE : a.log      PAGE : 1/1    【 DULK Ver 1.71 】\n"
      "Warning : There is no message.\n"
      "  <<< END >>>\n";
  EXPECT_EQ(tmux.wait_screen(want), want);
  tmux.keys("q");
}

// A reply chain 150 messages deep in link mode: the rows of the last page,
// 127 levels down, show their titles and the cursor bar, and the level.
TEST(E2eTmuxUtf8, DeepThreadRowsShowTheirText) {
  if (!tmux_server::available())
    GTEST_SKIP() << "tmux is not installed; the terminal test needs it";
  temp_dir dir;
  const int n = 150;
  std::string log;
  for (int i = 1; i <= n; i++) {
    char title[32];
    std::snprintf(title, sizeof title, "%05d/%05d reply %d", i, n, i);
    // The follow-up line names the parent at column 23.
    log += std::string(title) + "\n 1" + std::string(21, ' ') + std::to_string(i - 1) + "\nbody\n";
  }
  dir.write("a.log", log);
  tmux_server tmux(dir);
  ASSERT_TRUE(tmux.start(dir.path(), viewer_command("-l a.log"), 80, 24));
  tmux.keys("A");  // from the first page back round to the last, 140 .. 149
  std::string want = "LOG FILE : a.log      PAGE : 8/8    【 DULK Ver 1.71 】 <LINK mode>\n\n";
  for (int i = 141; i <= n; i++) {
    char text[32];
    std::snprintf(text, sizeof text, "%05d/%05d reply %d", i, n, i);
    want += "  " + std::string(53, '|') + "127+" + std::string(text).substr(0, 20) + "\n";
  }
  want += "  <<< END >>>\n";
  EXPECT_EQ(tmux.wait_screen(want), want);
  EXPECT_EQ(tmux.wait_bar({2}), std::vector<int>{2});
  tmux.keys("q");
}

TEST(E2eTmuxUtf8, AJapaneseWordTypedAtTheSearchPromptFindsItsTitle) {
  if (!tmux_server::available())
    GTEST_SKIP() << "tmux is not installed; the terminal test needs it";
  temp_dir dir;
  // Titles 1-5; only the fourth holds 会議 (in Shift-JIS 89 ef 8b 63).
  std::string log;
  for (int i = 1; i <= 5; i++) {
    char num[32];
    std::snprintf(num, sizeof num, "%05d/00001 ", i);
    log += num + std::string(i == 4 ? "\x89\xef\x8b\x63\x8e\xba" : "\x93\xfa\x96\x7b") +
           "\n 1\nbody\n";
  }
  dir.write("a.log", log);
  tmux_server tmux(dir);
  ASSERT_TRUE(tmux.start(dir.path(), viewer_command("a.log"), 80, 24));
  EXPECT_EQ(tmux.wait_bar({2}), std::vector<int>{2});
  tmux.keys("/");
  tmux.keys("会議");
  tmux.keys("Enter");
  EXPECT_EQ(tmux.wait_bar({5}), std::vector<int>{5});
  tmux.keys("q");
}

}  // namespace
