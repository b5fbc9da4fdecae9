// Reply scripts written through the real program and edited by a scripted
// editor, on a Shift-JIS and on a UTF-8 terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "pty_driver.h"
#include "viewer_util.h"

using namespace dulk_test;

namespace {

// A board message: " [" at column 4, ']' at column 20, the subject at 37.
std::string board_log() {
  std::string head = "0007 [poster";
  head.resize(20, ' ');
  head += "]";
  head.resize(37, ' ');
  return head + sjis("今月の星空") + "\n" + sjis("土星の環が見えました") + "\n";
}

// An editor that keeps what it was given and the name it was given, then
// puts the text of reply.txt in before the first empty line, as a person
// writes a reply under the command block.
void write_editor(const temp_dir& dir) {
  dir.write("edit.sh",
            "#!/bin/sh\ncp \"$1\" " + dir.file("seen") + "\necho \"$1\" >> " + dir.file("calls") +
                "\nawk 'NR == FNR { r = r $0 \"\\n\"; next }"
                " !done && /^$/ { printf \"%s\", r; done = 1 } { print }' " +
                dir.file("reply.txt") + " \"$1\" > \"$1.new\" && mv \"$1.new\" \"$1\"\n");
  ::chmod(dir.file("edit.sh").c_str(), 0755);
}

// The text stands on the screen after the last repaint of the page.
bool shown_after_repaint(const std::string& screen, const std::string& text) {
  size_t at = screen.rfind("LOG FILE");
  return at != std::string::npos && screen.find(text, at) != std::string::npos;
}

struct script_run {
  std::string screen_after;  // what the program wrote after the editor ended
  int status;
};

// Starts the viewer on the board log, presses keys (each a script key whose
// editor run ends in a repaint), then quits.
script_run run_script_keys(const temp_dir& dir, std::map<std::string, std::string> env,
                           const std::string& keys) {
  dir.write("a.log", board_log());
  write_editor(dir);
  env["EDITOR"] = dir.file("edit.sh");
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  o.env = std::move(env);
  pty_session s(o);
  s.wait_for("LOG FILE");
  s.settle(100);
  size_t m = 0;
  for (char k : keys) {
    m = s.mark();
    s.send(std::string(1, k));
    s.wait_for("LOG FILE", 5000, m);
    s.settle(100);
  }
  script_run r{s.output().substr(m), 0};
  s.send("q");
  r.status = s.wait_exit();
  return r;
}

// The same reply typed in UTF-8 and in Shift-JIS, with the handle, the
// comment mark, the signature and the numbered-subject setting each in the
// terminal's own character set, makes the same script byte for byte.
TEST(E2eScripts, ReplyTypedInUtf8MakesTheShiftJisScript) {
  const std::string reply = "環の傾きがよく分かりました。\n";
  // The signature's last line has no newline: "/POST" still gets its own.
  const std::string sig = "-- ほしみ@星見台 --\n最終行";

  temp_dir sj;
  sj.write("reply.txt", sjis(reply));
  sj.write("sig", sjis(sig));
  auto a = run_script_keys(sj,
                           {{"HANDLE", sjis("ほしみ")},
                            {"COMMENT", sjis("＞")},
                            {"SIGN", sj.file("sig")},
                            {sjis("ヌペ"), ""}},
                           "c");
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(sj.read("calls"), "comt0\n");

  temp_dir u8;
  u8.write("reply.txt", reply);
  u8.write("sig", sig);
  auto b = run_script_keys(u8,
                           {{"DULK_CHARSET", "UTF-8"},
                            {"HANDLE", "ほしみ"},
                            {"COMMENT", "＞"},
                            {"SIGN", u8.file("sig")},
                            {"ヌペ", ""}},
                           "c");
  EXPECT_EQ(b.status, 0);
  // The editor was given a UTF-8 copy, and the copy is gone afterwards.
  EXPECT_EQ(u8.read("calls"), "comt0.utf8\n");
  EXPECT_EQ(u8.read("seen"), utf8(sj.read("seen")));
  EXPECT_FALSE(u8.exists("comt0.utf8"));

  const std::string script = sj.read("comt0");
  EXPECT_EQ(u8.read("comt0"), script);
  EXPECT_TRUE(script.starts_with("WRITE\n" + sjis("ほしみ:#7:RE:今月の星空") + "\n1\n" +
                                 sjis(reply) + "\n"))
      << script;
  EXPECT_TRUE(script.ends_with(sjis("＞ 土星の環が見えました\n\n-- ほしみ@星見台 --\n最終行\n") +
                               "/POST\n"))
      << script;
}

// A character without a Shift-JIS form is not dropped: it shows as 〓 in the
// script, the row below the header names the line, and the text typed stays
// in the kept copy, whose number the next script does not take.
TEST(E2eScripts, CharacterWithoutShiftJisFormKeepsTheCopy) {
  temp_dir dir;
  dir.write("reply.txt", "晴れ🌟でした\n");
  auto r = run_script_keys(dir, {{"DULK_CHARSET", "UTF-8"}, {"HANDLE", "ほしみ"}}, "c");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(dir.read("comt0").starts_with("WRITE\n" + sjis("ほしみ: RE:今月の星空") + "\n1\n" +
                                            sjis("晴れ〓でした") + "\n\n"))
      << dir.read("comt0");
  EXPECT_NE(dir.read("comt0.utf8").find("晴れ🌟でした\n"), std::string::npos);
  // Within a row's width, so that the name of the copy is seen.
  const std::string said =
      "comt0 line 4: no Shift-JIS form, written as 〓; your text is in comt0.utf8";
  EXPECT_TRUE(shown_after_repaint(r.screen_after, said)) << r.screen_after;

  ::unlink(dir.file("comt0").c_str());
  dir.write("reply.txt", "晴れでした\n");
  r = run_script_keys(dir, {{"DULK_CHARSET", "UTF-8"}}, "c");
  EXPECT_EQ(dir.read("calls"), "comt0.utf8\ncomt1.utf8\n");
  EXPECT_NE(dir.read("comt0.utf8").find("晴れ🌟でした\n"), std::string::npos);
  EXPECT_FALSE(dir.exists("comt1.utf8"));
}

TEST(E2eScripts, UnreadableSignatureIsSaidOnTheScreen) {
  temp_dir dir;
  dir.write("reply.txt", "x\n");
  auto r = run_script_keys(dir, {{"SIGN", dir.file("no-such-sign")}}, "w");
  EXPECT_EQ(r.status, 0);
  const std::string error = sjis("Error: 署名ファイルの読み込みに失敗しました。");
  EXPECT_NE(dir.read("say0").find(error + "\n"), std::string::npos);
  EXPECT_TRUE(shown_after_repaint(r.screen_after, error + " (SIGN: No such file or directory)"))
      << r.screen_after;
}

// A script the editor left as dulk wrote it (the user quit without a word)
// is removed, also when the UTF-8 copy was edited, and the row says so.
TEST(E2eScripts, ScriptLeftAsWrittenIsNotKept) {
  const struct {
    const char* charset;
    std::string key, name;
  } rows[] = {{"", "c", "comt0"}, {"UTF-8", "w", "say0"}};
  for (const auto& row : rows) {
    temp_dir dir;  // without reply.txt the editor changes nothing
    auto r = run_script_keys(dir, {{"DULK_CHARSET", row.charset}}, row.key);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(dir.exists(row.name)) << row.name;
    EXPECT_FALSE(dir.exists(row.name + ".utf8")) << row.name;
    EXPECT_TRUE(shown_after_repaint(r.screen_after, row.name + ": not changed, not kept"))
        << r.screen_after;
  }
}

}  // namespace
