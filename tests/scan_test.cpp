// The scanner over logs built from bytes in the test.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dulk.h"
#include "log_lines.h"
#include "scan_util.h"
#include "sjis.h"
#include "viewer_util.h"

using dulk_test::scan_log;

namespace {

const std::string kAngle(dulk::sjis::kAngle);
const std::string kConference(dulk::sjis::kConferenceHeading);
const std::string kHomeParty(dulk::sjis::kHomeParty);
const std::string kDataName(dulk::sjis::kDataName);
const std::string kWeekly(dulk::sjis::kWeekly);
const std::string kInbox(dulk::sjis::kInbox);
const std::string kBangou(dulk::sjis::kIdList.substr(0, 4));  // 番号

std::string mail_line() {
  // 42 bytes of text, then "/", 2 bytes, "/", 2 bytes, " ", 2 bytes, ":".
  std::string s = "00012  SENDER01  some subject text here...";
  s.resize(42, ' ');
  s += "/12/05 10:30 rest";
  return s;
}

struct form_case {
  const char* name;
  std::string log;  // the title line and whatever it consumes
  std::string title;
  int num;
  int kind;
  int msghead;
};

std::vector<form_case> form_cases() {
  return {
      {"forum", "00123/00045 subject\n 7\n", "00123/00045 subject", 123, 0, 1},
      {"forum_indented", "  00124/00045 subj\n 7\n", "00124/00045 subj", 124, 0, 1},
      {"bracket", "0042 [abcdefghijklmn] SUBJ\n", "0042 [abcdefghijklmn] SUBJ", 42, 0, 1},
      {"bracket_indented", "   0043 [abcdefghijklmn] S\n", "0043 [abcdefghijklmn] S", 43, 0, 1},
      {"angle_heading", kAngle + "forum 5" + "\n", kAngle + "forum 5", 0, 1, 0},
      {"conference_heading", kConference + "1\n",
       "\x89\xef\x8b\x63\x8e\xba"
       "1",
       0, 2, 0},
      {"home_party_heading", kHomeParty + " 12\n", kHomeParty + " 12", 0, 1, 0},
      {"id_list", kBangou + "  ID list\n", kBangou + "  ID list", 0, 0, 0},
      {"id_list_indented", "  " + kBangou + "  ID\n", kBangou + "  ID", 0, 0, 0},
      {"data_list", kDataName + " x\n", kDataName + " x", 0, 0, 0},
      {"data_list_indented", "  " + kDataName + "\n", kDataName, 0, 0, 0},
      {"weekly_notice", kWeekly + "\n", kWeekly, 0, 0, 0},
      {"news", "Subject: 12 hello\nFrom: a\n\n", "00000: 12 hello", 12, 0, 1},
      {"inbox", kInbox + " 0005 from x\n", "0005 from x", 5, 0, 1},
      {"number_heading", "No. 3 room\n", "No. 3 room", 0, 2, 0},
      {"escape_marked", "\033[7m\n(17) title\n reply\n", "(17) title", 17, 0, 1},
      {"mail_list", mail_line() + "\n", mail_line(), 12, 0, 0},
  };
}

}  // namespace

// A carriage return inside a title line is no part of its text, even where
// it moves the bytes the forms look at.
TEST(Scan, EveryLineFormMakesItsEntry) {
  for (const auto& c : form_cases()) {
    for (std::string log : {c.log, c.log.substr(0, 1) + "\r" + c.log.substr(1)}) {
      SCOPED_TRACE(std::string(c.name) + (log == c.log ? "" : " with a CR"));
      auto t = scan_log("body\n" + log + "tail\n");
      ASSERT_EQ(t.count, 1);
      EXPECT_EQ(t.titles[0], c.title);
      EXPECT_EQ(dulk::tent[0].num, c.num);
      EXPECT_EQ(dulk::tent[0].kind, c.kind);
      EXPECT_EQ(dulk::tent[0].msghead, c.msghead);
    }
  }
}

TEST(Scan, NearMissesMakeNoEntry) {
  const std::vector<std::string> lines = {
      "00a23/00045",              // byte 2 not a digit
      "00123-00045",              // no '/'
      "subject: lower case",      // Subject is case-sensitive
      "No abc",                   // "No." needs the dot
      " " + kAngle,               // heading not at column 0
      mail_line().substr(0, 51),  // mail line needs more than 51 bytes
      "\033",                     // a lone ESC is not the marker
      "",
  };
  for (const auto& l : lines) {
    SCOPED_TRACE(l);
    EXPECT_EQ(scan_log(l + "\nbody\n").count, 0);
  }
}

TEST(Scan, EarlierFormWinsOverLaterOne) {
  // Digits at 0 and 2 and '/' at 5 make a forum header even with a mail
  // line's slashes, blank and colon.
  std::string s = "12345/" + std::string(36, 'x') + "/12/05 10:30 rest";
  auto t = scan_log(s + "\n 3\n");
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(dulk::tent[0].msghead, 1);
  EXPECT_EQ(dulk::tent[0].group, 3);  // the follow-up line was consumed
}

TEST(Scan, OffsetsFollowTheTitleLineAndConsumedLinesAreNotTitles) {
  // The forum follow-up line looks like a title itself but is consumed.
  std::string log = "body\r\n00001/00002 a\r\n00002/00003 consumed\n00003/00004 b\n x\n";
  auto t = scan_log(log);
  ASSERT_EQ(t.count, 2);
  EXPECT_EQ(t.titles[0], "00001/00002 a");  // carriage return dropped
  EXPECT_EQ(dulk::tent[0].offset, 21);
  EXPECT_EQ(t.titles[1], "00003/00004 b");
  EXPECT_EQ(dulk::tent[1].offset, static_cast<long>(log.find(" x\n")));
}

TEST(Scan, LastLineWithoutNewlineIsNotExamined) {
  EXPECT_EQ(scan_log("00001/00002 a").count, 0);
  EXPECT_EQ(scan_log("").count, 0);
  EXPECT_EQ(scan_log("00001/00002 a\n").count, 1);
}

TEST(Scan, HeadingsCollapse) {
  struct c {
    const char* name;
    std::string log;
    std::vector<std::string> titles;
  };
  const std::string msg = "00001/00002 m\n 1\n";
  std::vector<c> cases = {
      {"angle conference angle",
       kAngle + "A\n" + kConference + "B\n" + kAngle + "C\n",
       {kAngle + "C"}},
      {"angle conference message",
       kAngle + "A\n" + kConference + "B\n" + msg,
       {kAngle + "A",
        "\x89\xef\x8b\x63\x8e\xba"
        "B",
        "00001/00002 m"}},
      {"two sub-headers", "No. 1\nNo. 2\n", {"No. 2"}},
      {"sub-header keeps section header", kAngle + "A\nNo. 1\nNo. 2\n", {kAngle + "A", "No. 2"}},
      {"message stops the collapse", msg + "No. 1\n", {"00001/00002 m", "No. 1"}},
      {"section header replaces at most two",
       msg + kAngle + "A\nNo. 1\n" + kHomeParty + "\n",
       {"00001/00002 m", kHomeParty}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto t = scan_log(k.log);
    EXPECT_EQ(t.titles, k.titles);
    // Nothing of a replaced entry is left behind the used part.
    EXPECT_EQ(dulk::tent[t.count].title, nullptr);
  }
}

TEST(Scan, EscapeMarkedTitleNeedsAQualifyingNextLine) {
  // "ab" is too short: no entry, and "ab" is skipped without being examined.
  auto t = scan_log("\033[m\nNo\n00001/00002 x\n 1\n");
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.titles[0], "00001/00002 x");
  // A qualifying line without '(' makes no entry either.
  EXPECT_EQ(scan_log("\033[m\nlong line\n").count, 0);
  // The line after a non-qualifying one is examined as usual.
  t = scan_log("\033[m\nab\nNo. 5\n");
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.titles[0], "No. 5");
}

TEST(Scan, ArticleNumbersComeFromXrefLines) {
  const std::string art = "Subject: hello\nXref: host a.b:12 c.d:3\n\n";
  auto t = scan_log(art);
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.titles[0], "00012: hello");

  dulk::reset_state();
  // With -g the number after the named group's ':' counts.
  {
    dulk::gf = 1;
    dulk::newsgrp = "c.d";
    dulk::max_ent = 10;
    dulk::vf = 1;
    dulk::alloc_tables();
    FILE* fp = std::tmpfile();
    std::fputs(art.c_str(), fp);
    std::rewind(fp);
    int n = 0;
    dulk::read_title(fp, dulk::tent, &n);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(dulk::tent[0].title, "00003: hello");
    std::fclose(fp);
  }

  // An Xref: line before the article, in any case, sets the number; an
  // article without one keeps the last number seen.
  t = scan_log("xref: host a.b:7\nSubject: one\n\nSubject: two\n\n");
  EXPECT_EQ(t.titles, (std::vector<std::string>{"00007: one", "00007: two"}));
  t = scan_log("Subject: none\n\n");
  EXPECT_EQ(t.titles[0], "00000: none");
}

TEST(Scan, ShortXrefLineIsReportedAndIgnored) {
  dulk_test::collect_sink sink;
  dulk::out_sink* old = dulk::set_out_sink(&sink);
  auto t = scan_log("Xref: host a.b:9\nXref: host\nSubject: s\n\n");
  dulk::set_out_sink(old);
  EXPECT_EQ(sink.bytes, "Out of item(Xref: host) pos(3).");
  EXPECT_EQ(t.titles[0], "00009: s");
}

// The meter is drawn once for each step of 21 that a title's offset reaches,
// in order, whatever the spacing of the titles.
TEST(Scan, MeterIsDrawnOncePerStepReached) {
  std::string log;
  std::mt19937 rng(21);
  for (int i = 0; i < 300; i++) {
    log += std::string(rng() % 400, 'x') + "\n";
    if (rng() % 3 == 0) log += std::string(dulk::sjis::kIdList) + "\n";
  }
  dulk_test::collect_sink sink;
  dulk::out_sink* old = dulk::set_out_sink(&sink);
  dulk::reset_state();
  dulk::max_ent = 5000;
  dulk::env_x = 80;  // the meter's row is shown whole
  dulk::alloc_tables();
  FILE* fp = std::tmpfile();
  std::fwrite(log.data(), 1, log.size(), fp);
  std::rewind(fp);
  int n = 0;
  dulk::read_title(fp, dulk::tent, &n);
  dulk::set_out_sink(old);
  std::fclose(fp);
  ASSERT_GT(n, 50);
  std::vector<int> want;  // black squares of each drawing
  for (int i = 0, last = -1; i < n; i++) {
    int value = static_cast<int>(dulk::tent[i].offset * 21 / static_cast<long>(log.size()));
    if (value != last) want.push_back(std::min(value + 1, 20));
    last = value;
  }
  std::vector<int> drawn;
  for (size_t at = sink.bytes.find("START "); at != std::string::npos;
       at = sink.bytes.find("START ", at + 1)) {
    size_t end = sink.bytes.find(" END", at);
    int black = 0;
    for (size_t i = at + 6; i + 1 < end; i += 2) black += sink.bytes.compare(i, 2, "\x81\xa1") == 0;
    drawn.push_back(black);
  }
  EXPECT_EQ(drawn, want);
  EXPECT_GT(want.size(), 15u);
}

TEST(Scan, NewsArticleCutOffByTheEndOfTheLogIsLeftOut) {
  auto t = scan_log("00001/00002 a\n 1\nSubject: cut\nFrom: x\n");
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(dulk::tent[1].title, nullptr);
  // A References: header whose continuation runs into the end of the log.
  t = scan_log("Subject: cut\nReferences: <a@b>\n <c@d>\n");
  EXPECT_EQ(t.count, 0);
}

TEST(Scan, NewsHeaderBlockIsConsumed) {
  // Lines of the block that look like titles are not titles; the block ends
  // at the first line without ':' (consumed too).
  auto t = scan_log(
      "Subject: s\nFrom: a\nMessage-ID: <ID@x>\nReferences: <p@q>\n\t<r@s>\nNo.: 5\nend of block\n"
      "No. 1\n");
  ASSERT_EQ(t.count, 2);
  EXPECT_STREQ(dulk::tent[0].msgid, "<ID@x>");
  EXPECT_EQ(t.titles[1], "No. 1");
}

TEST(Scan, FullTableIsReportedEvenForAReplacingHeading) {
  // Exactly max_ent titles load.
  auto t = scan_log("No. 1\n00001/00002 a\n 1\n", 2);
  EXPECT_EQ(t.count, 2);
}

TEST(Scan, LongLinesAreKeptWhole) {
  std::string longtitle = "00001/00002 " + std::string(10000, 'x');
  std::string log = "junk" + std::string(5000, 'y') + "\n" + longtitle + "\n 1\nNo. 2\n";
  auto t = scan_log(log);
  ASSERT_EQ(t.count, 2);
  EXPECT_EQ(t.titles[0], longtitle);
  EXPECT_EQ(dulk::tent[0].offset, static_cast<long>(5005 + longtitle.size() + 1));
  EXPECT_EQ(t.titles[1], "No. 2");
}

TEST(Scan, NulByteEndsTheLinesText) {
  std::string log("00001/00002 ab\0cd\n 1\n", 21);
  auto t = scan_log(log);
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.titles[0], "00001/00002 ab");
  EXPECT_EQ(dulk::tent[0].offset, 18);
}

TEST(Scan, LongXrefLineYieldsItsNumber) {
  std::string xref = "Xref: host a.b:42";
  for (int i = 0; i < 2000; i++) xref += " g" + std::to_string(i) + ".x:1";
  auto t = scan_log(xref + "\nSubject: s\n\n");
  EXPECT_EQ(t.titles[0], "00042: s");
}

TEST(Atoi, ReadsLikeTheCLibrary) {
  EXPECT_EQ(dulk::dk_atoi("  -12x"), -12);
  EXPECT_EQ(dulk::dk_atoi("+7"), 7);
  EXPECT_EQ(dulk::dk_atoi("x7"), 0);
  EXPECT_EQ(dulk::dk_atoi(""), 0);
  EXPECT_EQ(dulk::dk_atoi(std::string_view("123", 2)), 12);  // stops at the view's end
  EXPECT_EQ(dulk::dk_atoi("\t\n 00045"), 45);
  // Past the long range the value stays at its end, as strtol's does.
  for (const char* sign : {"", "-", "+"}) {
    for (std::string digits = "9"; digits.size() < 26; digits += "9") {
      std::string s = sign + digits;
      EXPECT_EQ(dulk::dk_atoi(s), std::atoi(s.c_str())) << s;
    }
  }
}

TEST(GetItem, SplitsOnRunsOfDelimiters) {
  std::string out;
  EXPECT_NE(dulk::get_item("  a  bb ccc ", " ", 2, out), nullptr);
  EXPECT_EQ(out, "bb");
  EXPECT_NE(dulk::get_item("a,b\n", ",", 2, out), nullptr);
  EXPECT_EQ(out, "b");
}

// The fixed texts are the Shift-JIS of the characters they stand for.
TEST(Scan, FixedTextsAreTheirShiftJisSpelling) {
  using dulk_test::sjis;
  namespace t = dulk::sjis;
  EXPECT_EQ(t::kAngle, sjis("\uFF1C"));                    // ＜
  EXPECT_EQ(t::kGreater, sjis("\uFF1E"));                  // ＞
  EXPECT_EQ(t::kConferenceHeading, sjis("\uFF0D会議室"));  // －会議室
  EXPECT_EQ(t::kHomeParty, sjis("ホームパーティー    HP"));
  EXPECT_EQ(t::kIdList, sjis("番号  ID"));
  EXPECT_EQ(t::kDataName, sjis("データ名"));
  EXPECT_EQ(t::kWeekly, sjis("今週のお知らせ"));
  EXPECT_EQ(t::kInbox, sjis("=== 受信簿 連番"));
  EXPECT_EQ(t::kConference, sjis("電子会議"));
  EXPECT_EQ(t::kNumberOrCommand, sjis("番号またはコマンド"));
  EXPECT_EQ(t::kItemMenu, sjis("項目 ("));
  EXPECT_EQ(t::kProcessMenu, sjis("処理 ("));
}

#if defined(__SANITIZE_ADDRESS__)
#define DULK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DULK_TEST_ASAN 1
#endif
#endif

// A line longer than the memory left: the run ends through the scanner's
// failure path (message, status 1) instead of an uncaught exception.
TEST(Scan, LineLargerThanMemoryEndsTheRunWithAMessage) {
#ifdef DULK_TEST_ASAN
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#else
  std::string path = ::testing::TempDir() + "dulk_huge_line.log";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::string chunk(1 << 20, 'a');
    for (int i = 0; i < 64; i++) std::fwrite(chunk.data(), 1, chunk.size(), f);
    std::fputs("\n", f);
    std::fclose(f);
  }
  int err[2];
  ASSERT_EQ(::pipe(err), 0);
  std::fflush(nullptr);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(err[1], 2);
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) ::_exit(99);
    std::fclose(statm);
    dulk::reset_state();
    dulk::max_ent = 10;
    dulk::vf = 1;
    dulk::alloc_tables();
    FILE* log = std::fopen(path.c_str(), "rb");
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(pages) * 4096 + (32u << 20);
    ::setrlimit(RLIMIT_AS, &lim);
    int count = 0;
    dulk::read_title(log, dulk::tent, &count);
    ::_exit(98);  // the scan must not come back
  }
  ::close(err[1]);
  std::string text;
  char b[256];
  ssize_t n;
  while ((n = ::read(err[0], b, sizeof b)) > 0) text.append(b, static_cast<size_t>(n));
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::remove(path.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(text, "dulk : read_title3: Cannot allocate memory\n");
#endif
}

namespace {

// Reads bytes through the line source and through readline side by side:
// the same lines (up to a NUL), the same ends, the same positions after
// each.
void expect_same_lines(const std::string& bytes, const std::string& name) {
  FILE* a = std::tmpfile();
  FILE* b = std::tmpfile();
  ASSERT_TRUE(a != nullptr && b != nullptr);
  for (FILE* f : {a, b}) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
  }
  dulk::log_lines source(a);
  std::string want;
  std::string_view got;
  std::map<long, std::string> at_start;  // every line by where it starts
  for (int n = 0;; n++) {
    long start = std::ftell(b);
    int want_end = dulk::readline(b, want);
    int got_end = source.next(got);
    ASSERT_EQ(got_end, want_end) << name << " line " << n;
    ASSERT_EQ(got, std::string_view(want.c_str())) << name << " line " << n;
    ASSERT_EQ(source.offset(), std::ftell(b)) << name << " line " << n;
    at_start[start] = want.c_str();
    if (want_end == EOF) break;
  }
  // Passing lines over: every line kept comes out, as next gives it.
  std::rewind(a);
  dulk::log_lines kept(a);
  auto keep = [](const char*, size_t size) { return size % 3 == 0; };
  long after = 0;  // the end of the last line handed out
  while (kept.next_kept(got, keep) != EOF) {
    for (auto l = at_start.lower_bound(after); l != at_start.end() && l->first < kept.start();
         l++) {
      long raw = std::next(l) == at_start.end() ? bytes.size() : std::next(l)->first;
      ASSERT_NE((raw - l->first - 1) % 3, 0) << name << " kept line at " << l->first << " left out";
    }
    ASSERT_EQ(got, at_start.at(kept.start())) << name << " at " << kept.start();
    after = kept.offset();
  }
  std::fclose(a);
  std::fclose(b);
}

}  // namespace

// Random bytes with line ends, carriage returns and NULs.  The source reads
// in blocks of some multiple of 64 KiB, so carriage returns, line ends and
// NULs are planted on both sides of every such edge; long lines make it
// read past its block.
TEST(LogLines, SameLinesAsReadline) {
  for (const char* small : {"", "\n", "abc", "a\r", "\r\n\r", "\r\r\n\n", "a\r\rb\r\n"}) {
    expect_same_lines(small, "small");
  }
  const std::string edges[] = {"\r\n", "\n",  "\rx", "\r\r\n", std::string("\0\n", 2),
                               "x\r",  "\n\r"};
  std::mt19937 rng(14);
  for (int round = 0; round < 3; round++) {
    std::string bytes(3u << 20, ' ');
    for (char& c : bytes) {
      unsigned r = rng() % 100;
      c = r < 8 ? '\n' : r < 12 ? '\r' : r < 13 ? '\0' : static_cast<char>(0x20 + rng() % 0xe0);
    }
    for (size_t at = 1u << 16, k = 0; at + 2 < bytes.size(); at += 1u << 16, k++) {
      const std::string& e = edges[(k + static_cast<size_t>(round)) % std::size(edges)];
      bytes.replace(at - 1 - (e.size() - 1) / 2, e.size(), e);
    }
    if (round == 1) bytes.insert(bytes.size() / 2, std::string(5u << 19, 'L') + "\r");
    if (round == 2) bytes += "\r" + std::string(3u << 20, 'E');  // no final line end
    expect_same_lines(bytes, "round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}
