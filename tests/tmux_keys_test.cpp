// The viewer at a real keyboard and a real terminal: a shell in a tmux pane
// starts the program, keys are sent by their names as a keyboard sends them
// (Return is a carriage return, the arrows are escape sequences), and the
// pane is read back as a person sees it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "pty_driver.h"
#include "tmux_util.h"
#include "viewer_util.h"

using namespace dulk_test;

namespace {

using rows_t = std::vector<std::string>;

// A shell with a plain prompt in a pane of the given size, in a fresh
// directory; the locale and the terminal are the test's own.
class shell_pane {
 public:
  shell_pane(int cols, int rows, const std::string& log) : tmux(dir) {
    dir.write("a.log", log);
    started = tmux.start(dir.path(), "env PS1='$ ' bash --norc --noprofile", cols, rows) &&
              tmux.wait_text("$");
  }

  void run(const std::string& line) {
    tmux.type(line);
    tmux.keys("Enter");
  }

  // Starts the viewer on a.log with the environment given, in UTF-8 as the
  // pane's locale says, and waits for its header.
  bool dulk(const std::string& env, const std::string& then = "") {
    run(env + " " + quoted(dulk_binary()) + " -v a.log" + then);
    return tmux.wait_text("LOG FILE : ");
  }

  // The viewer has ended and the shell waits, with nothing typed at its
  // prompt: the last row in use is the prompt alone.
  bool back_at_prompt() {
    auto at = [](const rows_t& r) { return !r.empty() && r.back() == "$"; };
    return at(tmux.wait_rows(at));
  }

  rows_t wait_rows(const rows_t& want) {
    return tmux.wait_rows([&](const rows_t& r) { return r == want; });
  }

  temp_dir dir;
  tmux_server tmux;
  bool started = false;
};

#define NEED_TMUX()                                      \
  if (!tmux_server::available())                         \
  GTEST_SKIP() << "tmux is not installed; it is needed " \
                  "to drive the viewer as a person would"

// The rows of a page of a forum log as a UTF-8 terminal shows them: the
// header, the empty row below it, the titles and, when the page is not full,
// the end marker.  read holds the numbers of titles shown with the read mark.
rows_t page(int number, int per_page, int count, const std::vector<int>& read = {}) {
  int pages = (count - 1) / per_page + 1;
  rows_t r = {"LOG FILE : a.log      PAGE : " + std::to_string(number) + "/" +
                  std::to_string(pages) + "    【 DULK Ver 1.71 】",
              ""};
  for (int i = (number - 1) * per_page + 1; i <= number * per_page; i++) {
    if (i > count) {
      r.push_back("  <<< END >>>");
      break;
    }
    bool is_read = false;
    for (int n : read) is_read |= n == i;
    r.push_back((is_read ? "☆ " : "  ") + forum_title(i, count));
  }
  return r;
}

const std::string kPlainEnv = "COLUMNS=80 LINES=24 EDITOR=true PAGER=true";

TEST(E2eTmuxKeys, ArrowsTurnPagesOtherSequencesAreIgnoredAndNothingLeaks) {
  NEED_TMUX();
  shell_pane sh(80, 24, forum_log(45));
  ASSERT_TRUE(sh.started);
  ASSERT_TRUE(sh.dulk(kPlainEnv));
  EXPECT_EQ(sh.wait_rows(page(1, 20, 45)), page(1, 20, 45));

  struct step {
    const char* key;
    int page;
  } steps[] = {{"Down", 2}, {"NPage", 3}, {"Up", 2}, {"PPage", 1}, {"Up", 3}, {"Down", 1}};
  for (const auto& st : steps) {
    sh.tmux.keys(st.key);
    EXPECT_EQ(sh.wait_rows(page(st.page, 20, 45)), page(st.page, 20, 45)) << st.key;
    EXPECT_EQ(sh.tmux.wait_bar({2}), std::vector<int>{2}) << st.key;
  }
  sh.tmux.keys("j");
  sh.tmux.keys("j");
  EXPECT_EQ(sh.tmux.wait_bar({4}), std::vector<int>{4});
  sh.tmux.keys("Home");
  EXPECT_EQ(sh.tmux.wait_bar({2}), std::vector<int>{2}) << "Home goes to the first title";

  // Left, right, F1, Insert and Ctrl-Right do nothing, and leave no
  // byte behind ("D" of the left arrow would print a message, "C" would
  // write a script): the next key moves the bar on the same page.
  for (const char* key : {"Left", "Right", "F1", "IC", "C-Right"}) sh.tmux.keys(key);
  sh.tmux.keys("j");
  EXPECT_EQ(sh.tmux.wait_bar({3}), std::vector<int>{3});
  EXPECT_EQ(sh.wait_rows(page(1, 20, 45)), page(1, 20, 45));
  EXPECT_FALSE(sh.dir.exists("comt0"));

  // A quit key with more typed after it: the shell is given none of it.
  sh.tmux.keys("Down");
  sh.tmux.type("qxyz");
  EXPECT_TRUE(sh.back_at_prompt()) << sh.tmux.capture();
  EXPECT_EQ(sh.dir.read("dk_readed"), "a.log " + std::string(45, '0') + "\n");

  // A lone Escape quits at once.
  ASSERT_TRUE(sh.dulk(kPlainEnv));
  sh.tmux.keys("Escape");
  EXPECT_TRUE(sh.back_at_prompt()) << sh.tmux.capture();
}

TEST(E2eTmuxKeys, SavePromptTakesReturnBackspaceAndStaysOnAFailure) {
  NEED_TMUX();
  shell_pane sh(80, 24, forum_log(3));
  ASSERT_TRUE(sh.started);
  ASSERT_TRUE(sh.dulk(kPlainEnv));
  const std::string prompt = "=> save filename (cancel:'q') = ";
  const std::string bare_prompt = "=> save filename (cancel:'q') =";  // as the pane shows it
  auto row1 = [&](const std::string& want) {
    rows_t got = sh.tmux.wait_rows([&](const rows_t& r) { return r.size() > 1 && r[1] == want; });
    return got.size() > 1 ? got[1] : "";
  };

  // The name is shown as typed and a Backspace takes the last character.
  sh.tmux.keys("s");
  EXPECT_EQ(row1(bare_prompt), bare_prompt);
  sh.tmux.type("mybox.txq");
  EXPECT_EQ(row1(prompt + "mybox.txq"), prompt + "mybox.txq");
  sh.tmux.keys("BSpace");
  EXPECT_EQ(row1(prompt + "mybox.tx"), prompt + "mybox.tx");
  sh.tmux.type("t");
  sh.tmux.keys("Enter");
  // The page comes back with a note of what was saved where.
  auto saved = [&](const std::string& note) {
    rows_t want = page(1, 20, 3);
    want[1] = note;
    return sh.wait_rows(want) == want;
  };
  EXPECT_TRUE(saved("saved to mybox.txt (28 bytes)")) << sh.tmux.capture();
  EXPECT_EQ(sh.dir.read("mybox.txt"), "00001/00003 title 1\n 1\nbody\n");
  // A leading ~/ is the home directory.
  sh.tmux.keys("s");
  sh.tmux.type("~/x");
  sh.tmux.keys("Enter");
  EXPECT_TRUE(saved("saved to " + sh.dir.file("x") + " (28 bytes)")) << sh.tmux.capture();
  EXPECT_EQ(sh.dir.read("x"), "00001/00003 title 1\n 1\nbody\n");

  // An empty line cancels; the list takes keys again at once.
  sh.tmux.keys("s");
  EXPECT_EQ(row1(bare_prompt), bare_prompt);
  sh.tmux.keys("Enter");
  sh.tmux.keys("j");
  EXPECT_EQ(sh.tmux.wait_bar({3}), std::vector<int>{3});

  // A name in a missing directory is reported, and the viewer stays.
  sh.tmux.keys("s");
  sh.tmux.type("no/such/box");
  sh.tmux.keys("Enter");
  const std::string failed = "add_file : mbox open: No such file or directory";
  EXPECT_EQ(row1(failed), failed);
  sh.tmux.keys("x");
  EXPECT_EQ(sh.wait_rows(page(1, 20, 3)), page(1, 20, 3));
  EXPECT_EQ(sh.tmux.wait_bar({3}), std::vector<int>{3});

  // A Japanese name: Backspace takes a whole character, and the file is
  // named as typed, in UTF-8.
  sh.tmux.keys("s");
  sh.tmux.type("日本");
  EXPECT_EQ(row1(prompt + "日本"), prompt + "日本");
  sh.tmux.keys("BSpace");
  EXPECT_EQ(row1(prompt + "日"), prompt + "日");
  sh.tmux.keys("Enter");
  EXPECT_EQ(row1("saved to 日 (28 bytes)"), "saved to 日 (28 bytes)");
  EXPECT_EQ(sh.dir.read("日"), "00002/00003 title 2\n 1\nbody\n");

  // The read marks of the run are stored at the end as usual.
  sh.tmux.keys("J");
  sh.tmux.keys("q");
  EXPECT_TRUE(sh.back_at_prompt()) << sh.tmux.capture();
  EXPECT_EQ(sh.dir.read("dk_readed"), "a.log 010\n");
  EXPECT_FALSE(sh.dir.exists("mybox.txq"));
  EXPECT_FALSE(sh.dir.exists("no"));
}

// The rows of a forum_log message, one under the other from column 1.
bool message_at_column_1(const rows_t& r, const std::string& title) {
  for (size_t i = 0; i + 2 < r.size(); i++) {
    if (r[i] == title) return r[i + 1] == " 1" && r[i + 2] == "body";
  }
  return false;
}

TEST(E2eTmuxKeys, MessagesReadInLessAndInCat) {
  NEED_TMUX();
  shell_pane sh(80, 24, forum_log(3));
  ASSERT_TRUE(sh.started);
  ASSERT_TRUE(sh.dulk("COLUMNS=80 LINES=24 EDITOR=true PAGER=less"));
  sh.tmux.keys("Enter");
  rows_t shown = sh.tmux.wait_rows(
      [](const rows_t& r) { return !r.empty() && r.back().find("(END)") != r.back().npos; });
  EXPECT_TRUE(message_at_column_1(shown, "00001/00003 title 1")) << sh.tmux.capture();
  sh.tmux.keys("q");
  EXPECT_EQ(sh.wait_rows(page(1, 20, 3, {1})), page(1, 20, 3, {1}));
  sh.tmux.keys("q");
  ASSERT_TRUE(sh.back_at_prompt());

  // cat writes on the shell's screen, each line from column 1; it is there
  // to read once the viewer ends.
  ASSERT_TRUE(sh.dulk("COLUMNS=80 LINES=24 EDITOR=true PAGER=cat"));
  sh.tmux.keys("j");
  sh.tmux.keys("Enter");
  EXPECT_EQ(sh.wait_rows(page(1, 20, 3, {1, 2})), page(1, 20, 3, {1, 2}));
  sh.tmux.keys("q");
  ASSERT_TRUE(sh.back_at_prompt());
  EXPECT_TRUE(message_at_column_1(sh.tmux.rows(), "00002/00003 title 2")) << sh.tmux.capture();
}

TEST(E2eTmuxKeys, ReplyWrittenInVi) {
  NEED_TMUX();
  if (run_cmd({"sh", "-c", "command -v vi"}, {"PATH=/usr/local/bin:/usr/bin:/bin"}).status != 0)
    GTEST_SKIP() << "no vi is installed; the reply is written in the real one";
  shell_pane sh(80, 24, forum_log(3));
  ASSERT_TRUE(sh.started);
  ASSERT_TRUE(sh.dulk("COLUMNS=80 LINES=24 EDITOR=vi PAGER=true"));
  sh.tmux.keys("c");
  auto empty_line_marks = [](const rows_t& r) {
    return !r.empty() && r.size() > 3 && r[r.size() - 2] == "~";
  };
  ASSERT_TRUE(empty_line_marks(sh.tmux.wait_rows(empty_line_marks))) << sh.tmux.capture();
  sh.tmux.type("Gohello from vi");
  sh.tmux.keys("Escape");
  sh.tmux.wait_rows([](const rows_t& r) {
    for (const auto& row : r)
      if (row.find("INSERT") != row.npos) return false;
    return true;
  });
  sh.tmux.type(":wq");
  sh.tmux.keys("Enter");
  EXPECT_EQ(sh.wait_rows(page(1, 20, 3)), page(1, 20, 3));
  std::string script = sh.dir.read("comt0");
  EXPECT_TRUE(script.ends_with("\nhello from vi\n")) << script;
  sh.tmux.keys("q");
  EXPECT_TRUE(sh.back_at_prompt());
}

// A help line as the pane shows it: the arrows are one column wide in UTF-8
// and keep their second column blank; a tab reaches column 8.
std::string help_row(std::string line) {
  line.pop_back();
  for (const char* arrow : {"↓", "↑"}) {
    size_t at = line.find(arrow);
    if (at != line.npos) line.insert(at + std::string(arrow).size(), " ");
  }
  if (!line.empty() && line[0] == '\t') line.replace(0, 1, 8, ' ');
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

TEST(E2eTmuxKeys, EveryHelpPageReadsLineByLine) {
  NEED_TMUX();
  shell_pane sh(80, 24, forum_log(3));
  ASSERT_TRUE(sh.started);
  ASSERT_TRUE(sh.dulk(kPlainEnv));
  auto lines = [](size_t from, size_t to) {
    rows_t r;
    for (size_t i = from; i < to; i++) r.push_back(help_row(kHelpLines[i]));
    return r;
  };
  sh.tmux.keys("H");
  // 22 lines and the first pause, nothing scrolled away.
  EXPECT_EQ(sh.wait_rows(lines(0, 22)), lines(0, 22));
  // An arrow turns the page as one key: the rest of the help follows on and
  // the screen scrolls by the lines that did not fit.
  sh.tmux.keys("Down");
  EXPECT_EQ(sh.wait_rows(lines(10, 33)), lines(10, 33));
  sh.tmux.keys("q");  // then the last page, of the keys beyond those
  EXPECT_TRUE(sh.tmux.wait_text("[^R] ................ ")) << sh.tmux.capture();
  sh.tmux.keys("q");
  EXPECT_EQ(sh.wait_rows(page(1, 20, 3)), page(1, 20, 3));
  sh.tmux.keys("j");
  EXPECT_EQ(sh.tmux.wait_bar({3}), std::vector<int>{3});
  sh.tmux.keys("q");
  EXPECT_TRUE(sh.back_at_prompt());
}

// A long list crossed in a few keys: its end, its start, a title by its
// number; a thread marked read (1001 and 1002 answer 1000), then Tab reads
// the first unread after it.
TEST(E2eTmuxKeys, LongListByEndCountThreadAndTab) {
  NEED_TMUX();
  std::string log = forum_log(1200);
  for (int i : {1001, 1002})  // after the follow-up's " 1", the parent at its column 23
    log.insert(log.find(forum_title(i, 1200)) + 25, std::string(21, ' ') + std::to_string(i - 1));
  shell_pane sh(80, 24, log);
  ASSERT_TRUE(sh.started);
  ASSERT_TRUE(sh.dulk(kPlainEnv));
  // clang-format off
  struct step {
    const char* keys;
    int page, bar;
    std::vector<int> read;
  } steps[] = {{"End", 60, 21, {}}, {"g", 1, 2, {}}, {"1000g", 50, 21, {}}, {"t", 50, 21, {1000}},
               {"Tab", 51, 4, {1001, 1002, 1003}}};
  // clang-format on
  for (const auto& st : steps) {
    st.keys[1] == '0' ? sh.tmux.type(st.keys) : sh.tmux.keys(st.keys);
    rows_t want = page(st.page, 20, 1200, st.read);
    EXPECT_EQ(sh.wait_rows(want), want) << st.keys;
    EXPECT_EQ(sh.tmux.wait_bar({st.bar}), std::vector<int>{st.bar}) << st.keys;
  }
  sh.tmux.keys("q");
  EXPECT_TRUE(sh.back_at_prompt());
  EXPECT_EQ(sh.dir.read("dk_readed"),
            "a.log " + std::string(999, '0') + "1111" + std::string(197, '0') + "\n");
}

// The viewer's only child in the pane: the program the shell started.
pid_t viewer_pid(shell_pane& sh) {
  std::string shell = sh.tmux.pane("#{pane_pid}");
  std::string children = read_file("/proc/" + shell + "/task/" + shell + "/children");
  return static_cast<pid_t>(std::atoi(children.c_str()));
}

TEST(E2eTmuxKeys, TerminalModesAreTheShellsAfterEveryEnd) {
  NEED_TMUX();
  shell_pane sh(80, 24, forum_log(3));
  ASSERT_TRUE(sh.started);
  // The settings land in the file whole, and only once the command ran.
  auto stty_into = [&](const std::string& name) {
    sh.run("stty -a > now; mv now " + name);
    sh.tmux.wait_rows([&](const rows_t&) { return sh.dir.exists(name); });
    return sh.dir.read(name);
  };
  const std::string before = stty_into("before");
  ASSERT_FALSE(before.empty());

  struct end_case {
    const char* name;
    std::function<void()> end;
  };
  const end_case cases[] = {
      {"quit key", [&] { sh.tmux.keys("q"); }},
      {"escape", [&] { sh.tmux.keys("Escape"); }},
      {"interrupt key", [&] { sh.tmux.keys("C-c"); }},
      {"hang-up", [&] { ::kill(viewer_pid(sh), SIGHUP); }},
      {"terminate", [&] { ::kill(viewer_pid(sh), SIGTERM); }},
      {"after the pager and the prompt",
       [&] {
         sh.tmux.keys("Enter");
         sh.tmux.wait_text("(END)");
         sh.tmux.keys("q");
         sh.tmux.wait_text("LOG FILE : ");
         sh.tmux.keys("s");
         sh.tmux.wait_text("=> save filename");
         sh.tmux.keys("Escape");  // a key soon after would make it a sequence
         sh.tmux.wait_rows([](const rows_t& r) { return r.size() > 1 && r[1].empty(); });
         sh.tmux.keys("q");
       }},
  };
  for (const auto& c : cases) {
    ::unlink(sh.dir.file("after").c_str());
    ASSERT_TRUE(sh.dulk("COLUMNS=80 LINES=24 EDITOR=true PAGER=less")) << c.name;
    c.end();
    EXPECT_TRUE(sh.back_at_prompt()) << c.name << "\n" << sh.tmux.capture();
    // A command of its own: an interrupt ends the whole command line.
    EXPECT_EQ(stty_into("after"), before) << c.name;
  }
}

TEST(E2eTmuxKeys, ExportedSizeKeepsHeaderAndEveryRowInPlace) {
  NEED_TMUX();
  for (auto [cols, lines] : {std::pair{80, 30}, std::pair{120, 40}}) {
    SCOPED_TRACE(std::to_string(cols) + "x" + std::to_string(lines));
    shell_pane sh(cols, lines, forum_log(100));
    ASSERT_TRUE(sh.started);
    sh.run("export COLUMNS=" + std::to_string(cols) + " LINES=" + std::to_string(lines));
    ASSERT_TRUE(sh.dulk("EDITOR=true PAGER=true"));
    int per_page = lines - 4;
    EXPECT_EQ(sh.wait_rows(page(1, per_page, 100)), page(1, per_page, 100));
    sh.tmux.keys("j");
    sh.tmux.keys("j");
    EXPECT_EQ(sh.tmux.wait_bar({4}), std::vector<int>{4});
    EXPECT_EQ(sh.wait_rows(page(1, per_page, 100)), page(1, per_page, 100));
    sh.tmux.keys("Down");
    EXPECT_EQ(sh.wait_rows(page(2, per_page, 100)), page(2, per_page, 100));
    EXPECT_EQ(sh.tmux.wait_bar({2}), std::vector<int>{2});
    sh.tmux.keys("q");
    EXPECT_TRUE(sh.back_at_prompt());
  }
}

TEST(E2eTmuxKeys, StopContinueAndCtrlLRepaint) {
  NEED_TMUX();
  shell_pane sh(80, 24, forum_log(45));
  ASSERT_TRUE(sh.started);
  ASSERT_TRUE(sh.dulk(kPlainEnv));
  sh.tmux.keys("j");
  EXPECT_EQ(sh.tmux.wait_bar({3}), std::vector<int>{3});

  sh.tmux.keys("C-z");
  EXPECT_TRUE(sh.tmux.wait_text("Stopped")) << sh.tmux.capture();
  EXPECT_TRUE(sh.back_at_prompt()) << sh.tmux.capture();
  sh.run("fg");
  EXPECT_EQ(sh.wait_rows(page(1, 20, 45)), page(1, 20, 45));
  EXPECT_EQ(sh.tmux.wait_bar({3}), std::vector<int>{3});

  // Something else writes over the screen; Ctrl-L paints the page again.
  int tty = ::open(sh.tmux.pane("#{pane_tty}").c_str(), O_WRONLY | O_NOCTTY);
  ASSERT_GE(tty, 0);
  const std::string scribble = "\033[2J\033[5;1Hscribbled over";
  ASSERT_EQ(::write(tty, scribble.data(), scribble.size()), static_cast<ssize_t>(scribble.size()));
  ::close(tty);
  EXPECT_TRUE(sh.tmux.wait_text("scribbled over"));
  sh.tmux.keys("C-l");
  EXPECT_EQ(sh.wait_rows(page(1, 20, 45)), page(1, 20, 45));
  EXPECT_EQ(sh.tmux.wait_bar({3}), std::vector<int>{3});
  sh.tmux.keys("q");
  EXPECT_TRUE(sh.back_at_prompt());
}

}  // namespace

// The page follows the window in every state, and exported LINES and
// COLUMNS keep it at their size: after each resize the header stands on
// row 0, the row under it shows the state (a prompt with what was typed,
// cut to the row behind a "<"), the page holds rows - 4 titles (or 20) and
// the bar is on the cursor's title; the state then goes on where it was.
TEST(E2eTmuxKeys, EveryStateFollowsTheWindow) {
  NEED_TMUX();
  struct size {
    int cols, rows;
  };
  const std::string save = "=> save filename (cancel:'q') = ";
  struct state_case {
    const char* name;
    bool exported;
    std::vector<size> sizes;
    std::function<void(shell_pane&)> enter;
    std::string row1;  // under the header; "?" for the help screen
    std::function<void(shell_pane&)> finish;
  } cases[] = {
      {"list",
       false,
       {{40, 10}, {200, 60}, {20, 5}, {9, 5}, {132, 50}},
       nullptr,
       "",
       [](shell_pane& sh) {
         sh.tmux.keys("j");  // a key pressed in the small window did nothing
         EXPECT_EQ(sh.tmux.wait_bar({6}), std::vector<int>{6});
       }},
      {"list, exported", true, {{100, 30}, {132, 50}, {80, 24}}, nullptr, "", nullptr},
      {"save prompt",
       false,
       {{60, 12}, {20, 5}, {100, 30}},
       [](shell_pane& sh) { sh.tmux.keys("s"), sh.tmux.type("mb"); },
       save + "mb",
       [](shell_pane& sh) {
         sh.tmux.type("ox\r");
         sh.tmux.wait_rows([&](const rows_t&) { return sh.dir.exists("mbox"); });
         EXPECT_TRUE(sh.dir.exists("mbox"));
       }},
      {"search prompt, exported",
       true,
       {{100, 30}, {80, 24}},
       [](shell_pane& sh) { sh.tmux.keys("/"), sh.tmux.type("title 1"); },
       "/title 1",
       [](shell_pane& sh) {
         sh.tmux.type("0\r");  // 00010/00100 title 10
         EXPECT_EQ(sh.tmux.wait_bar({11}), std::vector<int>{11});
       }},
      {"stopped at a prompt",
       false,
       {{50, 10}, {80, 24}},
       [](shell_pane& sh) {
         sh.tmux.keys("s"), sh.tmux.type("mb");
         sh.tmux.wait_text("= mb");  // a stop drops the keys not yet read
         sh.tmux.keys("C-z");
         EXPECT_TRUE(sh.back_at_prompt());
         sh.run("fg");
       },
       save + "mb",
       [](shell_pane& sh) {
         sh.tmux.keys("Escape");  // a key soon after would make it a sequence
         sh.tmux.wait_rows([](const rows_t& r) { return r.size() > 1 && r[1].empty(); });
       }},
      {"help",
       false,
       {{40, 10}, {20, 5}, {100, 30}},
       [](shell_pane& sh) { sh.tmux.keys("H"); },
       "?",
       [](shell_pane& sh) {
         sh.tmux.keys("x");  // the 28 lines after the 3 shown at 20x5
         EXPECT_TRUE(sh.tmux.wait_text("[ 作成 ]"));
         EXPECT_FALSE(sh.tmux.wait_text("Please report problems", 300));
         sh.tmux.keys("x");
         EXPECT_TRUE(sh.tmux.wait_text("Please report problems"));
         sh.tmux.keys("x");  // the last page, of the keys beyond those
         EXPECT_TRUE(sh.tmux.wait_text("[^R] ................ "));
         sh.tmux.keys("x");  // back to the list, which the quit key then ends
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    shell_pane sh(80, 24, forum_log(100));
    ASSERT_TRUE(sh.started);
    ASSERT_TRUE(sh.dulk(c.exported ? kPlainEnv : "EDITOR=true PAGER=true"));
    for (const char* k : {"j", "j", "j"}) sh.tmux.keys(k);
    EXPECT_EQ(sh.tmux.wait_bar({5}), std::vector<int>{5});
    if (c.enter) c.enter(sh);
    size_t help_shown = 22;
    for (size sz : c.sizes) {
      SCOPED_TRACE(std::to_string(sz.cols) + "x" + std::to_string(sz.rows));
      sh.tmux.run({"resize-window", "-t", "t", "-x", std::to_string(sz.cols), "-y",
                   std::to_string(sz.rows)});
      const int per = c.exported ? 20 : sz.rows - 4, top = 3 / per * per;
      if (sz.cols < 10) {
        EXPECT_TRUE(sh.tmux.wait_text("dulk need")) << sh.tmux.capture();
        continue;
      }
      rows_t want;  // the rows below the header
      if (c.row1 == "?") {
        const size_t lines = help_shown = std::min(help_shown, static_cast<size_t>(sz.rows) - 2);
        // The help's lines are cut to the row, never wrapped.
        const std::string q = help_row(kHelpLines[2]);
        want = {"[ DULK 使用法 ]", "", sz.cols > 40 ? q : q.substr(0, sz.cols - 1)};
        auto got = sh.tmux.wait_rows([&](const rows_t& r) {
          return r.size() == lines && rows_t(r.begin(), r.begin() + 3) == want;
        });
        ASSERT_EQ(got.size(), lines) << sh.tmux.capture();
        EXPECT_EQ(rows_t(got.begin(), got.begin() + 3), want);
        continue;
      }
      const std::string line = c.row1;
      want.push_back(static_cast<int>(line.size()) < sz.cols
                         ? line
                         : "<" + line.substr(line.size() - static_cast<size_t>(sz.cols) + 2));
      for (int i = top; i < top + per; i++)
        want.push_back("  " + forum_title(i + 1, 100).substr(0, static_cast<size_t>(sz.cols) - 3));
      auto below = [](const rows_t& r) { return r.empty() ? r : rows_t(r.begin() + 1, r.end()); };
      auto got = sh.tmux.wait_rows([&](const rows_t& r) {
        return !r.empty() && r[0].starts_with("LOG FILE : ") && below(r) == want;
      });
      EXPECT_EQ(below(got), want) << sh.tmux.capture();
      EXPECT_TRUE(!got.empty() && got[0].starts_with("LOG FILE : "));
      EXPECT_EQ(sh.tmux.wait_bar({2 + 3 % per}), std::vector<int>{2 + 3 % per});
    }
    if (c.finish) c.finish(sh);
    sh.tmux.keys("q");
    EXPECT_TRUE(sh.back_at_prompt()) << sh.tmux.capture();
  }
}
