// The painters of the title list, through a sink that collects the bytes.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "dulk.h"
#include "scan_util.h"
#include "viewer_util.h"

using namespace dulk_test;

namespace {

class Paint : public ::testing::Test {
 protected:
  void SetUp() override {
    dulk::reset_state();
    dulk::env_x = 80;
    dulk::env_y = 20;
    old_ = dulk::set_out_sink(&sink_);
  }
  void TearDown() override {
    dulk::set_out_sink(old_);
    dulk::reset_state();
  }
  std::string take() {
    std::string s = std::move(sink_.bytes);
    sink_.bytes.clear();
    return s;
  }
  collect_sink sink_;
  dulk::out_sink* old_ = nullptr;
};

const std::string kHome = "\033[0;0H\n";

// The text part of a single painted row.
std::string painted_text(const std::string& bytes) {
  size_t start = bytes.find(";3H");
  size_t colour_end = bytes.find('m', start);
  size_t end = bytes.find(" \033[0m\n", colour_end);
  return bytes.substr(colour_end + 1, end - colour_end - 1);
}

TEST_F(Paint, ReadTitleOnPlainRowIsByteExact) {
  dulk::disp("00001/00002 hello", 0, 2, 0, 1, 0);
  EXPECT_EQ(take(), "\033[3;1H\033(B\033[37m" + kStar +
                        "\033[0m\033[3;3H\033[37m00001/00002 hello \033[0m\n" + kHome);
}

TEST_F(Paint, ColourAndMarkFollowKindHighlightAndReadFlag) {
  struct tc {
    const char* name;
    char kind;
    int highlighted;
    char readed;
    std::string colour;
    std::string mark;
  } cases[] = {
      {"unread title plain", 0, 0, 0, "\033[37m", "  "},
      {"read title bar", 0, 1, 1, "\033[41m", kStar},
      {"read section header has no mark", 1, 0, 1, "\033[35m", ""},
      {"section header bar", 1, 1, 0, "\033[45m", ""},
      {"sub-header plain", 2, 0, 1, "\033[32m", kStar},
      {"sub-header bar", 2, 1, 0, "\033[42m", "  "},
      {"other kind is white", 7, 0, 0, "\033[37m", "  "},
      {"other kind bar is red", 7, 1, 0, "\033[41m", "  "},
  };
  for (const auto& c : cases) {
    dulk::disp("abc", 0, 5, c.highlighted, c.readed, c.kind);
    EXPECT_EQ(take(), row(5, c.colour, c.mark, "", "abc")) << c.name;
  }
  // Without colours: none at all, the cursor bar in reverse video.
  dulk::set_colours(false);
  for (const auto& c : cases) {
    dulk::disp("abc", 0, 5, c.highlighted, c.readed, c.kind);
    EXPECT_EQ(take(), row(5, c.highlighted ? "\033[7m" : "", c.mark, "", "abc")) << c.name;
  }
}

TEST_F(Paint, TextIsCutByTheLastByteThatFits) {
  auto with_byte = [](size_t len, size_t at, char b) {
    std::string s(len, 'a');
    s[at] = b;
    return s;
  };
  struct tc {
    const char* name;
    std::string text;
    size_t shown;
  } cases[] = {
      {"long ASCII", std::string(100, 'x'), 77},
      {"lead byte 0x82 at the edge", with_byte(100, 76, '\x82'), 76},
      {"lead byte 0x80 at the edge", with_byte(100, 76, '\x80'), 76},
      {"lead byte 0x9f at the edge", with_byte(100, 76, '\x9f'), 76},
      {"lead byte 0xe0 at the edge", with_byte(100, 76, '\xe0'), 76},
      {"lead byte 0xfe at the edge", with_byte(100, 76, '\xfe'), 76},
      {"katakana 0xb1 at the edge", with_byte(100, 76, '\xb1'), 77},
      {"0xa0 at the edge", with_byte(100, 76, '\xa0'), 77},
      {"0xdf at the edge", with_byte(100, 76, '\xdf'), 77},
      {"0xff at the edge", with_byte(100, 76, '\xff'), 77},
      {"ASCII at the edge", with_byte(100, 76, 'A'), 77},
      {"exactly 77 ending in a lead value", with_byte(77, 76, '\xe5'), 76},
      {"exactly 77 ASCII", std::string(77, 'y'), 77},
      {"76 bytes ending in a lead value", with_byte(76, 75, '\x82'), 76},
      // The test looks at one byte: a trail byte in the lead range goes too.
      {"trail byte in lead range", std::string(75, 'a') + "\x82\x9f" + std::string(20, 'b'), 76},
      {"news subject line end", "00012: subject\n", 14},
  };
  for (const auto& c : cases) {
    dulk::disp(c.text.c_str(), 0, 2, 0, 0, 0);
    std::string text = painted_text(take());
    std::string want = c.text.substr(0, c.shown);
    EXPECT_EQ(text, want) << c.name;
  }
}

TEST_F(Paint, TreeMarksNarrowTheText) {
  dulk::link = 1;
  struct tc {
    int depth;
    std::string tree;
  } cases[] = {{1, "+"}, {2, "|+"}, {3, "||+"}, {57, std::string(56, '|') + "+"}};
  for (const auto& c : cases) {
    std::string text(100, 'z');
    dulk::disp(text.c_str(), c.depth, 4, 0, 0, 0);
    std::string want_text(static_cast<size_t>(80 - c.depth - 3), 'z');
    EXPECT_EQ(take(), row(4, "\033[37m", "  ", c.tree, want_text)) << "depth " << c.depth;
  }
}

// A tree that would leave fewer than 20 columns of text ends in the level's
// number instead, no wider than the deepest whole tree: every deep row shows
// 20 columns of its text, in line with the others.
TEST_F(Paint, DeepTreeEndsInTheLevelNumber) {
  struct tc {
    int width;
    int depth;
    std::string tree;
    size_t text;
  } cases[] = {
      {80, 58, std::string(54, '|') + "58+", 20},
      {80, 127, std::string(53, '|') + "127+", 20},
      {40, 30, std::string(14, '|') + "30+", 20},
      // Narrower than 20 columns of text allow: the number alone.
      {20, 30, "30+", 14},
      {10, 20, "20+", 4},
      // A tree no longer than its number stays a tree.
      {10, 2, "|+", 5},
  };
  for (const auto& c : cases) {
    dulk::env_x = c.width;
    std::string text(200, 'z');
    dulk::disp(text.c_str(), c.depth, 4, 1, 0, 0);
    EXPECT_EQ(take(), row(4, "\033[41m", "  ", c.tree, std::string(c.text, 'z')))
        << "width " << c.width << " depth " << c.depth;
  }
}

TEST_F(Paint, RowNeverOverrunsWhateverTheWidth) {
  // Not even the level's number leaves room: no text, the tree cut to the width.
  dulk::env_x = 5;
  dulk::disp("title", 20, 2, 0, 0, 0);
  EXPECT_EQ(take(), row(2, "\033[37m", "  ", "|+", ""));

  dulk::env_x = -5;
  dulk::disp("title", 3, 2, 0, 0, 0);
  EXPECT_EQ(take(), row(2, "\033[37m", "  ", "", ""));

  dulk::env_x = INT_MIN;
  dulk::disp("title", 0, 2, 0, 0, 0);
  EXPECT_EQ(take(), row(2, "\033[37m", "  ", "", ""));

  // Far wider than any working buffer: the whole text, nothing read past it.
  dulk::env_x = INT_MAX;
  std::string text(2000, 'w');
  dulk::disp(text.c_str(), 0, 2, 0, 0, 0);
  EXPECT_EQ(painted_text(take()), text);
}

TEST_F(Paint, TdispPaintsTheCurrentOrder) {
  scan_log(forum_log(3));
  dulk::env_x = 80;
  dulk::tent[1].readed = 1;
  dulk::tent[2].depth = 2;
  dulk::tdisp(2, 0, 1);
  EXPECT_EQ(take(), row(2, "\033[41m", "  ", "", "00003/00003 title 3")) << "no tree in log order";

  dulk::link = 1;
  dulk::tentp[0] = &dulk::tent[2];
  dulk::tentp[1] = &dulk::tent[1];
  dulk::tentp[2] = &dulk::tent[0];
  dulk::tdisp(0, 3, 0);
  EXPECT_EQ(take(), row(5, "\033[37m", "  ", "|+", "00003/00003 title 3"));
  dulk::tdisp(1, 4, 0);
  EXPECT_EQ(take(), row(6, "\033[37m", kStar, "", "00002/00003 title 2"));

  // A thread order never built has no entry to paint.
  dulk::tentp[2] = nullptr;
  dulk::tdisp(2, 0, 1);
  dulk::tdisp(3, 0, 1);
  EXPECT_EQ(take(), "");
}

std::string header(const std::string& log, int page, int pages, bool link_mode) {
  return "LOG FILE : " + log + "      PAGE : " + std::to_string(page) + "/" +
         std::to_string(pages) + "    \x81\x79 DULK Ver 1.71 \x81\x7a " +
         (link_mode ? "<LINK mode>" : " ") + "\n";
}

std::string title_row(int page_row, int n, int of) {
  return row(page_row + 2, kWhite, "  ", "", forum_title(n, of));
}

TEST_F(Paint, PageOfFortyFiveEndsWithTheEndMarker) {
  scan_log(forum_log(45));
  dulk::env_x = 80;
  dulk::disp_one_pg(dulk::tent, 44, 45, 20, "x.log");
  std::string want = header("x.log", 3, 3, false);
  for (int i = 0; i < 5; i++) want += title_row(i, 41 + i, 45);
  want += row(7, "\033[37m", "  ", "", "<<< END >>>");
  EXPECT_EQ(take(), want);
}

TEST_F(Paint, FullPageOfFortyHasNoEndMarker) {
  scan_log(forum_log(40));
  dulk::env_x = 80;
  dulk::disp_one_pg(dulk::tent, 25, 40, 20, "x.log");
  std::string want = header("x.log", 2, 2, false);
  for (int i = 0; i < 20; i++) want += title_row(i, 21 + i, 40);
  EXPECT_EQ(take(), want);
}

TEST_F(Paint, EmptyTableAndLinkModeHeader) {
  dulk::alloc_tables();
  dulk::disp_one_pg(dulk::tent, 0, 0, 20, "empty.log");
  EXPECT_EQ(take(), header("empty.log", 1, 1, false) + row(2, "\033[37m", "  ", "", "<<< END >>>"));

  dulk::link = 1;
  dulk::disp_one_pg(dulk::tent, 0, 0, 20, "empty.log");
  EXPECT_EQ(take(), header("empty.log", 1, 1, true) + row(2, "\033[37m", "  ", "", "<<< END >>>"));

  // Too wide for the row: the path loses whole characters from its left
  // (日本語日本 keeps 語日本), then the header its end.
  dulk::link = 0;
  dulk::env_x = 60;
  dulk::disp_one_pg(dulk::tent, 0, 0, 20, "\x93\xfa\x96\x7b\x8c\xea\x93\xfa\x96\x7b");
  EXPECT_EQ(take().substr(0, 60), header("<\x8c\xea\x93\xfa\x96\x7b", 1, 1, false));
  dulk::env_x = 20;
  dulk::disp_one_pg(dulk::tent, 0, 0, 20, "empty.log");
  EXPECT_EQ(take().substr(0, 21), "LOG FILE : <      PA\n");
}

TEST_F(Paint, MeterFillsOneSquareMoreThanItsValue) {
  const std::string black = "\x81\xa1", white = "\x81\xa0";
  auto meter = [&](int black_count) {
    std::string s = "START ";
    for (int i = 0; i < 20; i++) s += i < black_count ? black : white;
    return s + " END";
  };
  struct tc {
    int filled;
    int black;
  } cases[] = {{0, 1}, {7, 8}, {19, 20}, {21, 20}, {-1, 0}};
  for (const auto& c : cases) {
    dulk::disp_meter(20, c.filled);
    std::string m = meter(c.black);
    ASSERT_EQ(m.size(), 50u);
    EXPECT_EQ(take(), row(0, "\033[37m", "  ", "", m)) << "filled " << c.filled;
  }
}

}  // namespace
