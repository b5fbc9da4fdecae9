// The key loop, run through the real program in a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "pty_driver.h"
#include "viewer_util.h"

using namespace dulk_test;

namespace {

// A running viewer on a log written into a fresh directory.
class viewer {
 public:
  viewer(const std::string& log, std::map<std::string, std::string> env = {},
         std::vector<std::string> args = {"-v", "a.log"}) {
    dir.write("a.log", log);
    run_options o;
    o.cwd = dir.path();
    o.args = std::move(args);
    o.env = std::move(env);
    s = std::make_unique<pty_session>(o);
    s->settle(200);
  }
  // Sends keys and returns what the program wrote in answer.  When the answer
  // is known it is waited for whole first: a loaded machine may be slow.
  std::string press(std::string_view keys, int quiet_ms = 80, const std::string& want = {}) {
    size_t m = s->mark();
    s->send(keys);
    if (!want.empty()) {
      s->wait_for(crlf(want), 5000, m);
      quiet_ms = 30;
    }
    s->settle(quiet_ms);
    return undo_crlf(s->output().substr(m));
  }
  // The cursor bar of a forum title on a page row.
  static std::string bar(int page_row, int n, int of, const std::string& mark = "  ") {
    return row(page_row + 2, kRed, mark, "", forum_title(n, of));
  }
  static std::string plain_row(int page_row, int n, int of, const std::string& mark = "  ") {
    return row(page_row + 2, kWhite, mark, "", forum_title(n, of));
  }
  int quit() {
    s->send("q");
    return s->wait_exit();
  }

  temp_dir dir;
  std::unique_ptr<pty_session> s;
};

// The program answers keys with exactly the bytes want.
::testing::AssertionResult answers(viewer& v, std::string_view keys, const std::string& want) {
  std::string got = v.press(keys, 80, want);
  if (got == want) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "keys " << ::testing::PrintToString(std::string(keys)) << "\n got  "
         << ::testing::PrintToString(got) << "\n want " << ::testing::PrintToString(want);
}

bool has(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

std::string page_header(int page, int pages) {
  return "PAGE : " + std::to_string(page) + "/" + std::to_string(pages) + "    ";
}

const std::string kClear = "\033[H\033[2J";
// Messages and the prompt stand on the row below the header, from column 1.
// What hands the terminal back to the shell's screen.
const std::string kLeaveScreen = "\033[?1049l";
const std::string kMsgRow = "\033[2;1H\033[K";

// What a full repaint writes: clear, header, the page's rows plain, then the
// cursor bar (all titles unread, 20 rows a page).
std::string full_page(int cursor, int count, bool link_mode = false) {
  int page = cursor / 20;
  std::string s = kClear + "LOG FILE : a.log      " + page_header(page + 1, (count - 1) / 20 + 1) +
                  "\x81\x79 DULK Ver 1.71 \x81\x7a " + (link_mode ? "<LINK mode>" : " ") + "\n";
  for (int i = 0; i < 20; i++) {
    int pos = page * 20 + i;
    if (pos >= count) {
      s += row(i + 2, kWhite, "  ", "", "<<< END >>>");
      break;
    }
    s += viewer::plain_row(i, pos + 1, count);
  }
  return s + viewer::bar(cursor % 20, cursor + 1, count);
}

TEST(E2eKeys, MovesRepaintTwoRowsAndWrapAroundWithoutBell) {
  viewer v(forum_log(45));
  EXPECT_TRUE(answers(v, "j", viewer::plain_row(0, 1, 45) + viewer::bar(1, 2, 45)));
  EXPECT_TRUE(answers(v, "k", viewer::plain_row(1, 2, 45) + viewer::bar(0, 1, 45)));
  // Up from the first entry: the last entry, on its row of the last page.
  EXPECT_TRUE(answers(v, "k", viewer::plain_row(0, 1, 45) + full_page(44, 45)));
  // Down from the last entry: back to the first, page 1.
  EXPECT_TRUE(answers(v, "j", viewer::plain_row(4, 45, 45) + full_page(0, 45)));
  // Leaving a page by a move repaints the new page.
  v.press("B");
  EXPECT_TRUE(answers(v, "\x05", viewer::plain_row(0, 21, 45) + full_page(19, 45)));
  EXPECT_TRUE(answers(v, "\x18", viewer::plain_row(19, 20, 45) + full_page(20, 45)));
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eKeys, PageMovesLandOnRowZeroAndRingAtTheEnds) {
  struct step {
    std::string keys;
    std::string want;  // the bytes of the last key
  };
  viewer v(forum_log(45));
  const step steps[] = {
      {"B", full_page(20, 45)},
      {"jjjjjB", full_page(40, 45)},            // 25 -> 40
      {"jjjj\x06", "\a\n" + full_page(0, 45)},  // 44 -> 0 with a bell
      {"jjjjjA", "\a\n" + full_page(40, 45)},   // 5 -> 40 with a bell
      {"\x02jjjjjjjA", full_page(0, 45)},       // 27 -> 0
  };
  for (const auto& st : steps) {
    std::string keys = st.keys;
    v.press(keys.substr(0, keys.size() - 1));
    EXPECT_TRUE(answers(v, keys.substr(keys.size() - 1), st.want)) << "keys " << st.keys;
  }
  EXPECT_EQ(v.quit(), 0);

  viewer w(forum_log(40));
  w.press("jjj");
  EXPECT_TRUE(answers(w, "A", "\a\n" + full_page(20, 40)));  // 3 -> 20 with a bell
  w.press("kjjjjjjjjjjjjjjjjjjjj");                          // 19 ... 39
  EXPECT_TRUE(answers(w, "B", "\a\n" + full_page(0, 40)));   // 39 -> 0 with a bell
  EXPECT_TRUE(answers(w, "0", full_page(0, 40)));
  EXPECT_EQ(w.quit(), 0);
}

// Ctrl-R adds the titles of a log that grew; a log cut short is refused
// until Ctrl-R reads it again, marks kept by the titles' places.
TEST(E2eKeys, CtrlRReadsALogThatChangedOnDisk) {
  viewer v(forum_log(3));
  v.press("J");
  v.dir.write("a.log", forum_log(3) + forum_title(4, 3) + "\n 1\nbody\n");
  std::string got = v.press("\x12", 80, "new titles: 1");
  EXPECT_TRUE(has(got, viewer::plain_row(0, 1, 3, kStar) + viewer::plain_row(1, 2, 3) +
                           viewer::plain_row(2, 3, 3) + viewer::plain_row(3, 4, 3)))
      << got;
  EXPECT_TRUE(has(got, viewer::bar(1, 2, 3)));
  v.dir.write("a.log", forum_log(2));
  got = v.press("\r", 80, "the log changed on disk: press Ctrl-R to read it again");
  EXPECT_FALSE(has(got, kClear)) << got;
  got = v.press("\x12", 80, "read again (titles: 2)");
  EXPECT_TRUE(has(got, viewer::plain_row(0, 1, 2, kStar)) && has(got, viewer::bar(1, 2, 2)));
  EXPECT_EQ(v.quit(), 0);
}

// Titles: 0 t1, 1 heading, 2 t2, 3 t3, 4 t4.
std::string mixed_log() {
  return "00001/00004 t1\n 1\nbody\nNo.1 heading\n00002/00004 t2\n 1\nbody\n"
         "00003/00004 t3\n 1\nbody\n00004/00004 t4\n 1\nbody\n";
}

std::string title_bar(int page_row, const std::string& title, const std::string& mark = "  ") {
  return row(page_row + 2, kRed, mark, "", title);
}
std::string title_plain(int page_row, const std::string& title, const std::string& mark = "  ") {
  return row(page_row + 2, kWhite, mark, "", title);
}

TEST(E2eKeys, UnreadSearchSkipsHeadingsAndReadEntries) {
  viewer v(mixed_log());
  // J marks t1 and moves; on the heading it only moves.
  EXPECT_TRUE(answers(
      v, "J",
      title_plain(0, "00001/00004 t1", kStar) + row(3, "\033[42m", "  ", "", "No.1 heading")));
  EXPECT_TRUE(answers(
      v, "J", row(3, "\033[32m", "  ", "", "No.1 heading") + title_bar(2, "00002/00004 t2")));
  v.press("J0");
  EXPECT_TRUE(
      answers(v, "n", title_plain(0, "00001/00004 t1", kStar) + title_bar(3, "00003/00004 t3")));
  // The entry under the cursor is unread, but the search starts after it.
  EXPECT_TRUE(answers(v, "n", title_plain(3, "00003/00004 t3") + title_bar(4, "00004/00004 t4")));

  const std::string no_more = sjis("最後のメッセージまでに未読はありません。") + "\a";
  // The note stands below the page; the cursor bar is back at once.
  EXPECT_TRUE(answers(v, "n",
                      title_plain(4, "00004/00004 t4") + row(22, kRed, "  ", "", no_more) +
                          title_bar(4, "00004/00004 t4")));
  // The next key wipes the message, then acts.
  EXPECT_TRUE(answers(v, "k",
                      row(22, kWhite, "  ", "", std::string(40, ' ')) +
                          title_plain(4, "00004/00004 t4") + title_bar(3, "00003/00004 t3")));
  v.press("j");

  EXPECT_TRUE(answers(v, "N", title_plain(4, "00004/00004 t4") + title_bar(3, "00003/00004 t3")));
  // u marks a read entry unread again, and the search then finds it.
  v.press("k");
  EXPECT_TRUE(answers(v, "u", title_bar(2, "00002/00004 t2")));
  v.press("jj");
  EXPECT_TRUE(answers(v, "N", title_plain(4, "00004/00004 t4") + title_bar(3, "00003/00004 t3")));
  EXPECT_TRUE(answers(v, "N", title_plain(3, "00003/00004 t3") + title_bar(2, "00002/00004 t2")));
  const std::string no_before = sjis("最初のメッセージまでに未読はありません。") + "\a";
  EXPECT_TRUE(answers(v, "N",
                      title_plain(2, "00002/00004 t2") + row(22, kRed, "  ", "", no_before) +
                          title_bar(2, "00002/00004 t2")));
  v.press("x");
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eKeys, UnreadFoundOnAnotherPageRepaintsIt) {
  viewer v(forum_log(45));
  v.press("Bk");
  EXPECT_TRUE(answers(v, "n", viewer::plain_row(19, 20, 45) + full_page(20, 45)));
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eKeys, LinkSwitchKeepsThePositionNumber) {
  viewer v(forum_log(45));
  v.press("jjjjjjj");
  EXPECT_TRUE(answers(v, "l", "\a\n" + full_page(7, 45, true)));
  EXPECT_TRUE(answers(v, "L", "\a\n" + full_page(7, 45, false)));
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eKeys, IgnoredKeysDeleteAndEscape) {
  viewer v(forum_log(3));
  EXPECT_TRUE(answers(v, "D", kMsgRow + "Delete is not support.\n"));
  // 127 and other unlisted codes, and codes above 119, paint nothing.
  EXPECT_EQ(v.press("\x7f"), "");
  EXPECT_EQ(v.press("xyz\x01\xff"), "");
  EXPECT_TRUE(answers(v, "j", viewer::plain_row(0, 1, 3) + viewer::bar(1, 2, 3)))
      << "still running";
  EXPECT_EQ(v.quit(), 0);

  viewer w(forum_log(3));
  w.s->send("\x1b");
  EXPECT_EQ(w.s->wait_exit(), 0);

  // A key that sends a sequence is read whole: the arrows and page keys turn
  // pages, Home goes to the first title, the rest (left, right, F1, Insert)
  // do nothing at all.  Ctrl-L repaints.
  viewer u(forum_log(45));
  EXPECT_EQ(u.press("\x1b[C\x1b[D\x1bOP\x1b[2~\x1b[1;5C"), "");
  EXPECT_TRUE(answers(u, "\x1b[B", full_page(20, 45)));
  EXPECT_TRUE(answers(u, "\x1b[6~", full_page(40, 45)));
  EXPECT_TRUE(answers(u, "\x1bOA", full_page(20, 45)));
  EXPECT_TRUE(answers(u, "\x1b[5~", full_page(0, 45)));
  u.press("jj");
  EXPECT_TRUE(answers(u, "\x1b[1~", full_page(0, 45)));
  EXPECT_TRUE(answers(u, "\x0c", full_page(0, 45)));
  u.s->send("\x1b");
  EXPECT_EQ(u.s->wait_exit(), 0);
}

TEST(E2eKeys, EmptyTableIgnoresKeysThatNeedAnEntry) {
  viewer v("no titles here\njust text\n");
  EXPECT_TRUE(has(undo_crlf(v.s->output()), "Warning : There is no message."));
  EXPECT_EQ(v.press("jkJ\x18\x05"
                    "BA\x06\x02"
                    "0nNuU\r\nvsScCrRwW",
                    200),
            "");
  EXPECT_FALSE(v.dir.exists("comt0"));
  // The link switch and help still work: the page shows the end marker alone.
  std::string out = v.press("l");
  EXPECT_TRUE(has(out, "PAGE : 1/1"));
  EXPECT_TRUE(has(out, row(2, kWhite, "  ", "", "<<< END >>>")));
  EXPECT_EQ(v.quit(), 0);
}

// A shell script that records its arguments, one run a line.
std::string recorder(const temp_dir& dir) {
  std::string path = dir.file("rec.sh");
  write_file(path, "#!/bin/sh\necho \"$*\" >> " + dir.file("calls") + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

TEST(E2eKeys, ReadRunsPagerOrEditorAndMarksRead) {
  temp_dir tools;
  std::string rec = recorder(tools);
  std::string long_arg(300, 'x');
  viewer v(mixed_log(), {{"PAGER", rec}, {"EDITOR", rec + " " + long_arg}});

  std::string out = v.press("\r", 300);
  EXPECT_EQ(out.substr(0, kClear.size()), kClear);
  EXPECT_TRUE(has(out, title_bar(0, "00001/00004 t1", kStar))) << "read mark after Read";
  EXPECT_EQ(tools.read("calls"), "/tmp/dulk_tmp\n");

  // The editor's command line is kept whole, however long.
  v.press("jj");
  out = v.press("v", 300);
  EXPECT_TRUE(has(out, title_bar(2, "00002/00004 t2", kStar)));
  EXPECT_EQ(tools.read("calls"), "/tmp/dulk_tmp\n" + long_arg + " /tmp/dulk_tmp\n");

  // Ctrl-J reads as Return does.
  v.press("j");
  v.press("\n", 300);
  EXPECT_EQ(tools.read("calls"), "/tmp/dulk_tmp\n" + long_arg + " /tmp/dulk_tmp\n/tmp/dulk_tmp\n");
  EXPECT_EQ(v.quit(), 0);
}

// A pager or editor the shell cannot run: its message stays on the screen
// until a key is pressed, and the message is not marked read.
TEST(E2eKeys, ProgramThatCannotRunIsShownAndNothingIsMarked) {
  struct tc {
    const char* name;
    std::map<std::string, std::string> env;
    std::string key;
    std::string shell_says;
  } cases[] = {
      {"missing pager", {{"PAGER", "nosuchpager"}}, "\r", "nosuchpager: not found"},
      {"empty editor", {{"EDITOR", ""}}, "v", "/tmp/dulk_tmp: Permission denied"},
  };
  for (const auto& c : cases) {
    viewer v(mixed_log(), c.env);
    size_t m = v.s->mark();
    v.s->send(c.key);
    ASSERT_TRUE(v.s->wait_for("Press any key to go on.", 5000, m)) << c.name;
    v.s->settle(300);
    std::string held = undo_crlf(v.s->output().substr(m));
    EXPECT_LT(held.find(c.shell_says), held.find("Press any key")) << c.name << ": " << held;
    EXPECT_FALSE(has(held, "LOG FILE")) << c.name << ": repainted before a key";
    std::string out = v.press("x", 80, title_bar(0, "00001/00004 t1"));
    EXPECT_TRUE(has(out, "LOG FILE")) << c.name;
    EXPECT_TRUE(has(out, title_bar(0, "00001/00004 t1"))) << c.name << ": marked read";
    EXPECT_EQ(v.quit(), 0);
    EXPECT_EQ(v.dir.read("dk_readed"), "a.log 00000\n") << c.name;
  }
}

TEST(E2eKeys, MessageKeysOnAHeadingDoNothing) {
  temp_dir tools;
  std::string rec = recorder(tools);
  viewer v(mixed_log(), {{"PAGER", rec}, {"EDITOR", rec}});
  v.press("j");
  EXPECT_EQ(v.press("\r\nvSsCRcrWw", 300), "");
  EXPECT_FALSE(tools.exists("calls"));
  EXPECT_FALSE(v.dir.exists("comt0"));
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eKeys, SavePromptCancelsOrSaves) {
  viewer v(forum_log(3));
  const std::string prompt = kMsgRow + "=> save filename (cancel:'q') = ";
  const std::string cancel = kMsgRow + "cancel!\n";
  EXPECT_TRUE(answers(v, "s", prompt));
  // What is typed is shown; Return ends the line.
  std::string out = v.press("q\r");
  EXPECT_EQ(out.substr(0, 1 + cancel.size()), "q" + cancel);
  EXPECT_TRUE(has(out, full_page(0, 3)));

  // So do "mboxq", an empty line (Ctrl-J ends it as Return does), and ESC.
  for (std::string keys : {"mboxq\r", "\n", "mb\x1b"}) {
    EXPECT_TRUE(answers(v, "S", prompt));
    EXPECT_TRUE(has(v.press(keys, 150), cancel)) << keys;
  }

  // Backspace (DEL or Ctrl-H) takes the last character, a double-byte one
  // whole, and Ctrl-U the line; each shows the line anew.
  v.press("s");
  out = v.press("zz\x15mb\x82\xa0\x7fox\x08x\r");
  EXPECT_TRUE(has(out, prompt + "mb" + "ox" + prompt + "mbo" + "x"));
  EXPECT_TRUE(has(out, kMsgRow + "saving!\n"));
  EXPECT_FALSE(v.dir.read("mbox").empty());
  EXPECT_FALSE(v.dir.exists("mb"));

  // A name longer than 255 bytes is used whole; the row shows its end.
  std::string long_name;
  while (long_name.size() < 300) long_name += "./";
  long_name += "mbox";
  v.press("s");
  std::string before = v.dir.read("mbox");
  out = v.press(long_name + "\r");
  const std::string shown = kMsgRow + "<" + long_name.substr(long_name.size() - 78);
  EXPECT_TRUE(has(out, shown + kMsgRow + "saving!\n" + kClear));
  EXPECT_EQ(v.dir.read("mbox"), before + before);

  // Keys typed after the name's line are left for the list.
  v.press("s");
  out = v.press("q\nj");
  EXPECT_TRUE(has(out, viewer::bar(1, 2, 3)));
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eKeys, ScriptsTakeTheFirstFreeNumber) {
  temp_dir tools;
  std::string rec = recorder(tools);
  viewer v(forum_log(3), {{"EDITOR", rec}});
  v.dir.write("comt0", "");
  v.dir.write("comt2", "");
  std::string out = v.press("c", 300);
  // The list is not cleared before the editor: the terminal goes back to
  // the shell's screen as it stands.
  EXPECT_LT(out.find(kLeaveScreen), out.find(kClear)) << "nothing clears before the editor";
  EXPECT_TRUE(has(out, full_page(0, 3)));
  v.press("w", 300);
  EXPECT_EQ(tools.read("calls"), "comt1\nsay0\n");
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eKeys, SignalsHandTheTerminalBack) {
  const std::string& restore = kLeaveScreen;
  struct tc {
    const char* name;
    int sig;
  } cases[] = {{"hang-up", SIGHUP}, {"terminate", SIGTERM}, {"interrupt", SIGINT}};
  for (const auto& c : cases) {
    viewer v(forum_log(3));
    size_t m = v.s->mark();
    ::kill(v.s->pid(), c.sig);
    EXPECT_EQ(v.s->wait_exit(), 128 + c.sig) << c.name;
    EXPECT_TRUE(has(v.s->output().substr(m), restore)) << c.name;
  }
  // The interrupt key of the terminal does the same.
  viewer v(forum_log(3));
  v.s->send("\x03");
  EXPECT_EQ(v.s->wait_exit(), 128 + SIGINT);
}

// Input that has ended (no terminal to read keys from) ends the run instead
// of reading nothing for ever.
TEST(E2eKeys, InputThatEndsEndsTheRun) {
  temp_dir dir;
  dir.write("a.log", forum_log(3));
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(dir.file("screen").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || ::chdir(dir.path().c_str()) != 0) _exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    std::string prog = dulk_binary();
    char* argv[] = {prog.data(), const_cast<char*>("-v"), const_cast<char*>("a.log"), nullptr};
    char* envp[] = {const_cast<char*>("TERM=xterm"), const_cast<char*>("PATH=/usr/bin:/bin"),
                    nullptr};
    ::execve(prog.c_str(), argv, envp);
    _exit(127);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 500 && done == 0; i++) {
    done = ::waitpid(pid, &status, WNOHANG);
    if (done == 0) ::usleep(10000);
  }
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "still running with its input gone";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(has(dir.read("screen"), "00001/00003 title 1")) << "the list was painted first";
}

}  // namespace

// ---- searching -----------------------------------------------------------------

// The program answers keys with bytes that end in want (before it come the
// prompt and its wiping, whose form the message row decides).
::testing::AssertionResult ends_in(viewer& v, std::string_view keys, const std::string& want) {
  std::string got = v.press(keys, 80, want);
  // Found on the same page, nothing but two rows is repainted.
  if (got.size() >= want.size() && got.compare(got.size() - want.size(), want.size(), want) == 0 &&
      (has(want, kClear) || !has(got, kClear)))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "keys " << ::testing::PrintToString(std::string(keys))
                                       << "\n got  " << ::testing::PrintToString(got)
                                       << "\n want it to end in " << ::testing::PrintToString(want);
}

TEST(E2eSearch, TitlesForwardBackwardRoundAndRepeat) {
  viewer v(forum_log(45));
  // "title 3" is in titles 3 and 30-39.  Found on the same page: two rows.
  EXPECT_TRUE(ends_in(v, "/TITLE 3\r", viewer::plain_row(0, 1, 45) + viewer::bar(2, 3, 45)));
  // An empty pattern repeats it; on another page the page is repainted.
  EXPECT_TRUE(ends_in(v, "/\r", full_page(29, 45)));
  v.press("kk");  // 27: the search starts after the cursor
  EXPECT_TRUE(ends_in(v, "/\r", viewer::plain_row(7, 28, 45) + viewer::bar(9, 30, 45)));
  v.press("jjjjjjjjj");  // 38, title 39
  // Past the end it goes round once from the top, and says so.
  const std::string round_top = sjis("先頭から検索し直しました。");
  std::string round = v.press("/\r", 80, round_top);
  EXPECT_TRUE(has(round, full_page(2, 45))) << round;
  EXPECT_TRUE(has(round, round_top));
  // Backward: "title 4" is in titles 4 and 40-45; from 3 the search goes
  // back past the top to title 45.
  std::string back = v.press("\\title 4\r", 80, sjis("末尾から検索し直しました。"));
  EXPECT_TRUE(has(back, full_page(44, 45))) << back;
  EXPECT_TRUE(ends_in(v, "\\\r", viewer::plain_row(4, 45, 45) + viewer::bar(3, 44, 45)));
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eSearch, NotFoundLeavesTheCursorAndTheNextKeyActs) {
  viewer v(forum_log(5));
  v.press("j");
  const std::string none = sjis("「nothing」は見つかりません。");
  std::string got = v.press("/nothing\r", 80, none);
  EXPECT_TRUE(has(got, none)) << got;
  EXPECT_FALSE(has(got, viewer::bar(0, 1, 5)));
  // The next key wipes the message and moves from the cursor left unmoved.
  EXPECT_TRUE(answers(
      v, "j", kMsgRow + std::string(79, ' ') + viewer::plain_row(1, 2, 5) + viewer::bar(2, 3, 5)));
  // An empty pattern with no search before it does nothing; ESC at the
  // prompt cancels without quitting.
  got = v.press("f\r\\\033");
  EXPECT_FALSE(has(got, kRed + "  ")) << got;
  EXPECT_TRUE(answers(v, "k", viewer::plain_row(2, 3, 5) + viewer::bar(1, 2, 5)));
  v.press("/nothing\r", 80, none);
  EXPECT_EQ(v.quit(), 0);  // q after the note quits
}

TEST(E2eSearch, LinkModeSearchesInThreadOrder) {
  // Log order: a, key b, key c (a reply to a); thread order: a, key c, key b.
  viewer v(
      "00001/00003 a\n 1\nbody\n00002/00003 key b\n 1\nbody\n"
      "00003/00003 key c\n 1                     1\nbody\n");
  EXPECT_TRUE(
      ends_in(v, "/key\r", title_plain(0, "00001/00003 a") + title_bar(1, "00002/00003 key b")));
  v.press("0l");
  EXPECT_TRUE(ends_in(
      v, "/key\r", title_plain(0, "00001/00003 a") + row(3, kRed, "  ", "+", "00003/00003 key c")));
  EXPECT_EQ(v.quit(), 0);
}

TEST(E2eSearch, TextIsFoundInBodiesAndNotInMenus) {
  const std::string menu = sjis("番号またはコマンド") + "\nneedle in a menu\n";
  viewer v("00001/00003 one\n 1\nbody\n" + menu + "00002/00003 two\n 1\nbody\n" +
           "00003/00003 three\n 1\nthe Needle\n");
  EXPECT_TRUE(ends_in(v, "fneedle\r",
                      title_plain(0, "00001/00003 one") + title_bar(2, "00003/00003 three")));
  // Backward from the only message that holds it: round, to itself.
  std::string back = v.press("F\r", 80, sjis("末尾から検索し直しました。"));
  EXPECT_TRUE(has(back, title_bar(2, "00003/00003 three"))) << back;
  std::string menu_word = v.press("fmenu\r", 80, sjis("「menu」は見つかりません。"));
  EXPECT_TRUE(has(menu_word, sjis("「menu」は見つかりません。"))) << menu_word;
  v.press("x");
  EXPECT_EQ(v.quit(), 0);
}
