// Key decoding and the small helpers of the key loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"
#include "support.h"
#include "viewer_util.h"

using namespace dulk_test;
using dulk::key_action;

namespace {

// What a slip in the table or its lookup would show: a code outside the
// table read from memory past it, a key whose two cases were folded
// together or split apart, a control key taken for its letter.
TEST(KeyTable, CodesOutsideTheTableDoNothing) {
  for (int code : {-1, dulk::kKeyCodes, 127, 255, dulk::kKeyOther, 410 /* KEY_RESIZE */}) {
    EXPECT_EQ(dulk::decode_key(code), key_action::none) << code;
  }
  EXPECT_EQ(dulk::decode_key('w'), key_action::post);  // the last code that does something
}

TEST(KeyTable, CasesAgreeOnlyWhereTheKeysAgree) {
  for (char c : std::string("UuSsCcRrWwLlPpQqKk")) {
    EXPECT_EQ(dulk::decode_key(c), dulk::decode_key(c ^ 0x20)) << c;
    EXPECT_NE(dulk::decode_key(c), key_action::none) << c;
  }
  // J marks read before moving down, j only moves; n and N search in
  // opposite directions; A, B and D have no lower-case key.
  EXPECT_EQ(dulk::decode_key('J'), key_action::read_down);
  EXPECT_EQ(dulk::decode_key('j'), key_action::down);
  EXPECT_EQ(dulk::decode_key('n'), key_action::next_unread);
  EXPECT_EQ(dulk::decode_key('N'), key_action::prev_unread);
  for (char c : std::string("abdhv")) EXPECT_NE(dulk::decode_key(c), dulk::decode_key(c ^ 0x20));
}

TEST(KeyTable, ControlKeysAndLineEnds) {
  EXPECT_EQ(dulk::decode_key(24), key_action::down);  // ^X
  EXPECT_EQ(dulk::decode_key(5), key_action::up);     // ^E
  EXPECT_EQ(dulk::decode_key(6), key_action::next_page);
  EXPECT_EQ(dulk::decode_key(2), key_action::prev_page);
  EXPECT_EQ(dulk::decode_key(13), key_action::read_pager);  // Return
  EXPECT_EQ(dulk::decode_key(10), key_action::read_pager);
  EXPECT_EQ(dulk::decode_key(27), key_action::quit);    // a lone ESC
  EXPECT_EQ(dulk::decode_key(12), key_action::redraw);  // ^L, as in every full-screen program
  EXPECT_EQ(dulk::decode_key(0), key_action::none);
}

// The keys that send a sequence do what the help screen says of them, and
// the search keys are four different searches.
TEST(KeyTable, ArrowPageAndSearchKeys) {
  EXPECT_EQ(dulk::decode_key(dulk::kKeyDown), dulk::decode_key(6));
  EXPECT_EQ(dulk::decode_key(dulk::kKeyPageDown), dulk::decode_key(6));
  EXPECT_EQ(dulk::decode_key(dulk::kKeyUp), dulk::decode_key(2));
  EXPECT_EQ(dulk::decode_key(dulk::kKeyPageUp), dulk::decode_key(2));
  EXPECT_EQ(dulk::decode_key(dulk::kKeyHome), dulk::decode_key('0'));
  EXPECT_EQ(dulk::decode_key(dulk::kKeyRedraw), key_action::redraw);
  EXPECT_EQ(dulk::decode_key('/'), key_action::title_search);
  EXPECT_EQ(dulk::decode_key('\\'), key_action::title_search_back);
  EXPECT_EQ(dulk::decode_key('f'), key_action::text_search);
  EXPECT_EQ(dulk::decode_key('F'), key_action::text_search_back);
}

// What follows the ESC of a key's sequence, in both the normal and the
// application cursor mode; everything else is a key that does nothing.
TEST(KeyTable, EscapeSequencesNameTheirKeys) {
  const std::map<std::string, int> known = {
      {"", 27},
      {"[A", dulk::kKeyUp},
      {"OA", dulk::kKeyUp},
      {"[B", dulk::kKeyDown},
      {"OB", dulk::kKeyDown},
      {"[5~", dulk::kKeyPageUp},
      {"[6~", dulk::kKeyPageDown},
      {"[H", dulk::kKeyHome},
      {"OH", dulk::kKeyHome},
      {"[1~", dulk::kKeyHome},
      {"[7~", dulk::kKeyHome},
      {"OF", dulk::kKeyEnd},
      {"[4~", dulk::kKeyEnd},
      {"[C", dulk::kKeyOther},
      {"[D", dulk::kKeyOther},
      {"OP", dulk::kKeyOther},
      {"[2~", dulk::kKeyOther},
      {"[1;5B", dulk::kKeyOther},
      {"x", dulk::kKeyOther},
      {"[", dulk::kKeyOther},
      {"[B~", dulk::kKeyOther},
  };
  for (const auto& [tail, key] : known) EXPECT_EQ(dulk::decode_escape(tail), key) << tail;
  EXPECT_EQ(dulk::decode_key(dulk::kKeyOther), key_action::none);
}

TEST(ScriptName, FirstFreeNumberFillsGaps) {
  temp_dir dir;
  dulk_test::in_directory in_dir(dir.path());
  EXPECT_EQ(dulk::script_name("comt"), "comt0");
  dir.write("comt0", "");
  dir.write("comt2", "");
  ::mkdir(dir.file("say0").c_str(), 0700);  // any kind of file takes the name
  EXPECT_EQ(dulk::script_name("comt"), "comt1");
  EXPECT_EQ(dulk::script_name("say"), "say1");
}

// The key loop reads keys as a keyboard sends them until they run out.  It
// reads (Tab) and stores at its end, so it runs with the program's tests.
TEST(E2eKeyLoop, KeysOfALongListMoveAndMark) {
  // A heading, then messages 1 .. 44; 3 and 40 answer 1, 10 answers 3, 25
  // answers 10: the thread of 1 stands at positions 1, 3, 10, 25 and 40.
  std::string log = "No. 1 room\n";
  for (int n = 1, p; n <= 44; n++) {
    p = n == 3 || n == 40 ? 1 : n == 10 ? 3 : n == 25 ? 10 : 0;
    log += forum_title(n, 44) + "\n 1" + std::string(21, ' ') + std::to_string(p) + "\nbody\n";
  }
  std::string page1, rest, thread = "1 3 10 25 40 ";
  for (int i = 1; i <= 44; i++) (i < 20 ? page1 : rest) += std::to_string(i) + " ";
  // clang-format off
  struct tc {
    std::string keys;
    int at;
    std::string read;  // the positions marked read, each followed by a blank
    std::string shows = "";
  } cases[] = {
      {"G", 44, ""}, {"\033[F", 44, ""}, {"Gg", 0, ""}, {"G0", 0, ""}, {"  ", 40, ""},
      {"   ", 0, ""} /* Space wraps as Ctrl-F does */, {"7g", 6, "", "count: 7 "}, {"7G", 6, ""},
      {"7\r", 6, ""}, {"10g", 9, ""}, {"1000g", 44, ""}, {"50%", 22, ""}, {"250%", 44, ""},
      {"j%", 1, ""}, {"12\1773g", 12, ""} /* Backspace */, {"5j", 1, ""} /* the count dropped */,
      {"5\033", 0, ""} /* ESC drops the count, and does not quit */, {"11gt", 10, thread},
      {"26Gt", 25, thread}, {"tT", 0, ""}, {"11gtT", 10, ""}, {"jm", 1, page1}, {"Mn", 0, ""},
      {"My", 0, page1 + rest}, {"\t", 1, "1 "}, {"\tt\t", 2, "1 2 3 10 25 40 "},
      {"G=", 44, "", "45 / 45 titles, 44 unread \x81\x45 a.log "}};
  // clang-format on
  for (const auto& c : cases) {
    temp_dir dir;
    in_directory here(dir.path());
    scan_log(log);
    dulk::env_x = 80;
    dulk::env_y = 20;
    dulk::log_path = "a.log";
    dulk::pager = "true";
    dir.write("keys", c.keys);
    int saved_in = ::dup(0);
    ::close(0);
    ASSERT_EQ(::open("keys", O_RDONLY), 0);
    collect_sink sink;
    dulk::out_sink* old_sink = dulk::set_out_sink(&sink);
    dulk::set_exit_hook(throw_on_exit);
    dulk::cursor at;
    int status = -1;
    try {
      dulk::key_loop(at);
    } catch (const exit_called& e) {
      status = e.status;
    }
    dulk::set_exit_hook(nullptr);
    dulk::set_out_sink(old_sink);
    ::dup2(saved_in, 0);
    ::close(saved_in);
    std::string read;
    for (int i = 0; i < dulk::ent_cnt; i++)
      if (dulk::tent[i].readed) read += std::to_string(i) + " ";
    EXPECT_EQ(status, 1) << c.keys;  // the keys ran out; none quit
    EXPECT_EQ(at.cur_idx, c.at) << c.keys;
    EXPECT_EQ(at.cur_row, c.at % 20) << c.keys;
    size_t page = sink.bytes.rfind("PAGE : " + std::to_string(c.at / 20 + 1) + "/3");
    EXPECT_EQ(sink.bytes.rfind("PAGE : "), page) << c.keys;
    EXPECT_TRUE(c.at < 20 || page != std::string::npos) << c.keys;
    EXPECT_NE(sink.bytes.find(c.shows), std::string::npos) << c.keys;
    EXPECT_EQ(read, c.read) << c.keys;
    dulk::reset_state();
  }
}

}  // namespace
