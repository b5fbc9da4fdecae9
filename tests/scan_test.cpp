// The scanner over logs built from bytes in the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dulk.h"
#include "scan_util.h"

using dulk_test::scan_log;

namespace {

// Shift-JIS spellings used below.
const std::string kAngle = "\x81\x83";                               // ＜
const std::string kConference = "\x81\x7c\x89\xef\x8b\x63\x8e\xba";  // －会議室
const std::string kHomeParty =
    "\x83\x7a\x81\x5b\x83\x80\x83\x70\x81\x5b\x83\x65\x83\x42\x81\x5b    HP";  // ホームパーティー
                                                                               // HP
const std::string kBangou = "\x94\xd4\x8d\x86";                    // 番号
const std::string kDataName = "\x83\x66\x81\x5b\x83\x5e\x96\xbc";  // データ名
const std::string kWeekly =
    "\x8d\xa1\x8f\x54\x82\xcc\x82\xa8\x92\x6d\x82\xe7\x82\xb9";  // 今週のお知らせ
const std::string kInbox = "=== \x8e\xf3\x90\x4d\x95\xeb \x98\x41\x94\xd4";  // === 受信簿 連番

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

TEST(Scan, EveryLineFormMakesItsEntry) {
  for (const auto& c : form_cases()) {
    SCOPED_TRACE(c.name);
    auto t = scan_log(c.log + "tail\n");
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.titles[0], c.title);
    EXPECT_EQ(dulk::tent[0].num, c.num);
    EXPECT_EQ(dulk::tent[0].kind, c.kind);
    EXPECT_EQ(dulk::tent[0].msghead, c.msghead);
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
  struct capture : dulk::out_sink {
    std::string bytes;
    void write(const char* d, size_t n) override { bytes.append(d, n); }
    void flush() override {}
  } sink;
  dulk::out_sink* old = dulk::set_out_sink(&sink);
  auto t = scan_log("Xref: host a.b:9\nXref: host\nSubject: s\n\n");
  dulk::set_out_sink(old);
  EXPECT_EQ(sink.bytes, "Out of item(Xref: host) pos(3).");
  EXPECT_EQ(t.titles[0], "00009: s");
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
}

TEST(GetItem, SplitsOnRunsOfDelimiters) {
  std::string out;
  EXPECT_NE(dulk::get_item("  a  bb ccc ", " ", 2, out), nullptr);
  EXPECT_EQ(out, "bb");
  EXPECT_NE(dulk::get_item("a,b\n", ",", 2, out), nullptr);
  EXPECT_EQ(out, "b");
}
