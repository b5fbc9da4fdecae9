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
      {'J', key_action::read_down},
      {24, key_action::down},
      {'j', key_action::down},
      {5, key_action::up},
      {'K', key_action::up},
      {'k', key_action::up},
      {6, key_action::next_page},
      {'B', key_action::next_page},
      {2, key_action::prev_page},
      {'A', key_action::prev_page},
      {'0', key_action::first},
      {'n', key_action::next_unread},
      {'N', key_action::prev_unread},
      {'U', key_action::unread},
      {'u', key_action::unread},
      {10, key_action::read_pager},
      {13, key_action::read_pager},
      {'v', key_action::read_editor},
      {'S', key_action::save},
      {'s', key_action::save},
      {'C', key_action::comment},
      {'R', key_action::comment},
      {'c', key_action::comment},
      {'r', key_action::comment},
      {'W', key_action::post},
      {'w', key_action::post},
      {'L', key_action::link_switch},
      {'l', key_action::link_switch},
      {'H', key_action::help},
      {'?', key_action::help},
      {'D', key_action::del},
      {27, key_action::quit},
      {'P', key_action::quit},
      {'Q', key_action::quit},
      {'p', key_action::quit},
      {'q', key_action::quit},
      {12, key_action::redraw},
      {dulk::kKeyRedraw, key_action::redraw},
      {dulk::kKeyDown, key_action::next_page},
      {dulk::kKeyPageDown, key_action::next_page},
      {dulk::kKeyUp, key_action::prev_page},
      {dulk::kKeyPageUp, key_action::prev_page},
      {dulk::kKeyHome, key_action::first},
      {'/', key_action::title_search},
      {'\\', key_action::title_search_back},
      {'f', key_action::text_search},
      {'F', key_action::text_search_back},
  };
  for (int code = -1; code <= 600; code++) {
    auto it = listed.find(code);
    key_action want = it == listed.end() ? key_action::none : it->second;
    EXPECT_EQ(dulk::decode_key(code), want) << "code " << code;
  }
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
