// Key decoding and the small helpers of the key loop.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "dulk.h"
#include "pty_driver.h"

using namespace dulk_test;
using dulk::key_action;

namespace {

// What a slip in the table or its lookup would show: a code outside the
// table read from memory past it, a key whose two cases were folded
// together or split apart, a control key taken for its letter.
TEST(KeyTable, CodesOutsideTheTableDoNothing) {
  for (int code : {-1, dulk::kKeyCodes, 127, 255, 258 /* KEY_DOWN */, 410 /* KEY_RESIZE */}) {
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
  EXPECT_EQ(dulk::decode_key(27), key_action::quit);  // an arrow key's ESC quits
  EXPECT_EQ(dulk::decode_key(0), key_action::none);
}

// Writes bytes into a pipe and closes the writing end when asked.
struct pipe_input {
  int fd[2];
  explicit pipe_input(const std::string& bytes, bool close_after = true) {
    if (::pipe(fd) != 0) throw std::runtime_error("pipe");
    if (::write(fd[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("write");
    }
    if (close_after) {
      ::close(fd[1]);
      fd[1] = -1;
    }
  }
  ~pipe_input() {
    ::close(fd[0]);
    if (fd[1] >= 0) ::close(fd[1]);
  }
};

TEST(SaveName, ReadsOneLineAndLeavesTheRest) {
  pipe_input in("mbox\njk");
  std::string name;
  EXPECT_TRUE(dulk::read_save_name(in.fd[0], name));
  EXPECT_EQ(name, "mbox");
  char rest[8] = {};
  EXPECT_EQ(::read(in.fd[0], rest, sizeof rest), 2);
  EXPECT_STREQ(rest, "jk");
}

TEST(SaveName, LongNamesAreKeptWholeAndAnEndBeforeTheLineIsNoName) {
  std::string long_name(1000, 'n');
  pipe_input in(long_name + "\n");
  std::string name;
  EXPECT_TRUE(dulk::read_save_name(in.fd[0], name));
  EXPECT_EQ(name, long_name);

  pipe_input cut("half-typed");
  EXPECT_FALSE(dulk::read_save_name(cut.fd[0], name));

  pipe_input empty("\n");
  EXPECT_TRUE(dulk::read_save_name(empty.fd[0], name));
  EXPECT_EQ(name, "");
}

TEST(ScriptName, FirstFreeNumberFillsGaps) {
  temp_dir dir;
  char old[4096];
  ASSERT_NE(::getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  EXPECT_EQ(dulk::script_name("comt"), "comt0");
  dir.write("comt0", "");
  dir.write("comt2", "");
  ::mkdir(dir.file("say0").c_str(), 0700);  // any kind of file takes the name
  EXPECT_EQ(dulk::script_name("comt"), "comt1");
  EXPECT_EQ(dulk::script_name("say"), "say1");
  ASSERT_EQ(::chdir(old), 0);
}

}  // namespace
