// Finding text: the Shift-JIS matcher, and which messages of a log hold a
// pattern.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"
#include "viewer_util.h"

using dulk_test::sjis;

namespace {

constexpr size_t npos = std::string_view::npos;

struct find_case {
  const char* name;
  std::string text;
  std::string pattern;
  size_t want;
};

TEST(SjisFind, MatchesWholeCharactersAndFoldsOnlyAsciiLetters) {
  const std::string long_text = std::string(37, 'x') + "\x83\x41" + "yA";
  const find_case cases[] = {
      {"ascii either case", "Hello World", "WORLD", 6},
      {"pattern in capitals, text in small", "abc", "ABC", 0},
      {"empty pattern", "abc", "", 0},
      // ア is 83 41: its trail is no 'A', in either case.
      {"trail byte equal to a capital", "\x83\x41", "A", npos},
      {"trail byte equal to a small letter", "\x83\x41", "a", npos},
      {"the letter after a trail byte",
       "\x83\x41"
       "A",
       "a", 2},
      {"a pattern starting on a trail byte", "\x83\x41\x42", "AB", npos},
      // The full-width space 81 40 ends in '@', ー 81 5b in '[', 表 95 5c in '\'.
      {"trail byte equal to @", "\x81\x40", "@", npos},
      {"@ after a full-width space", "\x81\x40@", "@", 2},
      {"trail byte equal to [", "\x81\x5b", "[", npos},
      {"trail byte equal to backslash", "\x95\x5c", "\\", npos},
      {"backslash after one", "\x95\x5c\\", "\\", 2},
      {"a double-byte character is not folded", "\x83\x61", "\x83\x41", npos},
      {"double-byte characters", sjis("会議室の発言"), sjis("発言"), 8},
      {"a trail and the next lead", "\x82\xa0\x82\xa0", "\xa0\x82", npos},
      // Single-byte katakana (a1-df) are characters of their own.
      {"single-byte katakana", "\xb1\xb2\xb3", "\xb2\xb3", 1},
      {"katakana byte as a trail", "\x82\xb1", "\xb1", npos},
      {"pattern longer than the text", "ab", "abc", npos},
      {"empty text", "", "a", npos},
      {"pattern ending inside a character", "a\x82\xa0", "a\x82", npos},
      {"lone lead byte", "\x82\xa0", "\x82", npos},
      // Full-width letters are other characters than ASCII ones.
      {"full-width letters", sjis("ＡＢＣ"), "abc", npos},
      {"past a false candidate in a long text", long_text, "a", 40},
  };
  for (const find_case& c : cases) {
    EXPECT_EQ(dulk::sjis_find(c.text, c.pattern), c.want) << c.name;
  }
}

// Scans a log and returns, per entry, whether its message holds pattern.
std::vector<int> hits(const std::string& log, const std::string& pattern) {
  auto t = dulk_test::scan_log(log, 1 << 20);
  std::vector<uint8_t> h = dulk::message_hits(dulk::log_fp, dulk::tent, t.count, pattern, {});
  return std::vector<int>(h.begin(), h.end());
}

TEST(MessageHits, TheTextThePagerShowsAndNothingBetweenMessages) {
  const std::string menu = sjis("番号またはコマンド") + " word\n";     // a prompt ends a message
  const std::string conference = sjis("－会議室") + " 1 word room\n";  // a heading
  struct hits_case {
    const char* name;
    std::string log;
    std::vector<int> want;
  };
  const hits_case cases[] = {
      {"in a body", "00001/00002 first\n 1\nno\n00002/00002 second\n 1\nWord here\n", {0, 1}},
      {"in a title", "00001/00002 word title\n 1\nno\n00002/00002 second\n 1\nno\n", {1, 0}},
      {"in the follow-up line", "00001/00001 first\n word\n", {1}},
      {"in a menu after the body",
       "00001/00002 a\n 1\nno\n" + menu + "word\n00002/00002 b\n 1\n",
       {0, 0}},
      // A heading never is found, but the message before it runs on over it.
      {"over a heading", "00001/00001 a\n 1\nno\n" + conference + "word\n" + menu, {1, 0}},
      {"a message that ends before the heading", "00001/00001 a\n 1\n" + menu + conference, {0, 0}},
      {"in the last line, without its newline", "00001/00001 a\n 1\nno\nword", {0}},
      {"across a carriage return the pager drops", "00001/00001 a\n 1\nwo\rrd\r\n", {1}},
      {"after a NUL the pager shows nothing", "00001/00001 a\n 1\nno\0word\n", {0}},
      {"before the first title", "word\n00001/00001 a\n 1\nno\n", {0}},
  };
  for (const hits_case& c : cases) {
    EXPECT_EQ(hits(c.log, "word"), c.want) << c.name;
  }
}

TEST(MessageHits, ALogThatShrankSinceTheScanIsSearchedAsFarAsItGoes) {
  const std::string log = "00001/00002 a\n 1\nword\n00002/00002 b\n 1\nword\n";
  struct cut_case {
    long size;
    std::vector<int> want;
  };
  const cut_case cases[] = {
      {43, {1, 0}},               // the last line lost its newline
      {30, {1, 0}},               // in the second title line
      {21, {0, 0}}, {5, {0, 0}},  // before the first title
      {0, {0, 0}},
  };
  for (const cut_case& c : cases) {
    auto t = dulk_test::scan_log(log);
    ASSERT_EQ(t.count, 2);
    ASSERT_EQ(::ftruncate(fileno(dulk::log_fp), c.size), 0);
    auto h = dulk::message_hits(dulk::log_fp, dulk::tent, t.count, "word", {});
    EXPECT_EQ(std::vector<int>(h.begin(), h.end()), c.want) << c.size;
  }
}

TEST(MessageHits, LinesOfBlocksAndTheProgressThatStopsASearch) {
  // More than one block of 8 MB: the search reads in pieces and places
  // every line it finds in the right message.
  std::string log;
  const std::string filler(200, 'x');
  for (int i = 1; i <= 60000; i++) {
    char t[48];
    std::snprintf(t, sizeof t, "%05d/60000 t\n 1\n", i % 100000);
    log += t;
    log += filler + (i % 20000 == 0 ? "needle" : "") + "\n";
  }
  auto t = dulk_test::scan_log(log, 70000);
  ASSERT_EQ(t.count, 60000);
  auto h = dulk::message_hits(dulk::log_fp, dulk::tent, t.count, "NEEDLE", {});
  std::vector<int> found;
  for (int i = 0; i < t.count; i++) {
    if (h[static_cast<size_t>(i)] != 0) found.push_back(i);
  }
  EXPECT_EQ(found, (std::vector<int>{19999, 39999, 59999}));

  int calls = 0;
  auto stopped = dulk::message_hits(dulk::log_fp, dulk::tent, t.count, "needle",
                                    [&calls](double) { return ++calls < 1; });
  EXPECT_TRUE(stopped.empty());
}

}  // namespace

// The extract is the text the pager shows: a message holds a pattern when a
// line of its extract does.
std::vector<int> extract_hits(int count, const std::string& pattern) {
  dulk_test::temp_dir dir;
  const std::string out = dir.file("extract");
  std::vector<int> want(static_cast<size_t>(count), 0);
  for (int i = 0; i < count; i++) {
    if (dulk::tent[i].kind != 0) continue;
    dulk::write_one_log(dulk::log_fp, dulk::tent, out.c_str(), dulk::kPlain, i);
    std::string text = dulk_test::read_file(out);
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
      if (dulk::sjis_find(std::string_view(text).substr(at, nl - at), pattern) != npos) {
        want[static_cast<size_t>(i)] = 1;
      }
    }
  }
  return want;
}

TEST(MessageHits, EveryMessageOfTheSampleAsItsExtractHoldsIt) {
  std::string log = dulk_test::read_file(dulk_test::source_dir() + "/examples/sample.log");
  ASSERT_FALSE(log.empty());
  auto t = dulk_test::scan_log(log, 1 << 20);
  for (const std::string& p : {std::string("re"), sjis("会議"), sjis("です"), std::string("1"),
                               sjis("番号"), std::string(":")}) {
    std::vector<int> got = hits(log, p);
    EXPECT_EQ(got, extract_hits(t.count, p)) << p;
  }
}

// Keys typed for an in-process search: standard input reads from a pipe.
class typed_keys {
 public:
  explicit typed_keys(const std::string& keys) : saved_(::dup(STDIN_FILENO)) {
    int p[2];
    if (::pipe(p) != 0 || ::write(p[1], keys.data(), keys.size()) != ssize_t(keys.size())) {
      throw std::runtime_error("pipe");
    }
    ::close(p[1]);
    ::dup2(p[0], STDIN_FILENO);
    ::close(p[0]);
  }
  ~typed_keys() {
    ::dup2(saved_, STDIN_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

// A second session in the same process starts as the first did: no pattern
// to repeat, and no answer kept from another log of as many titles.
TEST(SearchState, ASecondSessionStartsClean) {
  dulk_test::collect_sink screen;
  dulk::out_sink* old = dulk::set_out_sink(&screen);
  const std::string first = "00001/00003 a\n 1\nno\n00002/00003 b\n 1\nneedle\n00003/00003 c\n 1\n";
  const std::string second =
      "00001/00003 a\n 1\nno\n00002/00003 b\n 1\nno\n00003/00003 c\n 1\nneedle\n";
  dulk::cursor at;
  dulk_test::scan_log(first);
  {
    typed_keys keys("needle\r");
    dulk::search_command(at, dulk::key_action::text_search);
  }
  EXPECT_EQ(at.cur_idx, 1);
  dulk_test::scan_log(second);  // starts with reset_state
  at = {};
  {
    typed_keys keys("\r");  // nothing to repeat yet
    dulk::search_command(at, dulk::key_action::text_search);
  }
  EXPECT_EQ(at.cur_idx, 0);
  {
    typed_keys keys("needle\r");
    dulk::search_command(at, dulk::key_action::text_search);
  }
  EXPECT_EQ(at.cur_idx, 2);
  dulk::set_out_sink(old);
}
