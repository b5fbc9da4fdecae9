// The usage text and the paged help screen, through the real program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_driver.h"
#include "viewer_util.h"

using namespace dulk_test;

namespace {

std::string help_lines(size_t from, size_t to) {
  std::string s;
  for (size_t i = from; i < to; i++) s += sjis(kHelpLines[i]);
  return s;
}

TEST(E2eHelp, PausesAfterEachScreenful) {
  struct tc {
    const char* lines;                // LINES, or unset
    std::vector<size_t> pause_after;  // help lines shown before each wait
    int more_waits = 1;               // on the last page, of the keys beyond those
  } cases[] = {
      {"\x01unset", {22, 33}},
      {"24", {22, 33}},
      {"13", {11, 22, 33}, 2},  // the last wait is the printer's own
      {"35", {33}},             // likewise
      {"40", {33}},             // the closing wait
  };
  const std::string clear = "\033[H\033[2J";
  for (const auto& c : cases) {
    temp_dir dir;
    dir.write("a.log", forum_log(3));
    run_options o;
    o.cwd = dir.path();
    o.args = {"-v", "a.log"};
    o.env = {{"LINES", c.lines}};
    pty_session s(o);
    s.settle(200);

    size_t shown = 0;
    std::string key = "H";
    for (size_t upto : c.pause_after) {
      size_t m = s.mark();
      s.send(key);
      std::string want = (shown == 0 ? clear : "") + help_lines(shown, upto);
      s.wait_for(crlf(want), 5000, m);
      s.settle(100);
      std::string raw = s.output().substr(m);
      EXPECT_EQ(undo_crlf(raw), want) << "LINES " << c.lines << " up to " << upto;
      // Every line end takes the terminal back to column 1.
      for (size_t nl = raw.find('\n'); nl != std::string::npos; nl = raw.find('\n', nl + 1))
        ASSERT_TRUE(nl > 0 && raw[nl - 1] == '\r') << "a line end without a return at " << nl;
      shown = upto;
      key = "q";  // the keys that turn pages are not commands
    }
    for (int i = 0; i < c.more_waits; i++) {
      size_t m = s.mark();
      s.send("q");
      EXPECT_TRUE(s.wait_for(sjis(i == 0 ? "[ その他のキー ]" : "[^R]"), 5000, m)) << c.lines;
      s.settle(100);
    }
    size_t m = s.mark();
    s.send("q");
    s.wait_for("LOG FILE", 5000, m);
    s.settle(50);
    std::string after = undo_crlf(s.output().substr(m));
    EXPECT_EQ(after.substr(0, clear.size() + 8), clear + "LOG FILE") << "LINES " << c.lines;
    // The list takes keys again.
    m = s.mark();
    s.send("j");
    EXPECT_TRUE(s.wait_for("00002/00003 title 2", 5000, m)) << "LINES " << c.lines;
    s.send("q");
    EXPECT_EQ(s.wait_exit(), 0);
  }
}

std::string usage_text() {
  return sjis(
      "\nDULK Ver1.71   by the dulk developers\n\n"
      "usage : dulk [-l] [-n <タイトル数>] <filename>\n"
      "        -l  : コメントリンクモードで起動\n"
      "        -n  : タイトル数 (デフォルトは2000)\n"
      "        -g  : newsgroup名(記事#特定用)\n"
      "\n環境変数\n"
      "    EDITOR=実行エディタ名  デフォルトは vi\n"
      "    PAGER=ページャ名       デフォルトは less\n"
      "    COMMENT=コメントマーク デフォルトは >>\n"
      "    HANDLE=ハンドル名      デフォルトは <ハンドル名>\n"
      "    SIGN=署名ファイル名    署名の記述されたファイル\n");
}

TEST(E2eUsage, HelpOptionOrNoLogPrintsUsageAndEndsWithOne) {
  struct tc {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"-h", {"-h"}},
      {"-h before a log", {"-h", "a.log"}},
      {"no log", {}},
      {"options only", {"-l", "-v"}},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    dir.write("a.log", forum_log(3));
    run_options o;
    o.cwd = dir.path();
    o.args = c.args;
    auto r = run_dulk(o, "");
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(undo_crlf(r.output), usage_text()) << c.name;
  }
}

}  // namespace
