// Key decoding and the small helpers of the key loop.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "dulk.h"
#include "pty_driver.h"

using namespace dulk_test;
using dulk::key_action;

namespace {

TEST(KeyTable, EveryCodeMapsToItsActionAndNoOther) {
  const std::map<int, key_action> listed = {
      {'J', key_action::read_down},    {24, key_action::down},
      {'j', key_action::down},         {5, key_action::up},
      {'K', key_action::up},           {'k', key_action::up},
      {6, key_action::next_page},      {'B', key_action::next_page},
      {2, key_action::prev_page},      {'A', key_action::prev_page},
      {'0', key_action::first},        {'n', key_action::next_unread},
      {'N', key_action::prev_unread},  {'U', key_action::unread},
      {'u', key_action::unread},       {10, key_action::read_pager},
      {13, key_action::read_pager},    {'v', key_action::read_editor},
      {'S', key_action::save},         {'s', key_action::save},
      {'C', key_action::comment},      {'R', key_action::comment},
      {'c', key_action::comment},      {'r', key_action::comment},
      {'W', key_action::post},         {'w', key_action::post},
      {'L', key_action::link_switch},  {'l', key_action::link_switch},
      {'H', key_action::help},         {'?', key_action::help},
      {'D', key_action::del},          {27, key_action::quit},
      {'P', key_action::quit},         {'Q', key_action::quit},
      {'p', key_action::quit},         {'q', key_action::quit},
      {'/', key_action::title_search}, {'\\', key_action::title_search_back},
      {'f', key_action::text_search},  {'F', key_action::text_search_back},
  };
  for (int code = -1; code <= 600; code++) {
    auto it = listed.find(code);
    key_action want = it == listed.end() ? key_action::none : it->second;
    EXPECT_EQ(dulk::decode_key(code), want) << "code " << code;
  }
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
