// Message extracts and reply/post scripts, from logs built in the test.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"
#include "support.h"

using dulk_test::read_file;
using dulk_test::scan_log;
using dulk_test::temp_dir;

namespace {

// Sets (or, given nullopt, unsets) one variable for the life of a test.
class env_var {
 public:
  env_var(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~env_var() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The script settings as a fresh test wants them: nothing set.
struct clean_env {
  env_var sign{"SIGN", std::nullopt};
  env_var handle{"HANDLE", std::nullopt};
  env_var comment{"COMMENT", std::nullopt};
  env_var numbered{"\x83\x6b\x83\x79", std::nullopt};
};

std::string pad(std::string s, size_t width) {
  s.resize(width, ' ');
  return s;
}

// A forum header: number, '/', the subject at column 39.
const std::string kForumTitle = pad("00012/00034 sender", 39) + "Forum subject";
// A bracket header: " [" at column 4, ']' at column 20, the subject at 37.
const std::string kBoardTitle = pad(pad("0007 [poster", 20) + "]", 37) + "Board subject";
// A mail list line: the recipient at column 22, the date's slashes at 42 and
// 45, a blank at 48 and a colon at 51.
const std::string kMailTitle = pad(pad("12 mail entry", 22) + "RECIPNT1", 40) + "xx/01/02 12:34 t";

const std::string kHandleUnset =
    "\x3c\x83\x6e\x83\x93\x83\x68\x83\x8b\x96\xbc\x3e";  // <ハンドル名>
const std::string kTitlePlaceholder = "\x3c\x83\x5e\x83\x43\x83\x67\x83\x8b\x3e";  // <タイトル>

std::string right70(const std::string& s) {
  return std::string(s.size() < 70 ? 70 - s.size() : 0, ' ') + s;
}

using dulk_test::exit_called;
using dulk_test::throw_on_exit;

class Extract : public ::testing::Test {
 protected:
  void SetUp() override { dulk::set_exit_hook(throw_on_exit); }
  void TearDown() override {
    dulk::set_exit_hook(nullptr);
    dulk::reset_state();
  }

  std::string extract(int index, int mode) {
    std::string out = dir_.file("out");
    dulk::write_one_log(dulk::log_fp, dulk::tent, out.c_str(), mode, index);
    return read_file(out);
  }

  clean_env env_;
  temp_dir dir_;
};

TEST_F(Extract, ForumHeadsAndBody) {
  scan_log(kForumTitle + "\n 12 room\nline one\n\nline two\n" + kForumTitle + "\n 12\nnext\n");
  EXPECT_EQ(extract(0, dulk::kPlain), kForumTitle + "\n 12 room\nline one\n\nline two\n");
  EXPECT_EQ(extract(0, dulk::kComment), "mes 12\n1\n1\nSUB:RE:Forum subject\nRE:00012\n\n>> " +
                                            kForumTitle +
                                            "\n>>  12 room\n>> line one\n>> \n>> line two\n\n" +
                                            right70(kHandleUnset) + "\n/POST\n");
  EXPECT_EQ(extract(0, dulk::kSay),
            "mes 12\n1\n1\nSUB: " + kTitlePlaceholder +
                "\n\n\x3c\x89\xef\x8b\x63\x8e\xba\x2f\x94\xad\x8c\xbe\x93\xe0\x97\x65\x3e\n\n" +
                right70(kHandleUnset) + "\n/POST\n");
}

TEST_F(Extract, ForumRoomNumberIsWholeAndZeroWithoutDigits) {
  // The scanner keeps the room modulo 256 as the group; the script has it whole.
  scan_log("00001/00002 a\n 300\nx\n00003/00004 b\nroom\nx\n");
  EXPECT_EQ(extract(0, dulk::kSay).substr(0, 8), "mes 300\n");
  EXPECT_EQ(extract(1, dulk::kComment).substr(0, 6), "mes 0\n");
}

TEST_F(Extract, ShortForumTitleHasEmptySubject) {
  scan_log("00001/0 a\n 3\nx\n");
  EXPECT_EQ(extract(0, dulk::kComment).substr(0, 32), "mes 3\n1\n1\nSUB:RE:\nRE:00001\n\n>> 0");
}

TEST_F(Extract, BoardHeadsWithAndWithoutNumberedSubject) {
  scan_log(kBoardTitle + "\nboard text\n");
  env_var handle("HANDLE", "me");
  const std::string quoted =
      ">> " + kBoardTitle + "\n>> board text\n\n" + right70("me") + "\n/POST\n";
  EXPECT_EQ(extract(0, dulk::kComment),
            "WRITE\nme: RE:Board subject\n1\n\n #7  Board subject\n\n" + quoted);
  {
    env_var numbered("\x83\x6b\x83\x79", "");  // set, even empty, selects the number
    EXPECT_EQ(extract(0, dulk::kComment),
              "WRITE\nme:#7:RE:Board subject\n1\n\n #7  Board subject\n\n" + quoted);
  }
  EXPECT_EQ(extract(0, dulk::kSay),
            "WRITE\nme:" + kTitlePlaceholder +
                "\n1\n\n\x3c\x82\x67\x82\x6f\x2f\x94\xad\x8c\xbe\x93\xe0\x97\x65\x3e\n\n" +
                right70("me") + "\n/POST\n");
}

// A news article is its header block, above its Subject: line too, and its
// body, up to the next article's header block; a reply quotes the body.
TEST_F(Extract, NewsArticleGetsBoardHeadAndItsOwnHeaders) {
  scan_log(
      "x\n\nXref: host a.b:42\nSubject: hello\nFrom: x\n\nnews body\nPath: p\n"
      "Subject: next\nFrom: y\n\nnext body\n");
  EXPECT_EQ(extract(0, dulk::kComment),
            "WRITE\n" + kHandleUnset + ": RE:\n1\n\n #42  \n\n>> 00042: hello\n>> news body\n\n" +
                right70(kHandleUnset) + "\n/POST\n");
  EXPECT_EQ(extract(0, dulk::kPlain),
            "00042: hello\nXref: host a.b:42\nSubject: hello\nFrom: x\n\nnews body\n");
  EXPECT_EQ(extract(1, dulk::kPlain),
            "00042: next\nPath: p\nSubject: next\nFrom: y\n\nnext body\n");
}

TEST_F(Extract, MailHeadsDoNotQuoteTheTitle) {
  scan_log(kMailTitle + "\nSUB1234567Mail subject\nmail text\n");
  env_var handle("HANDLE", "");
  EXPECT_EQ(extract(0, dulk::kComment),
            "SMAIL\nSUB:RE:Mail subject\nFROM:\nTO:RECIPNT1\n\n>> SUB1234567Mail subject\n>> mail "
            "text\n\n" +
                std::string(70, ' ') + "\n/POST\n");
  EXPECT_EQ(extract(0, dulk::kSay),
            "SMAIL\nSUB:" + kTitlePlaceholder +
                "\nFROM:\nTO:RECIPNT1\n\x3c\x45\x2d\x6d\x61\x69\x6c\x2f\x93\xe0\x97\x65\x3e\n\n\n" +
                std::string(70, ' ') + "\n/POST\n");
}

TEST_F(Extract, StyleFromTitleColumns) {
  // Mail wins over forum; a title of 45 bytes or fewer is never mail.
  std::string forum_mail = kMailTitle;
  forum_mail.replace(0, 6, "00001/");
  std::string short45 = pad("00001/ x", 42) + "/ab";  // 45 bytes, '/' at 42 only
  scan_log(forum_mail + "\n 1\nx\n" + short45 + "\n 2\nx\n");
  EXPECT_EQ(extract(0, dulk::kSay).substr(0, 6), "SMAIL\n");
  EXPECT_EQ(extract(1, dulk::kSay).substr(0, 6), "mes 2\n");
}

// Each row: a line that follows "keep" in a message of the given kind, and
// whether the message ends before it.
struct stop_case {
  const char* name;
  const char* kind;  // "forum" (msghead 1), "board" (msghead 1), "mail" (msghead 0)
  std::string line;
  bool stops;
};

TEST_F(Extract, StopRules) {
  const std::string gt = "\x81\x84";                                  // ＞
  const std::string conference = "\x93\x64\x8e\x71\x89\xef\x8b\x63";  // 電子会議
  const std::string data_name = "\x83\x66\x81\x5b\x83\x5e\x96\xbc";   // データ名
  std::string mail_like(46, 'm');
  mail_like[42] = mail_like[45] = '/';
  std::string one_slash = mail_like;
  one_slash[45] = 'm';
  const std::vector<stop_case> cases = {
      {"quote_in_header_message", "forum", gt + "quoted", false},
      {"quote_in_board_message", "board", gt + "quoted", false},
      {"quote_ends_list_entry", "mail", gt + "quoted", true},
      {"forum_header_columns", "forum", "9xxxx/", true},
      {"no_digit_at_0", "forum", "x2345/", false},
      {"indented_forum_columns", "board", "xx3xxxx/", true},
      {"bracket_at_4", "board", "abcd [", true},
      {"bracket_at_7", "mail", "abcdefg [", true},
      {"bracket_at_5", "forum", "abcde [", false},
      {"subject", "board", "Subject: x", true},
      {"subject_lower_case", "board", "subject: x", false},
      {"conference_ends_forum", "forum", conference + "x", true},
      {"conference_ends_mail", "mail", conference + "x", true},
      {"conference_kept_in_board", "board", conference + "x", false},
      {"hp_prompt", "forum", "HP>", true},
      {"ccs", "forum", "CCS x", true},
      {"number_or_command", "board",
       "\x94\xd4\x8d\x86\x82\xdc\x82\xbd\x82\xcd\x83\x52\x83\x7d\x83\x93\x83\x68 x", true},
      {"action", "forum", "action: x", true},
      {"equals_blank", "forum", "=== x", true},
      {"equals_no_blank", "forum", "===x", false},
      {"item_menu", "forum", "\x8d\x80\x96\xda\x20\x28x", true},
      {"item_without_paren", "forum", "\x8d\x80\x96\xda\x20x", false},
      {"data_name", "forum", data_name, true},
      {"data_name_at_2", "forum", "  " + data_name, true},
      {"data_name_at_1", "forum", " " + data_name, false},
      {"process_menu", "forum", "\x8f\x88\x97\x9d\x20\x28", true},
      {"escape", "mail", "\033[0m", true},
      {"mail_list_columns", "forum", mail_like, true},
      {"mail_list_one_slash", "forum", one_slash, false},
      {"mail_list_too_short", "forum", mail_like.substr(0, 45), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string title = std::string(c.kind) == "forum"   ? "00001/00002 t\n 1\n"
                        : std::string(c.kind) == "board" ? kBoardTitle + "\n"
                                                         : kMailTitle + "\n";
    scan_log(title + "keep\n" + c.line + "\nafter\n");
    std::string got = extract(0, dulk::kPlain);
    std::string head = title + "keep\n";
    if (c.stops) {
      EXPECT_EQ(got, head);
    } else {
      EXPECT_EQ(got, head + c.line + "\nafter\n");
    }
  }
}

TEST_F(Extract, MessageRunningToTheEndOfTheLog) {
  scan_log(kBoardTitle + "\none\nlast\n");
  EXPECT_EQ(extract(0, dulk::kPlain), kBoardTitle + "\none\nlast\n");
  scan_log(kBoardTitle + "\none\nlast");  // no final newline: the last line is not copied
  EXPECT_EQ(extract(0, dulk::kPlain), kBoardTitle + "\none\n");
  scan_log(kBoardTitle + "\n");  // nothing at all after the title
  EXPECT_EQ(extract(0, dulk::kComment).substr(0, 6), "WRITE\n");
  EXPECT_EQ(extract(0, dulk::kPlain), kBoardTitle + "\n");
}

TEST_F(Extract, CarriageReturnsDroppedAndLongLinesWhole) {
  std::string long_line(100000, 'L');
  scan_log(kBoardTitle + "\r\nab\rc\r\n" + long_line + "\nend\n");
  EXPECT_EQ(extract(0, dulk::kPlain), kBoardTitle + "\nabc\n" + long_line + "\nend\n");
}

TEST_F(Extract, EmptyCommentMarkLeavesOneBlank) {
  env_var comment("COMMENT", "");
  scan_log(kBoardTitle + "\ntext\n");
  std::string got = extract(0, dulk::kComment);
  EXPECT_NE(got.find("\n " + kBoardTitle + "\n text\n\n"), std::string::npos) << got;
}

TEST_F(Extract, LinkModeTakesTheThreadOrder) {
  scan_log("00001/00002 first\n 1\none\n00003/00004 second\n 1\ntwo\n");
  dulk::tentp[0] = &dulk::tent[1];
  dulk::link = 1;
  EXPECT_EQ(extract(0, dulk::kPlain), "00003/00004 second\n 1\ntwo\n");
}

TEST_F(Extract, SignatureLinesFormattedWithOneMoment) {
  scan_log(kBoardTitle + "\nx\n");
  dir_.write("sig", "-- %Y --\n100%%\n" + std::string(1500, 'a') + "\nno newline");
  env_var sign("SIGN", dir_.file("sig"));
  std::time_t now = std::time(nullptr);
  char year[16];
  std::strftime(year, sizeof year, "%Y", std::localtime(&now));
  std::string got = extract(0, dulk::kSay);
  // "/POST" keeps a line of its own after a last line without a newline.
  std::string tail = "\n-- " + std::string(year) + " --\n100%\n" + std::string(1500, 'a') +
                     "\nno newline\n/POST\n";
  ASSERT_GE(got.size(), tail.size());
  EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
}

TEST_F(Extract, SignatureExpandingPastItsBufferIsWrittenWhole) {
  scan_log(kBoardTitle + "\nx\n");
  std::string fmt;
  for (int i = 0; i < 500; i++) fmt += "%Y";  // 1000 bytes become 2000
  dir_.write("sig", fmt + "\n");
  env_var sign("SIGN", dir_.file("sig"));
  std::time_t now = std::time(nullptr);
  char year[16];
  std::strftime(year, sizeof year, "%Y", std::localtime(&now));
  std::string expanded;
  for (int i = 0; i < 500; i++) expanded += year;
  std::string got = extract(0, dulk::kSay);
  std::string tail = "\n\n" + expanded + "\n/POST\n";
  ASSERT_GE(got.size(), tail.size());
  EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
}

TEST_F(Extract, MissingSignatureFileGoesIntoTheScript) {
  scan_log(kBoardTitle + "\nx\n");
  env_var sign("SIGN", dir_.file("no-such-file"));
  env_var handle("HANDLE", "hd");
  std::string got = extract(0, dulk::kSay);
  std::string tail =
      "\n\nError: \x8f\x90\x96\xbc\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x93\xc7\x82\xdd\x8d\x9e"
      "\x82\xdd\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n" +
      right70("hd") + "\n/POST\n";
  ASSERT_GE(got.size(), tail.size());
  EXPECT_EQ(got.substr(got.size() - tail.size()), tail);
}

TEST_F(Extract, ScriptFileIsTruncated) {
  scan_log(kBoardTitle + "\nx\n");
  dir_.write("out", std::string(5000, 'z'));
  EXPECT_EQ(extract(0, dulk::kPlain), kBoardTitle + "\nx\n");
}

TEST_F(Extract, FailuresEndTheRun) {
  scan_log(kBoardTitle + "\nx\n");
  std::string bad_dir = dir_.file("missing/out");
  testing::internal::CaptureStderr();
  try {
    dulk::write_one_log(dulk::log_fp, dulk::tent, bad_dir.c_str(), dulk::kPlain, 0);
    ADD_FAILURE() << "returned";
  } catch (const exit_called& e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "dulk : write tmp : No such file or directory\n");

  // The output exists, empty, when the log cannot be positioned.
  dulk::tent[0].offset = -1;
  std::string out = dir_.file("seek");
  testing::internal::CaptureStderr();
  try {
    dulk::write_one_log(dulk::log_fp, dulk::tent, out.c_str(), dulk::kPlain, 0);
    ADD_FAILURE() << "returned";
  } catch (const exit_called& e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "dulk : seek log : Invalid argument\n");
  EXPECT_TRUE(dir_.exists("seek"));
  EXPECT_EQ(read_file(out), "");
}

TEST_F(Extract, ReadErrorIsNotPassedOffAsAnExtract) {
  scan_log(kBoardTitle + "\nx\n");
  // A stream that opens but fails every read, as a failing disk would.
  FILE* unreadable = std::fopen(dir_.path().c_str(), "rb");
  ASSERT_NE(unreadable, nullptr);
  testing::internal::CaptureStderr();
  try {
    dulk::write_one_log(unreadable, dulk::tent, dir_.file("out").c_str(), dulk::kPlain, 0);
    ADD_FAILURE() << "returned";
  } catch (const exit_called& e) {
    EXPECT_EQ(e.status, 1);
  }
  std::fclose(unreadable);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "dulk : read log : Is a directory\n");

  // An error an earlier use left on the stream does not fail the next.
  dir_.write("log", kBoardTitle + "\nx\n");
  FILE* read_only = std::fopen(dir_.file("log").c_str(), "rb");
  ASSERT_NE(read_only, nullptr);
  std::fputc('x', read_only);
  ASSERT_TRUE(std::ferror(read_only));
  std::string out = dir_.file("out");
  dulk::write_one_log(read_only, dulk::tent, out.c_str(), dulk::kPlain, 0);
  std::fclose(read_only);
  EXPECT_EQ(read_file(out), kBoardTitle + "\nx\n");
}

TEST_F(Extract, WriteErrorIsNotPassedOffAsAnExtract) {
  std::string body;
  while (body.size() < 20000) body += "a line of the body\n";
  scan_log(kBoardTitle + "\n" + body);
  // No file may grow past 4 KiB while the extract is written: a full disk.
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 4096;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  testing::internal::CaptureStderr();
  try {
    dulk::write_one_log(dulk::log_fp, dulk::tent, dir_.file("out").c_str(), dulk::kPlain, 0);
    ADD_FAILURE() << "returned";
  } catch (const exit_called& e) {
    EXPECT_EQ(e.status, 1);
  }
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "dulk : write tmp : File too large\n");
}

// Real mails in a row look to the scanner like saved news articles: every
// extract must be the title and then the log's own lines, from the first
// line of the header block above the entry's position, unchanged but for
// the carriage returns.
TEST_F(Extract, RealMailsExtractAsTheLogsOwnLines) {
  const std::vector<std::string> files = dulk_test::real_mail_files();
  SKIP_OR_FAIL_WITHOUT_REALDATA(files.empty(),
                                "no real mails at " << dulk_test::realdata_path("mail"));
  std::string log;
  for (const auto& f : files) log += read_file(f) + "\n";
  auto t = scan_log(log, 100000);
  ASSERT_GT(t.count, 50);
  for (int i = 0; i < t.count; i++) {
    SCOPED_TRACE(t.titles[i]);
    std::string got = extract(i, dulk::kPlain);
    ASSERT_TRUE(got.starts_with(t.titles[i] + "\n"));
    std::string before, rest;
    const size_t at = static_cast<size_t>(dulk::tent[i].offset);
    for (char c : log.substr(at - std::min<size_t>(at, 65536), std::min<size_t>(at, 65536)))
      if (c != '\r') before += c;
    for (char c : log.substr(at)) {
      if (c != '\r') rest += c;
    }
    std::string body = got.substr(t.titles[i].size() + 1);
    bool own = false;
    for (size_t k = 0; !own; k = body.find('\n', k) + 1) {
      own = before.ends_with(body.substr(0, k)) && rest.starts_with(body.substr(k));
      if (body.find('\n', k) == std::string::npos) break;
    }
    EXPECT_TRUE(own);
    EXPECT_TRUE(extract(i, dulk::kComment).ends_with("/POST\n"));
  }
}

TEST(CreatePrivate, ReplacesPlantedLinkAndFileWithOwnerOnlyFile) {
  temp_dir dir;
  dir.write("target", "precious");
  std::string name = dir.file("x");
  ASSERT_EQ(::symlink(dir.file("target").c_str(), name.c_str()), 0);
  FILE* fp = dulk::create_private(name.c_str());
  ASSERT_NE(fp, nullptr);
  std::fputs("new", fp);
  std::fclose(fp);
  EXPECT_EQ(dir.read("target"), "precious");
  struct stat st;
  ASSERT_EQ(::lstat(name.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(dir.read("x"), "new");

  // A directory in the way cannot be cleared: the creation fails.
  ASSERT_EQ(::mkdir(dir.file("d").c_str(), 0700), 0);
  EXPECT_EQ(dulk::create_private(dir.file("d").c_str()), nullptr);
}

// Uses the real extract path, so it runs with the tests that run the program.
class E2eExtract : public Extract {};

TEST_F(E2eExtract, LinkPlantedAtTheExtractIsNotFollowed) {
  scan_log(kBoardTitle + "\nx\n");
  dir_.write("target", "precious");
  ::unlink(dulk::kTmpFile);
  ASSERT_EQ(::symlink(dir_.file("target").c_str(), dulk::kTmpFile), 0);
  dulk::write_one_log(dulk::log_fp, dulk::tent, dulk::kTmpFile, dulk::kPlain, 0);
  struct stat st;
  ASSERT_EQ(::lstat(dulk::kTmpFile, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(read_file(dulk::kTmpFile), kBoardTitle + "\nx\n");
  EXPECT_EQ(dir_.read("target"), "precious");
  ::unlink(dulk::kTmpFile);
}

}  // namespace
