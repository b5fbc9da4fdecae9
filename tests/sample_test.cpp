// The bundled sample log (examples/sample.log): the first log a new user
// opens, and the one log that holds every kind of title line.  The lines are
// recognised here on their own, from the raw bytes, and the scanner has to
// agree; the sample has to keep its shape when it is edited.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"
#include "support.h"

using dulk_test::scan_log;

namespace {

using dulk_test::sjis;

std::string sample_path() { return dulk_test::source_dir() + "/examples/sample.log"; }

const std::string& sample() {
  static const std::string bytes = dulk_test::read_file(sample_path());
  return bytes;
}

bool starts(std::string_view s, std::string_view lit, size_t col = 0) {
  return s.size() >= col + lit.size() && s.substr(col, lit.size()) == lit;
}
bool digit(std::string_view s, size_t i) { return i < s.size() && s[i] >= '0' && s[i] <= '9'; }
bool byte(std::string_view s, size_t i, char c) { return i < s.size() && s[i] == c; }

enum form {
  kNotTitle,
  kForum,
  kForumIndented,
  kBracket,
  kBracketIndented,
  kAngle,
  kConference,
  kHomeParty,
  kIdList,
  kIdListIndented,
  kDataList,
  kDataListIndented,
  kWeekly,
  kSubject,
  kInbox,
  kNumberHeading,
  kEscapeMarked,
  kMailList,
  kFormCount
};

struct form_info {
  const char* name;
  size_t column;  // where the title text starts
  int kind;
  int msghead;
};

const std::array<form_info, kFormCount> kForms = {{
    {"not a title", 0, 0, 0},
    {"forum header", 0, 0, 1},
    {"indented forum header", 2, 0, 1},
    {"bracket header", 0, 0, 1},
    {"indented bracket header", 3, 0, 1},
    {"angle heading", 0, 1, 0},
    {"conference heading", 2, 2, 0},
    {"home-party heading", 0, 1, 0},
    {"ID list", 0, 0, 0},
    {"indented ID list", 2, 0, 0},
    {"data list", 0, 0, 0},
    {"indented data list", 2, 0, 0},
    {"weekly notice", 0, 0, 0},
    {"news subject", 9, 0, 1},
    {"inbox entry", 16, 0, 1},
    {"number heading", 0, 2, 0},
    {"escape-marked title", 0, 0, 1},
    {"mail list line", 0, 0, 0},
}};

// The first form a line has, tried in the viewer's order.
form form_of(std::string_view s) {
  static const std::string angle = sjis("＜"), conference = sjis("－会議室"),
                           home = sjis("ホームパーティー    HP"), ids = sjis("番号  ID"),
                           data = sjis("データ名"), weekly = sjis("今週のお知らせ"),
                           inbox = sjis("=== 受信簿 連番");
  if (digit(s, 0) && digit(s, 2) && byte(s, 5, '/')) return kForum;
  if (digit(s, 2) && digit(s, 4) && byte(s, 7, '/')) return kForumIndented;
  if (byte(s, 20, ']') && starts(s, " [", 4)) return kBracket;
  if (byte(s, 23, ']') && starts(s, " [", 7)) return kBracketIndented;
  if (starts(s, angle)) return kAngle;
  if (starts(s, conference)) return kConference;
  if (starts(s, home)) return kHomeParty;
  if (starts(s, ids)) return kIdList;
  if (starts(s, ids, 2)) return kIdListIndented;
  if (starts(s, data)) return kDataList;
  if (starts(s, data, 2)) return kDataListIndented;
  if (starts(s, weekly)) return kWeekly;
  if (starts(s, "Subject:")) return kSubject;
  if (starts(s, inbox)) return kInbox;
  if (starts(s, "No.")) return kNumberHeading;
  if (starts(s, "\033[")) return kEscapeMarked;
  if (s.size() > 51 && s[42] == '/' && s[45] == '/' && s[48] == ' ' && s[51] == ':') {
    return kMailList;
  }
  return kNotTitle;
}

struct title_line {
  form f;
  std::string text;  // from the title column on
};

// Walks the lines, passing over those a title consumes (a forum header's
// follow-up line, an escape-marked title's reply line, a news header block)
// so that none of them is taken for a title.
std::vector<title_line> title_lines(const std::vector<std::string>& lines) {
  std::vector<title_line> out;
  for (size_t i = 0; i < lines.size(); i++) {
    form f = form_of(lines[i]);
    if (f == kNotTitle) continue;
    std::string_view s = lines[i];
    if (f == kEscapeMarked) {
      if (++i >= lines.size()) break;
      s = lines[i];
      if (s.size() < 4 || s.find('(') == std::string_view::npos) continue;
    }
    out.push_back({f, std::string(s.substr(std::min(kForms[f].column, s.size())))});
    if (f == kForum || f == kForumIndented || f == kEscapeMarked) {
      i++;
    } else if (f == kSubject) {
      // Up to the first line without ':'; folded References: lines start
      // with white space.
      while (++i < lines.size()) {
        const std::string& h = lines[i];
        bool folded = !h.empty() && (h[0] == ' ' || h[0] == '\t');
        if (!folded && h.find(':') == std::string::npos) break;
      }
    }
  }
  return out;
}

class Sample : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(sample().empty()) << "cannot read " << sample_path();
    lines = dulk_test::split_lines(sample());  // a last line without an end is not scanned
    expected = title_lines(lines);
    scanned = scan_log(sample());
  }

  // The scanned entry whose title begins with the UTF-8 prefix.
  const dulk::title_ent* entry(std::string_view utf8_prefix) const {
    std::string p = sjis(utf8_prefix);
    for (int i = 0; i < scanned.count; i++) {
      if (starts(dulk::tent[i].title, p)) return &dulk::tent[i];
    }
    return nullptr;
  }

  std::vector<std::string> lines;
  std::vector<title_line> expected;
  dulk_test::scanned scanned;
};

TEST_F(Sample, FillsSeveralPagesAndMixesLineEnds) {
  EXPECT_GE(scanned.count, 60);
  EXPECT_GT(scanned.count, 3 * 20) << "more than three pages of 20 rows";
  EXPECT_NE(sample().find("\r\n"), std::string::npos) << "captured lines end in CR LF";
  EXPECT_NE(sample().find("\n\n"), std::string::npos) << "saved articles end in LF alone";
  EXPECT_EQ(sample().back(), '\n') << "a last line without '\\n' would be ignored";
}

TEST_F(Sample, HoldsEveryTitleLineForm) {
  std::map<form, int> seen;
  for (const auto& t : expected) seen[t.f]++;
  // How many titles of each form the sample holds: an edit that turns a
  // body line into a title by accident, or drops a form, shows here.
  const std::map<form, int> want = {
      {kForum, 15},         {kForumIndented, 10}, {kBracket, 10},         {kBracketIndented, 6},
      {kAngle, 10},         {kConference, 4},     {kHomeParty, 2},        {kIdList, 1},
      {kIdListIndented, 1}, {kDataList, 1},       {kDataListIndented, 1}, {kWeekly, 1},
      {kSubject, 9},        {kInbox, 4},          {kNumberHeading, 1},    {kEscapeMarked, 7},
      {kMailList, 5},
  };
  for (int f = kForum; f < kFormCount; f++) {
    EXPECT_EQ(seen[static_cast<form>(f)], want.at(static_cast<form>(f))) << kForms[f].name;
  }
}

// Every message title the lines hold is an entry, in log order, with the
// title text, kind and header mark its form gives.
TEST_F(Sample, ScannerTakesEveryMessageTitle) {
  std::vector<title_line> messages;
  for (const auto& t : expected) {
    if (kForms[t.f].kind == 0) messages.push_back(t);
  }
  std::vector<int> got;
  for (int i = 0; i < scanned.count; i++) {
    if (dulk::tent[i].kind == 0) got.push_back(i);
  }
  ASSERT_EQ(got.size(), messages.size());
  for (size_t k = 0; k < messages.size(); k++) {
    const dulk::title_ent& e = dulk::tent[got[k]];
    SCOPED_TRACE(std::string(kForms[messages[k].f].name) + " #" + std::to_string(k));
    EXPECT_EQ(e.msghead, kForms[messages[k].f].msghead);
    if (messages[k].f == kSubject) {
      // News titles are renumbered: "%05d: " and the subject.
      ASSERT_GE(std::strlen(e.title), 7u);
      EXPECT_EQ(std::string(e.title).substr(5, 2), ": ");
    } else {
      EXPECT_EQ(std::string(e.title), messages[k].text);
    }
  }
}

// Runs of headings with nothing under them keep only the last section
// header and the last sub-header; the sample has each kind of run.
TEST_F(Sample, HeadingsCollapse) {
  const std::vector<std::pair<const char*, int>> want = {
      {"＜電子会議＞", 1},            // replaced the main menu
      {"会議室 05 星と天体観測", 2},  // replaced room 03, found empty
      {"会議室 03 旅行と鉄道", 2},
      {"ホームパーティー    HP12 星見の丘", 1},  // four headings in a row
      {"ホームパーティー    HP07 早起きの会", 1},
      {"＜電子メール＞", 1},
      {"No.  ", 2},  // a sub-header never replaces a section header
      {"＜受信簿＞", 1},
      {"＜会員検索＞", 1},
      {"＜ライブラリ＞", 1},
      {"＜伝言板＞", 1},
  };
  std::vector<const dulk::title_ent*> headings;
  for (int i = 0; i < scanned.count; i++) {
    if (dulk::tent[i].kind != 0) headings.push_back(&dulk::tent[i]);
  }
  ASSERT_EQ(headings.size(), want.size());
  for (size_t k = 0; k < want.size(); k++) {
    SCOPED_TRACE(want[k].first);
    EXPECT_TRUE(starts(headings[k]->title, sjis(want[k].first)));
    EXPECT_EQ(headings[k]->kind, want[k].second);
    EXPECT_EQ(headings[k]->num, 0);
    EXPECT_EQ(headings[k]->msghead, 0);
  }
  // Headings that stand in the log but were replaced.
  for (const char* gone : {"＜メインメニュー＞", "会議室 07 ", "＜ホームパーティー＞"}) {
    bool in_log = false;
    for (const auto& t : expected) in_log = in_log || starts(t.text, sjis(gone));
    EXPECT_TRUE(in_log) << gone;
    EXPECT_EQ(entry(gone), nullptr) << gone;
  }
  // The first section: angle heading, conference heading, first message.
  ASSERT_GE(scanned.count, 4);
  EXPECT_EQ(dulk::tent[1].kind, 1);
  EXPECT_EQ(dulk::tent[2].kind, 2);
  EXPECT_EQ(dulk::tent[3].kind, 0);
}

// Known entries: number, group, header mark, and where the message's text
// begins (the offsets count the CR of CR LF lines).
TEST_F(Sample, KnownEntries) {
  struct row {
    const char* title;  // UTF-8 start of the title
    int num;
    int group;
    int msghead;
    const char* at_offset;  // UTF-8 start of the line after the title
  };
  const row rows[] = {
      {"今週のお知らせ", 0, 0, 0, "  ・ 5月20日"},
      {"00101/00114 KQB20561", 101, 5, 1, " 05 96/05/12 21:05\r\n"},
      {"00106/00114 NRH01234", 106, 5, 1, " 05 96/05/13 07:15     00104 "},
      {"00104/00105 MTS33018", 104, 3, 1, " 03 96/05/13 08:05     00103 "},  // indented
      {"0031 [星見台", 31, 0, 1, "宵の南の空"},
      {"0008 [こむぎ", 8, 0, 1, "川沿いの道で"},  // indented by three
      {"0017 未読   差出人:   TWE51209", 17, 0, 0, "    件名: お茶の件"},
      {"0006  差出人 SVN90316", 6, 0, 1, "件名: 時刻表のページ"},
      {"番号  ID", 0, 0, 0, "   1  NRH01234"},
      {"データ名", 0, 0, 0, "STARMAP.LZH"},
      {"TB(0044)", 44, 'T' + 'B', 1, " <0043 "},
      {"TB(0042)", 42, 'T' + 'B', 1, " ----"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.title);
    const dulk::title_ent* e = entry(r.title);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, 0);
    EXPECT_EQ(e->num, r.num);
    EXPECT_EQ(e->group, r.group);
    EXPECT_EQ(e->msghead, r.msghead);
    EXPECT_EQ(e->msgid, nullptr);
    ASSERT_GE(e->offset, 0);
    EXPECT_TRUE(starts(std::string_view(sample()).substr(static_cast<size_t>(e->offset)),
                       sjis(r.at_offset)));
  }
}

// News titles are numbered from the Xref: lines; an article without one
// takes the last number seen, also from an Xref: line above its Subject:,
// where a Message-ID: line is passed over.  An article's extract holds the
// From: line above its Subject: and not the next article's.
TEST_F(Sample, NewsArticlesNumberedAndIdentified) {
  struct row {
    const char* number;
    const char* msgid;  // null: none
  };
  const row want[] = {
      {"01203: ", "<4nb3qk$1a2@news.example.net>"},
      {"01207: ", "<4nc0fe$7k1@mail.example.org>"},
      {"01211: ", "<199605141203.VAA02211@pc05.example.net>"},  // third field
      {"01215: ", "<4nd8a1$2c3@news.example.net>"},
      {"00458: ", "<Dr9xK1.5Lt@host.example.org>"},
      {"00460: ", "<4ndq7v$b11@news.example.net>"},
      {"00460: ", "<4nef02$3d9@news.example.net>"},  // no Xref: of its own
      {"00088: ", nullptr},                          // headers above Subject:
      {"00091: ", "<4ng3k2$f71@news.example.net>"},
  };
  std::vector<const dulk::title_ent*> news;
  for (int i = 0; i < scanned.count; i++) {
    if (dulk::tent[i].offset > static_cast<long>(sample().find("Path: "))) {
      news.push_back(&dulk::tent[i]);
    }
  }
  ASSERT_EQ(news.size(), std::size(want));
  dulk_test::temp_dir dir;
  for (size_t k = 0; k < news.size(); k++) {
    SCOPED_TRACE(want[k].number);
    dulk::write_one_log(dulk::log_fp, dulk::tent, dir.file("x").c_str(), dulk::kPlain,
                        static_cast<int>(news[k] - dulk::tent));
    const std::string text = "\n" + dir.read("x");
    const size_t from = sample().rfind("\nFrom: ", static_cast<size_t>(news[k]->offset));
    const std::string own = sample().substr(from, sample().find('\n', from + 1) - from + 1);
    EXPECT_TRUE(text.find(own) != std::string::npos &&
                text.find("\nFrom: ", text.find(own) + 1) == std::string::npos)
        << text;
    EXPECT_TRUE(starts(news[k]->title, want[k].number));
    EXPECT_EQ(news[k]->msghead, 1);
    EXPECT_EQ(news[k]->group, 0);
    if (want[k].msgid == nullptr) {
      EXPECT_EQ(news[k]->msgid, nullptr);
    } else {
      ASSERT_NE(news[k]->msgid, nullptr);
      EXPECT_STREQ(news[k]->msgid, want[k].msgid);
    }
  }
  EXPECT_EQ(std::string(news[4]->title), "00458: Tokyo planetarium hours");
}

}  // namespace

// The sample opens as `make run` opens it: the first page of five, and q
// ends the run with status 0.
TEST(E2eSample, OpensOnTheFirstOfFivePages) {
  dulk_test::temp_dir dir;
  dulk_test::run_options o;
  o.cwd = dir.path();
  o.args = {"-v", sample_path()};
  auto r = dulk_test::run_dulk(o, "q");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("PAGE : 1/5"), std::string::npos);
  EXPECT_NE(r.output.find("00101/00114 KQB20561"), std::string::npos);
}
