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

namespace {

// The searches written the plain way: scan the earlier entries one by one
// and walk the parent's chain of replies to its end.
struct ref_ent {
  int num = 0;
  int group = 0;
  const char* msgid = nullptr;
  int child = -1;
  int next = -1;
  int depth = 0;
};

void ref_link(std::vector<ref_ent>& t, int p, int r) {
  if (t[static_cast<size_t>(p)].child < 0) {
    t[static_cast<size_t>(p)].child = r;
    return;
  }
  int e = t[static_cast<size_t>(p)].child;
  while (t[static_cast<size_t>(e)].next >= 0) e = t[static_cast<size_t>(e)].next;
  t[static_cast<size_t>(e)].next = r;
}

int ref_search(std::vector<ref_ent>& t, int index, int key, bool newest) {
  const ref_ent& me = t[static_cast<size_t>(index)];
  for (int k = 0; k < index; k++) {
    int i = newest ? index - 1 - k : k;
    if (t[static_cast<size_t>(i)].num == key && t[static_cast<size_t>(i)].group == me.group) {
      ref_link(t, i, index);
      return 1;
    }
  }
  return 0;
}

int ref_search_news(std::vector<ref_ent>& t, int index, std::string ref) {
  size_t gt = ref.find('>');
  if (gt != std::string::npos) ref.resize(gt + 1);
  const ref_ent& me = t[static_cast<size_t>(index)];
  for (int i = 0; i < index; i++) {
    const ref_ent& e = t[static_cast<size_t>(i)];
    if (e.msgid != nullptr && e.group == me.group && strcasecmp(e.msgid, ref.c_str()) == 0) {
      ref_link(t, i, index);
      return 1;
    }
  }
  return 0;
}

void ref_scan(std::vector<ref_ent>& t, std::vector<int>& out, int first, int level) {
  for (int e = first; e >= 0; e = t[static_cast<size_t>(e)].next) {
    t[static_cast<size_t>(e)].depth = level + 1;
    out.push_back(e);
    if (t[static_cast<size_t>(e)].child >= 0)
      ref_scan(t, out, t[static_cast<size_t>(e)].child, level + 1);
  }
}

// What the generator meant by each title: its form and its parent key.
struct intent {
  enum { kForumReply, kEscapeReply, kNewsReply, kNoSearch } how = kNoSearch;
  int key = 0;
  std::string ref;
  int num = 0;
  int group = 0;
};

std::string vary_case(std::string s, std::mt19937& rng) {
  for (char& c : s) {
    if (rng() % 2 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// A log of random titles: forum headers, escape-marked titles, news
// articles, bracket headers and headings, with numbers, groups and ids
// drawn from small pools so that duplicates, misses and other groups are
// common.
std::string random_log(std::mt19937& rng, int titles, std::map<int, intent>& intents) {
  const char* prefixes[] = {"AB", "BA", "AC", "", "A", "XYZ"};
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto id = [&]() { return "<id" + std::to_string(pick(25)) + "@host.example>"; };
  std::string log;
  for (int serial = 0; serial < titles; serial++) {
    std::string name = "T" + std::to_string(serial);
    intent in;
    switch (pick(9)) {
      case 0:
      case 1: {
        in.num = 1 + pick(30);
        int g = pick(4) == 0 ? 256 + pick(3) : pick(3);
        in.group = g & 0xff;
        int parent = pick(6) == 0 ? 0 : 1 + pick(32);
        bool short_line = pick(8) == 0;
        if (!short_line && parent != 0) {
          in.how = intent::kForumReply;
          in.key = parent;
        }
        log += forum(in.num, name, g, short_line ? -1 : parent);
        break;
      }
      case 2:
      case 3: {
        std::string prefix = prefixes[pick(6)];
        in.num = 1 + pick(30);
        for (char c : prefix) in.group += static_cast<unsigned char>(c);
        in.group &= 0xff;
        int parent = pick(5) == 0 ? 0 : 1 + pick(32);
        if (parent != 0) {
          in.how = intent::kEscapeReply;
          in.key = parent;
        }
        log += escaped(prefix, in.num, name, parent);
        break;
      }
      case 4:
      case 5:
      case 6: {
        // Header groups in random order: Xref:, Message-ID:, References:
        // with its continuation lines.
        std::vector<std::vector<std::string>> groups;
        if (pick(4) == 0) log += "Message-ID: " + id() + "\n";  // above the Subject: line
        if (pick(3) == 0) groups.push_back({"Xref: host a.b:" + std::to_string(pick(100))});
        if (pick(5) != 0) {
          std::string m = vary_case(id(), rng);
          if (pick(10) == 0) m += " ";
          if (pick(20) == 0) m = "";
          groups.push_back({"Message-ID: " + m});
        }
        if (pick(5) != 0) {
          std::vector<std::string> lines = {"References:"};
          for (int k = pick(3); k > 0; k--) lines[0] += " " + vary_case(id(), rng);
          for (int c = pick(3); c > 0; c--) {
            std::string cont = pick(2) ? "\t" : "  ";
            for (int k = pick(3); k > 0; k--) cont += vary_case(id(), rng) + " ";
            if (pick(4) == 0) cont += "(was x)";
            lines.push_back(cont);
          }
          // The reference: from the last '<' of the last line that has one.
          in.how = intent::kNewsReply;
          for (const auto& l : lines) {
            if (l.find('<') != std::string::npos) in.ref = l.substr(l.rfind('<'));
          }
          groups.push_back(lines);
        }
        std::shuffle(groups.begin(), groups.end(), rng);
        std::vector<std::string> headers;
        for (const auto& g : groups) headers.insert(headers.end(), g.begin(), g.end());
        log += news(name, headers);
        break;
      }
      case 7: {
        in.num = pick(31);
        char line[64];
        std::snprintf(line, sizeof line, "%04d [..............] %s\n", in.num, name.c_str());
        log += line;
        break;
      }
      default:
        log += pick(2) ? "\x81\x83 heading\n" : "No. 1\n";  // ＜ heading, number heading
        serial--;
        continue;
    }
    intents[serial] = in;
  }
  return log;
}

}  // namespace

// The linking must give the same child, next and depth as the plain searches
// on many random logs.
TEST(Threads, IndexedSearchesMatchPlainSearches) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 300; round++) {
    std::map<int, intent> intents;
    std::string log = random_log(rng, 10 + static_cast<int>(rng() % 300), intents);
    scan_log(log);
    int n = dulk::ent_cnt;
    std::vector<ref_ent> ref(static_cast<size_t>(n));
    std::vector<std::string> refs(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
      ref[static_cast<size_t>(i)].num = tent[i].num;
      ref[static_cast<size_t>(i)].group = tent[i].group;
      ref[static_cast<size_t>(i)].msgid = tent[i].msgid;
      std::string t = tent[i].title;
      size_t at = t.find(" T");
      if (at == std::string::npos || tent[i].kind != 0) continue;
      const intent& in = intents.at(std::stoi(t.substr(at + 2)));
      int depth = 0;
      if (in.how == intent::kForumReply) depth = ref_search(ref, i, in.key, false);
      if (in.how == intent::kEscapeReply) depth = ref_search(ref, i, in.key, true);
      if (in.how == intent::kNewsReply) depth = ref_search_news(ref, i, in.ref);
      ref[static_cast<size_t>(i)].depth = depth;
      if (in.how != intent::kNewsReply) {
        ASSERT_EQ(tent[i].num, in.num) << t;
        ASSERT_EQ(tent[i].group, in.group) << t;
      }
    }
    auto index_of = [](const dulk::title_ent* e) {
      return e == nullptr ? -1 : static_cast<int>(e - tent);
    };
    for (int i = 0; i < n; i++) {
      ASSERT_EQ(index_of(tent[i].child), ref[static_cast<size_t>(i)].child)
          << "round " << round << " entry " << i;
      ASSERT_EQ(index_of(tent[i].next), ref[static_cast<size_t>(i)].next)
          << "round " << round << " entry " << i;
      ASSERT_EQ(tent[i].depth, ref[static_cast<size_t>(i)].depth)
          << "round " << round << " entry " << i;
    }
    std::vector<int> order;
    for (int i = 0; i < n; i++) {
      if (ref[static_cast<size_t>(i)].depth != 0) continue;
      order.push_back(i);
      if (ref[static_cast<size_t>(i)].child >= 0)
        ref_scan(ref, order, ref[static_cast<size_t>(i)].child, 0);
    }
    dulk::make_tentp();
    ASSERT_EQ(static_cast<int>(order.size()), n);
    for (int k = 0; k < n; k++) {
      ASSERT_EQ(index_of(dulk::tentp[k]), order[static_cast<size_t>(k)])
          << "round " << round << " position " << k;
      ASSERT_EQ(dulk::tentp[k]->depth,
                ref[static_cast<size_t>(order[static_cast<size_t>(k)])].depth)
          << round;
    }
  }
}

// Searches called straight on a table, in any order of indexes and without
// the scanner completing entries one by one, still give the plain results.
TEST(Threads, SearchesOnAHandFilledTableInAnyOrder) {
  std::mt19937 rng(99);
  const char* ids[] = {"<a@h>", "<B@h>", "<c@H>", "<d@h> ", ""};
  for (int round = 0; round < 300; round++) {
    constexpr int kEntries = 30;
    dulk::reset_state();
    dulk::max_ent = kEntries;
    dulk::alloc_tables();
    std::vector<ref_ent> ref(kEntries);
    for (int i = 0; i < kEntries; i++) {
      tent[i].title = dulk::title_store("t");
      tent[i].num = static_cast<int>(rng() % 6);
      tent[i].group = static_cast<uint8_t>(rng() % 3);
      tent[i].msgid = rng() % 3 == 0 ? nullptr : dulk::title_store(ids[rng() % 5]);
      ref[static_cast<size_t>(i)].num = tent[i].num;
      ref[static_cast<size_t>(i)].group = tent[i].group;
      ref[static_cast<size_t>(i)].msgid = tent[i].msgid;
    }
    std::vector<int> order(kEntries);
    for (int i = 0; i < kEntries; i++) order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (int i : order) {
      int key = static_cast<int>(rng() % 7);
      std::string r = vary_case(ids[rng() % 5], rng) + (rng() % 2 ? "junk" : "");
      int got = 0;
      int want = 0;
      switch (rng() % 3) {
        case 0:
          got = dulk::search_and_add(i, key);
          want = ref_search(ref, i, key, false);
          break;
        case 1:
          got = dulk::search_and_add4sx(i, key);
          want = ref_search(ref, i, key, true);
          break;
        default:
          got = dulk::search_and_add4news(i, r.data());
          want = ref_search_news(ref, i, r);
      }
      ASSERT_EQ(got, want) << "round " << round << " entry " << i;
      tent[i].depth = static_cast<int8_t>(got);
    }
    for (int i = 0; i < kEntries; i++) {
      auto index_of = [](const dulk::title_ent* e) {
        return e == nullptr ? -1 : static_cast<int>(e - tent);
      };
      ASSERT_EQ(index_of(tent[i].child), ref[static_cast<size_t>(i)].child)
          << "round " << round << " entry " << i;
      ASSERT_EQ(index_of(tent[i].next), ref[static_cast<size_t>(i)].next)
          << "round " << round << " entry " << i;
    }
  }
}

// Real mails as news articles: their own Message-ID: lines and their
// References: headers with real continuation lines, then one reply to each
// naming its id in upper case.
TEST(Threads, RealMessageIdsAndReferences) {
  const std::vector<std::string> files = dulk_test::real_mail_files();
  if (files.empty()) GTEST_SKIP() << "real mails absent: " << dulk_test::realdata_path("mail");

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
