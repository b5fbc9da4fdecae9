// Reply threads: which earlier entry a reply is linked under, and the
// depth-first thread order.
#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"

namespace {

using dulk::tent;
using dulk_test::scan_log;

// A forum header and its follow-up line: the group number at column 1 and,
// when parent is not negative, the parent number at column 23.
std::string forum(int num, const std::string& title, int group, int parent) {
  char head[64];
  std::snprintf(head, sizeof head, "%05d/00001 ", num);
  std::string follow = " " + std::to_string(group);
  if (parent >= 0) {
    follow.resize(23, ' ');
    follow += std::to_string(parent);
  }
  return head + title + "\n" + follow + "\nbody\n";
}

// A marker line, a title line "<prefix>(<num>) <title>" and a reply line
// naming the parent when parent is above 0.
std::string escaped(const std::string& prefix, int num, const std::string& title, int parent) {
  std::string reply = parent > 0 ? " <" + std::to_string(parent) + ">" : "(no parent)";
  return "\033[7m\n" + prefix + "(" + std::to_string(num) + ") " + title + "\n" + reply +
         "\nbody\n";
}

// A news article: the Subject: line, the given header lines, a blank line.
std::string news(const std::string& title, const std::vector<std::string>& headers) {
  std::string s = "Subject: " + title + "\n";
  for (const auto& h : headers) s += h + "\n";
  return s + "\nbody\n";
}

// Index of the entry whose title ends with text, or -1.
int entry(const std::string& text) {
  for (int i = 0; i < dulk::ent_cnt; i++) {
    std::string t = tent[i].title;
    if (t.size() >= text.size() && t.compare(t.size() - text.size(), text.size(), text) == 0)
      return i;
  }
  return -1;
}

// The parent each entry is linked under, found by walking every chain.
std::vector<int> parents() {
  std::vector<int> p(static_cast<size_t>(dulk::ent_cnt), -1);
  for (int i = 0; i < dulk::ent_cnt; i++) {
    for (dulk::title_ent* c = tent[i].child; c != nullptr; c = c->next)
      p[static_cast<size_t>(c - tent)] = i;
  }
  return p;
}

std::vector<std::string> thread_titles() {
  std::vector<std::string> r;
  for (int i = 0; i < dulk::ent_cnt && dulk::tentp[i] != nullptr; i++)
    r.emplace_back(dulk::tentp[i]->title);
  return r;
}

std::vector<int> thread_depths() {
  std::vector<int> r;
  for (int i = 0; i < dulk::ent_cnt && dulk::tentp[i] != nullptr; i++)
    r.push_back(dulk::tentp[i]->depth);
  return r;
}

}  // namespace

TEST(Threads, OrderIsDepthFirstWithLevels) {
  // A root, B reply to A, C root, D reply to A, E reply to B.
  std::string log = forum(1, "A", 7, 0) + forum(2, "B", 7, 1) + forum(3, "C", 7, 0) +
                    forum(4, "D", 7, 1) + forum(5, "E", 7, 2);
  scan_log(log);
  ASSERT_EQ(dulk::ent_cnt, 5);
  EXPECT_EQ(dulk::tentp[0], nullptr);  // no order until it is asked for
  std::vector<int> scan_depths;
  for (int i = 0; i < 5; i++) scan_depths.push_back(tent[i].depth);
  EXPECT_EQ(scan_depths, std::vector<int>({0, 1, 0, 1, 1}));  // linked or not, before ordering

  dulk::make_tentp();
  const std::vector<std::string> order = {"00001/00001 A", "00002/00001 B", "00005/00001 E",
                                          "00004/00001 D", "00003/00001 C"};
  EXPECT_EQ(thread_titles(), order);
  EXPECT_EQ(thread_depths(), std::vector<int>({0, 1, 2, 1, 0}));
  EXPECT_EQ(tent[0].child, &tent[1]);
  EXPECT_EQ(tent[1].next, &tent[3]);

  // Building the order again gives the same order and levels.
  dulk::make_tentp();
  EXPECT_EQ(thread_titles(), order);
  EXPECT_EQ(thread_depths(), std::vector<int>({0, 1, 2, 1, 0}));
}

TEST(Threads, ScanInLinkModeBuildsTheOrder) {
  dulk::reset_state();
  dulk::max_ent = 100;
  dulk::vf = 1;
  dulk::link = 1;
  dulk::alloc_tables();
  std::string log = forum(1, "A", 0, 0) + forum(2, "C", 0, 0) + forum(3, "B", 0, 1);
  FILE* fp = std::tmpfile();
  std::fwrite(log.data(), 1, log.size(), fp);
  dulk::read_title(fp, tent, &dulk::ent_cnt);
  std::fclose(fp);
  EXPECT_EQ(thread_titles(),
            std::vector<std::string>({"00001/00001 A", "00003/00001 B", "00002/00001 C"}));
}

TEST(Threads, EmptyTableLeavesNoOrder) {
  scan_log("no titles here\n");
  dulk::make_tentp();
  EXPECT_EQ(dulk::tentp[0], nullptr);
}

// Which earlier entry each kind of reply is linked under.
TEST(Threads, ParentChoice) {
  const std::string heading = "\x81\x83 heading\n";                       // ＜ heading
  const std::string conference = "\x81\x7c\x89\xef\x8b\x63\x8e\xba x\n";  // －会議室 x
  struct {
    const char* name;
    std::string log;
    const char* parent;  // title end of the expected parent; "" for a root
  } cases[] = {
      {"forum reply under the older of two",
       forum(10, "old", 5, -1) + forum(10, "new", 5, -1) + forum(11, "R", 5, 10), "old"},
      {"escape-marked reply under the newer of two",
       escaped("AB", 10, "old", 0) + escaped("AB", 10, "new", 0) + escaped("AB", 11, "R", 10),
       "new"},
      {"forum reply under an escape-marked title of the same group",
       escaped("\x01\x01\x03", 10, "esc", 0) + forum(11, "R", 5, 10), "esc"},
      {"group mismatch leaves a root", forum(10, "other", 6, -1) + forum(11, "R", 5, 10), ""},
      {"the group is the low 8 bits", forum(10, "low", 3, -1) + forum(11, "R", 259, 10), "low"},
      {"escape group: bytes before the parenthesis",
       escaped("AB", 10, "ab", 0) + escaped("BA", 11, "R", 10), "ab"},
      {"escape group differs", escaped("AB", 10, "ab", 0) + escaped("AC", 11, "R", 10), ""},
      {"escape group of a title starting with (",
       escaped("", 10, "none", 0) + forum(11, "R", 0, 10), "none"},
      {"no earlier entry with the number", forum(10, "ten", 5, -1) + forum(11, "R", 5, 12), ""},
      {"a reply never links under itself or later",
       forum(11, "R", 5, 11) + forum(11, "later", 5, -1), ""},
      // "0000 [...]" has num 0 and group 0: a search for 0 would find it.
      {"parent number 0 makes no search", "0000 [..............] zero\n" + forum(11, "R", 0, 0),
       ""},
      // Column 22 holds '5', column 23 the number 0.
      {"parent read at column 23",
       forum(5, "five", 0, -1) + "00011/00001 R\n 0                    5x\n", ""},
      {"follow-up line of 22 bytes",
       forum(5, "five", 0, -1) + "00011/00001 R\n 0                   5\n", ""},
      {"headings between parent and reply",
       forum(10, "p", 1, -1) + heading + conference + heading + conference + forum(11, "R", 1, 10),
       "p"},
      // The numbers 703347408 and 1427371774 in group 131 ("AB") share the
      // top half of their hash, by which the scan first looks parents up.
      {"oldest of a number whose hash another number shares",
       escaped("AB", 703347408, "x", 0) + escaped("AB", 1427371774, "y", 0) +
           forum(11, "R", 131, 1427371774),
       "y"},
      {"newest of a number whose hash another number shares",
       escaped("AB", 1427371774, "y", 0) + escaped("AB", 703347408, "x", 0) +
           escaped("AB", 11, "R", 1427371774),
       "y"},
      // And so do the ids <168165@h> and <209506@h> of group 0.
      {"an id whose hash another id shares",
       news("x", {"Message-ID: <168165@h>"}) + news("y", {"Message-ID: <209506@h>"}) +
           news("R", {"References: <209506@h>"}),
       "y"},
      {"news ids match whatever the case",
       news("a", {"Message-ID: <AbC@Host>"}) + news("R", {"References: <aBc@hOST>"}), "a"},
      {"news reply under the older of two ids",
       news("old", {"Message-ID: <a@h>"}) + news("new", {"message-id: <A@H>"}) +
           news("R", {"References: <a@h>"}),
       "old"},
      {"a stored id with a trailing blank never matches",
       news("a", {"Message-ID: <a@h> "}) + news("R", {"References: <a@h>"}), ""},
      {"text after the reference's '>' is ignored",
       news("a", {"Message-ID: <a@h>"}) + news("R", {"References: <x@h> <a@h> (was b)"}), "a"},
      {"last id of the last continuation line",
       news("a", {"Message-ID: <a@h>"}) + news("b", {"Message-ID: <b@h>"}) +
           news("R", {"References: <b@h>", "\t<x@h> <a@h>", " (no id here)"}),
       "a"},
      {"a header after continuation lines is read",
       news("a", {"Message-ID: <a@h>"}) +
           news("mid", {"References: <x@h>", " <a@h>", "Message-ID: <m@h>", "Xref: host a.b:3"}) +
           news("R", {"References: <m@h>"}),
       "mid"},
      {"Message-ID above the Subject gives no id",
       "Message-ID: <a@h>\n" + news("a", {}) + news("R", {"References: <a@h>"}), ""},
      {"References without an id searches for an empty id",
       news("a", {"Message-ID:"}) + news("R", {"References: none"}), "a"},
      {"news ids are not message numbers",
       forum(7, "seven", 0, -1) + news("R", {"References: <7>"}), ""},
  };
  for (const auto& c : cases) {
    scan_log(c.log);
    int r = entry("R");
    ASSERT_GE(r, 0) << c.name;
    int want = *c.parent != '\0' ? entry(c.parent) : -1;
    ASSERT_TRUE(*c.parent == '\0' || want >= 0) << c.name;
    EXPECT_EQ(parents()[static_cast<size_t>(r)], want) << c.name;
    EXPECT_EQ(tent[r].depth, want >= 0 ? 1 : 0) << c.name;
    EXPECT_EQ(tent[r].child, nullptr) << c.name;
    EXPECT_EQ(tent[r].next, nullptr) << c.name;
  }
}

// A news article numbered 10 takes replies by number and by its id: they
// stand in its chain in the order of the log, however they were found.
TEST(Threads, RepliesByNumberAndByIdKeepTheLogOrder) {
  scan_log(news("10 p", {"Message-ID: <p@h>"}) + forum(11, "F1", 0, 10) +
           news("N", {"References: <p@h>"}) + forum(12, "F2", 0, 10));
  std::vector<std::string> chain;
  for (dulk::title_ent* c = tent[entry("10 p")].child; c != nullptr; c = c->next)
    chain.emplace_back(c->title);
  EXPECT_EQ(chain, std::vector<std::string>({"00011/00001 F1", "00000: N", "00012/00001 F2"}));
}

// What a re-read of the grown log adds links under the titles of the first
// scan, after the replies that scan linked.
TEST(Threads, RepliesAddedByAReReadJoinTheChains) {
  scan_log(forum(10, "p", 5, -1) + news("q", {"Message-ID: <q@h>"}) + forum(11, "a", 5, 10));
  std::string more = forum(12, "b", 5, 10) + news("N", {"References: <q@h>"});
  std::fseek(dulk::log_fp, 0, SEEK_END);
  std::fwrite(more.data(), 1, more.size(), dulk::log_fp);
  std::fflush(dulk::log_fp);
  ASSERT_TRUE(dulk::read_more_titles(dulk::log_fp, tent, &dulk::ent_cnt));
  ASSERT_EQ(dulk::ent_cnt, 5);
  EXPECT_EQ(parents(), std::vector<int>({-1, -1, 0, 0, 1}));
  EXPECT_EQ(tent[2].next, &tent[3]);
}

// Levels are 8 bits: a thread deeper than 127 levels keeps every entry in
// order, with levels that stop at 127 and never wrap.  The chain is far
// deeper than a recursive descent could follow on the stack.
TEST(Threads, DeepThreadSaturatesAndStaysComplete) {
  constexpr int kDeep = 200000;
  std::string log;
  log.reserve(static_cast<size_t>(kDeep) * 48);
  for (int i = 1; i <= kDeep; i++) log += escaped("AB", i, "t", i - 1);
  auto t = scan_log(log, kDeep);
  ASSERT_EQ(t.count, kDeep);
  dulk::make_tentp();
  for (int i = 0; i < kDeep; i++) {
    ASSERT_EQ(dulk::tentp[i], &tent[i]) << i;
    ASSERT_EQ(tent[i].depth, i < 127 ? i : 127) << i;
  }
}

// A reply made while the order walks the deep branch must not be lost: the
// sibling chains left behind are taken up again at the right level.
TEST(Threads, SiblingsAfterDeepBranches) {
  std::string log = forum(1, "root", 0, 0);
  for (int i = 2; i <= 300; i++) log += forum(i, "deep", 0, i - 1);
  log += forum(1000, "second", 0, 1) + forum(1001, "third", 0, 150);
  scan_log(log, 400);
  dulk::make_tentp();
  auto titles = thread_titles();
  auto depths = thread_depths();
  ASSERT_EQ(titles.size(), 302u);
  // root, 2 to 150, then 150's replies: 151 (with 152 to 300 below it) and
  // third; then the root's second reply.
  EXPECT_EQ(titles[150], "00151/00001 deep");
  EXPECT_EQ(titles[300], "01001/00001 third");
  EXPECT_EQ(depths[300], 127);
  EXPECT_EQ(depths[299], 127);
  EXPECT_EQ(titles[301], "01000/00001 second");
  EXPECT_EQ(depths[301], 1);
}

// Searches called straight on a table, for an index earlier than one asked
// before, still find only entries before that index.
TEST(Threads, SearchForAnEarlierIndexSeesOnlyTheEntriesBeforeIt) {
  dulk::reset_state();
  dulk::max_ent = 4;
  dulk::alloc_tables();
  for (int i = 0; i < 4; i++) {
    tent[i].title = dulk::title_store("t");
    tent[i].num = 5;
  }
  EXPECT_EQ(dulk::search_and_add4sx(3, 5), 1);  // the newest: entry 2
  EXPECT_EQ(tent[2].child, &tent[3]);
  EXPECT_EQ(dulk::search_and_add4sx(2, 5), 1);  // now entry 1, not 2 itself
  EXPECT_EQ(tent[1].child, &tent[2]);
  EXPECT_EQ(dulk::search_and_add(1, 5), 1);
  EXPECT_EQ(tent[0].child, &tent[1]);
}

// Real mails as news articles: their own Message-ID: lines and their
// References: headers with real continuation lines, then one reply to each
// naming its id in upper case.
TEST(Threads, RealMessageIdsAndReferences) {
  const std::vector<std::string> files = dulk_test::real_mail_files();
  SKIP_OR_FAIL_WITHOUT_REALDATA(files.empty(),
                                "real mails absent: " << dulk_test::realdata_path("mail"));

  std::string log;
  std::vector<std::string> stored;  // each article's id as the scan keeps it
  std::vector<std::string> refs;    // each article's reference, "" for none
  auto strip = [](std::string l) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    return l;
  };
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::string line;
    std::string block;
    std::string id;
    std::string ref;
    bool in_refs = false;
    while (std::getline(in, line) && !strip(line).empty()) {
      std::string l = strip(line);
      bool cont = l[0] == ' ' || l[0] == '\t';
      if (in_refs && cont) {
        block += line + "\n";
        if (l.find('<') != std::string::npos) ref = l.substr(l.rfind('<'));
        continue;
      }
      in_refs = false;
      if (strncasecmp(l.c_str(), "message-id:", 11) == 0) {
        block += line + "\n";
        id = l.size() > 12 ? l.substr(12) : "";
      } else if (strncasecmp(l.c_str(), "references:", 11) == 0) {
        block += line + "\n";
        in_refs = true;
        ref = l.find('<') != std::string::npos ? l.substr(l.rfind('<')) : "";
        if (ref.empty()) ref = " ";  // seen, without an id
      }
    }
    if (id.empty()) continue;
    log += "Subject: real " + std::to_string(stored.size()) + "\n" + block + "\n";
    stored.push_back(id);
    refs.push_back(ref);
  }
  ASSERT_GT(stored.size(), 50u);
  size_t real = stored.size();
  for (size_t i = 0; i < real; i++) {
    std::string upper = stored[i].substr(0, stored[i].find('>') + 1);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    log += "Subject: reply " + std::to_string(i) + "\nReferences: " + upper + "\n\n";
    stored.push_back("");
    refs.push_back(upper);
  }

  auto t = scan_log(log);
  ASSERT_EQ(t.count, static_cast<int>(stored.size()));
  auto p = parents();
  int linked = 0;
  for (size_t i = 0; i < stored.size(); i++) {
    // The parent: the oldest earlier article whose stored id is the
    // reference up to its first '>', ignoring case.
    std::string r = refs[i] == " " ? "" : refs[i];
    r = r.substr(0, r.find('>') == std::string::npos ? r.size() : r.find('>') + 1);
    int want = -1;
    for (size_t j = 0; j < i && !refs[i].empty() && want < 0; j++) {
      if (j < real && strcasecmp(stored[j].c_str(), r.c_str()) == 0) want = static_cast<int>(j);
    }
    EXPECT_EQ(p[i], want) << t.titles[i];
    if (want >= 0) linked++;
  }
  EXPECT_GE(linked, static_cast<int>(real) - 5);  // nearly every reply finds its mail
}

// On a long log the keys of early titles are kept apart from recent ones:
// the oldest and the newest entry of a number stay right across both.
TEST(Threads, ParentsFarBackAndNearAreBothFound) {
  dulk::reset_state();
  dulk::max_ent = 100000;
  dulk::alloc_tables();
  for (int i = 0; i < dulk::max_ent; i++) {
    tent[i].title = dulk::title_store("t");
    tent[i].num = 1000 + i;
  }
  for (int i : {0, 50000, 99990}) tent[i].num = 7;  // far back, and near
  for (int i : {60000, 99995}) tent[i].num = 8;
  for (int i : {10, 70000}) tent[i].num = 9;  // far back only
  EXPECT_EQ(dulk::search_and_add(99997, 7), 1);
  EXPECT_EQ(tent[0].child, &tent[99997]);
  EXPECT_EQ(dulk::search_and_add4sx(99998, 8), 1);
  EXPECT_EQ(tent[99995].child, &tent[99998]);
  EXPECT_EQ(dulk::search_and_add4sx(99999, 9), 1);
  EXPECT_EQ(tent[70000].child, &tent[99999]);
}
