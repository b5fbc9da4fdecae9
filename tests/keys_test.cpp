// Key decoding and the small helpers of the key loop.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "dulk.h"
#include "pty_driver.h"
#include "support.h"

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

}  // namespace
