// UTF-8 terminal output: the conversion of Shift-JIS text, the output layer
// that applies it, the painters seen through it, and the pager's copy.
#include <gtest/gtest.h>
#include <iconv.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wchar.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"
#include "support.h"

namespace {

using dulk::out_charset;

constexpr const char* kFffd = "\xEF\xBF\xBD";

// Collects what the output layer writes, in the given charset, for the life
// of the object; the previous sink and charset come back afterwards.
class capture {
 public:
  explicit capture(out_charset cs) : old_sink_(dulk::set_out_sink(&sink_)) {
    old_cs_ = dulk::out_get_charset();
    dulk::out_set_charset(cs);
  }
  ~capture() {
    dulk::set_out_sink(old_sink_);
    dulk::out_set_charset(old_cs_);
  }
  const std::string& bytes() const { return sink_.bytes; }

 private:
  dulk_test::collect_sink sink_;
  dulk::out_sink* old_sink_;
  out_charset old_cs_;
};

std::string painted(out_charset cs, const std::function<void()>& paint) {
  capture c(cs);
  paint();
  return c.bytes();
}

std::string screen_utf8(std::string_view sjis) {
  std::string out;
  dulk::sjis_to_utf8(sjis, out, dulk::utf8_use::screen);
  return out;
}

std::string file_utf8(std::string_view sjis) {
  std::string out;
  dulk::sjis_to_utf8(sjis, out, dulk::utf8_use::file);
  return out;
}

// A whole text through iconv, the way a person converts a Shift-JIS capture.
std::optional<std::string> iconv_utf8(std::string_view sjis) {
  std::string out;
  if (!dulk_test::iconv_convert(sjis, "UTF-8", "CP932", out)) return std::nullopt;
  return out;
}

// Columns as a UTF-8 terminal counts them (glibc's widths in C.UTF-8, which
// tmux and most terminals share); -1 for a byte sequence that is no UTF-8.
class utf8_columns {
 public:
  utf8_columns() : loc_(newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr)) {}
  ~utf8_columns() {
    if (loc_ != nullptr) freelocale(loc_);
  }
  bool ok() const { return loc_ != nullptr; }
  int operator()(std::string_view s) const {
    locale_t old = uselocale(loc_);
    mbstate_t st{};
    int cols = 0;
    size_t i = 0;
    while (i < s.size() && cols >= 0) {
      wchar_t wc;
      size_t n = mbrtowc(&wc, s.data() + i, s.size() - i, &st);
      if (n == 0 || n > s.size() - i) {
        cols = -1;
        break;
      }
      int w = wcwidth(wc);
      cols = w < 0 ? -1 : cols + w;
      i += n;
    }
    uselocale(old);
    return cols;
  }

 private:
  locale_t loc_;
};

// The columns of each run of text between escape sequences and control
// characters: equal lists mean the two streams paint the same layout.
std::vector<int> text_runs(std::string_view s, const std::function<int(std::string_view)>& cols) {
  std::vector<int> runs;
  size_t start = 0;
  auto close = [&](size_t end) {
    if (end > start) runs.push_back(cols(s.substr(start, end - start)));
  };
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b == 0x1B) {
      close(i);
      i++;
      if (i < s.size() && s[i] == '[') {
        i++;
        while (i < s.size() && !(s[i] >= 0x40 && s[i] <= 0x7E)) i++;
      } else if (i < s.size() && s[i] == '(') {
        i++;
      }
      start = ++i;
    } else if (b < 0x20) {
      close(i);
      start = ++i;
    } else {
      i++;
    }
  }
  close(s.size());
  return runs;
}

std::vector<int> sjis_runs(std::string_view s) {
  return text_runs(s, [](std::string_view t) { return static_cast<int>(t.size()); });
}

std::vector<int> utf8_runs(std::string_view s, const utf8_columns& cols) {
  return text_runs(s, [&](std::string_view t) { return cols(t); });
}

// ---- choosing the charset ----------------------------------------------------

TEST(Utf8Charset, NamesChooseTheCharset) {
  struct row {
    const char* name;
    out_charset want;
  } rows[] = {
      {nullptr, out_charset::sjis},       {"", out_charset::sjis},
      {"UTF-8", out_charset::utf8},       {"utf8", out_charset::utf8},
      {"Utf-8", out_charset::utf8},       {"UTF8", out_charset::utf8},
      {"utf-8 ", out_charset::sjis},      {"utf-16", out_charset::sjis},
      {"UTF-88", out_charset::sjis},      {"SJIS", out_charset::sjis},
      {"en_US.UTF-8", out_charset::sjis},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(dulk::charset_from_name(r.name), r.want) << (r.name ? r.name : "(unset)");
  }
}

TEST(Utf8Charset, EnvironmentIsReadAtInit) {
  capture keep(out_charset::sjis);
  const char* old = std::getenv("DULK_CHARSET");
  std::string saved = old ? old : "";
  setenv("DULK_CHARSET", "utf8", 1);
  dulk::out_init_charset();
  EXPECT_EQ(dulk::out_get_charset(), out_charset::utf8);
  setenv("DULK_CHARSET", "latin1", 1);
  dulk::out_init_charset();
  EXPECT_EQ(dulk::out_get_charset(), out_charset::sjis);
  if (old) {
    setenv("DULK_CHARSET", saved.c_str(), 1);
  } else {
    unsetenv("DULK_CHARSET");
  }
}

// Unset, DULK_CHARSET leaves the choice to the locale (LC_ALL over LC_CTYPE
// over LANG, by name when it is not installed); set, even empty, it wins.
TEST(Utf8Charset, LocaleChoosesUnlessDulkCharsetIsSet) {
  capture keep(out_charset::sjis);
  const char* vars[] = {"DULK_CHARSET", "LC_ALL", "LC_CTYPE", "LANG"};
  struct row {
    const char* values[4];
    out_charset want;
  } rows[] = {
      {{nullptr, nullptr, nullptr, "C.UTF-8"}, out_charset::utf8},
      {{nullptr, nullptr, "C.UTF-8", "C"}, out_charset::utf8},
      {{nullptr, "C", nullptr, "C.UTF-8"}, out_charset::sjis},
      {{nullptr, nullptr, nullptr, "C"}, out_charset::sjis},
      {{nullptr, nullptr, nullptr, nullptr}, out_charset::sjis},
      {{nullptr, nullptr, nullptr, "xx_NOWHERE.UTF-8"}, out_charset::utf8},
      {{nullptr, nullptr, nullptr, "xx_NOWHERE.SJIS"}, out_charset::sjis},
      {{"SJIS", nullptr, nullptr, "C.UTF-8"}, out_charset::sjis},
      {{"", nullptr, nullptr, "C.UTF-8"}, out_charset::sjis},
      {{"UTF-8", "C", nullptr, nullptr}, out_charset::utf8},
  };
  auto put = [](const char* name, const char* value) {
    return value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  };
  std::optional<std::string> saved[4];
  for (size_t i = 0; i < 4; i++) {
    if (const char* v = std::getenv(vars[i])) saved[i] = v;
  }
  for (const auto& r : rows) {
    for (size_t i = 0; i < 4; i++) put(vars[i], r.values[i]);
    dulk::out_init_charset();
    EXPECT_EQ(dulk::out_get_charset(), r.want) << "row " << (&r - rows);
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C");  // put back
  }
  for (size_t i = 0; i < 4; i++) put(vars[i], saved[i] ? saved[i]->c_str() : nullptr);
}

// ---- the conversion ----------------------------------------------------------

TEST(Utf8Convert, CharactersAndBrokenBytes) {
  struct row {
    const char* name;
    std::string sjis;
    std::string screen;
    std::string file;
  } rows[] = {
      {"escapes and ASCII", "\033[3;1H\033(B\033[37mabc\\~ \033[0m\n",
       "\033[3;1H\033(B\033[37mabc\\~ \033[0m\n", "\033[3;1H\033(B\033[37mabc\\~ \033[0m\n"},
      // テスト発言です
      {"kana and kanji", "\x83\x65\x83\x58\x83\x67\x94\xad\x8c\xbe\x82\xc5\x82\xb7",
       "テスト発言です", "テスト発言です"},
      // ｱｲｳ半角: one column each for the katakana bytes
      {"single-byte katakana", "\xb1\xb2\xb3\x94\xbc\x8a\x70", "ｱｲｳ半角", "ｱｲｳ半角"},
      // 【】
      {"brackets", "\x81\x79\x81\x7a", "【】", "【】"},
      // ①② (CP932 extras, narrow on a UTF-8 terminal)
      {"circled digits", "\x87\x40\x87\x41", "① ② ", "①②"},
      // ☆■□ ⅰ纊 (IBM extension)
      {"marks", "\x81\x99\x81\xa1\x81\xa0", "☆ ■ □ ", "☆■□"},
      {"IBM extension", "\xfa\x40\xfa\x5c", "ⅰ 纊", "ⅰ纊"},
      {"lone lead byte at the end", "ab\x93", std::string("ab") + kFffd, std::string("ab") + kFffd},
      // 日 then a lead byte cut from its trail, then the row's closing blank
      {"cut row", "\x93\xfa\x93 \033[0m\n", std::string("日") + kFffd + " \033[0m\n",
       std::string("日") + kFffd + " \033[0m\n"},
      {"lead before an escape", "\x82\033[0m", std::string(kFffd) + "\033[0m",
       std::string(kFffd) + "\033[0m"},
      {"lead before a line break", "\x82\nx", std::string(kFffd) + "\nx",
       std::string(kFffd) + "\nx"},
      {"unassigned pair", "\x85\x40z", std::string(kFffd) + kFffd + "z",
       std::string(kFffd) + kFffd + "z"},
      {"user-defined character", "\xf0\x40", std::string(kFffd) + kFffd, "\xee\x80\x80"},
      {"bytes that are no character", "\x80\xa0\xfd\xfe\xff",
       std::string(kFffd) + kFffd + kFffd + kFffd + kFffd,
       std::string(kFffd) + kFffd + kFffd + kFffd + kFffd},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(screen_utf8(r.sjis), r.screen) << r.name;
    EXPECT_EQ(file_utf8(r.sjis), r.file) << r.name;
  }
}

// Every double-byte code: what converts is iconv's character (with a blank
// when the terminal shows it one column wide), and on the screen it takes
// the two columns it takes in Shift-JIS; what does not convert is two U+FFFD.
TEST(Utf8Convert, EveryDoubleByteCodeKeepsTwoColumns) {
  utf8_columns cols;
  if (!cols.ok()) GTEST_SKIP() << "no C.UTF-8 locale to count columns with";
  int converted = 0;
  for (int lead = 0x81; lead <= 0xFC; lead++) {
    if (!dulk::opens_pair(static_cast<unsigned char>(lead))) continue;
    for (int trail = 0x40; trail <= 0xFC; trail++) {
      if (!dulk::sjis_trail(static_cast<unsigned char>(trail))) continue;
      const char pair[] = {static_cast<char>(lead), static_cast<char>(trail)};
      std::string_view in(pair, 2);
      std::string got = screen_utf8(in);
      SCOPED_TRACE(testing::Message() << std::hex << lead << trail);
      ASSERT_EQ(cols(got), 2);
      auto want = iconv_utf8(in);
      if (want && got.rfind(kFffd, 0) != 0) {
        EXPECT_TRUE(got == *want || got == *want + " ");
        EXPECT_EQ(file_utf8(in), *want);
        converted++;
      } else if (want) {  // the user-defined area
        EXPECT_EQ(file_utf8(in), *want);
      } else {
        EXPECT_EQ(got, std::string(kFffd) + kFffd);
      }
    }
  }
  EXPECT_GT(converted, 7000);  // JIS X 0208 and the CP932 extras
}

TEST(Utf8Convert, EverySingleHighByteTakesOneColumn) {
  utf8_columns cols;
  if (!cols.ok()) GTEST_SKIP() << "no C.UTF-8 locale to count columns with";
  for (int b = 0x80; b <= 0xFF; b++) {
    std::string in(1, static_cast<char>(b));
    EXPECT_EQ(cols(screen_utf8(in)), 1) << std::hex << b;
    EXPECT_EQ(cols(screen_utf8(in + " ")), 2) << std::hex << b;  // a blank is no trail
  }
}

// The bytes a C string literal of the source stands for.
std::string unescape(std::string_view lit) {
  std::string out;
  for (size_t i = 0; i < lit.size(); i++) {
    if (lit[i] != '\\') {
      out += lit[i];
    } else if (lit[++i] == 'x') {
      size_t end = i + 1;
      while (end < lit.size() && std::isxdigit(static_cast<unsigned char>(lit[end]))) end++;
      out += static_cast<char>(std::stoi(std::string(lit.substr(i + 1, end - i - 1)), nullptr, 16));
      i = end - 1;
    } else {
      out += lit[i] == 'n' ? '\n' : lit[i] == 'a' ? '\a' : lit[i];
    }
  }
  return out;
}

// Every Japanese text of the program stands in the character layer with its
// characters in a comment, beside it or on the line above: iconv must turn
// its bytes into exactly those characters (a name that ends in Utf8 holds
// them as they are).
TEST(Utf8Convert, EveryJapaneseTextIsWhatItsCommentSays) {
  std::string header = dulk_test::read_file(dulk_test::source_dir() + "/src/sjis.h");
  header = header.substr(header.find("namespace dulk::sjis {"));
  std::string comment, statement;
  int checked = 0;
  size_t at = 0;
  for (size_t nl; (nl = header.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string_view line = std::string_view(header).substr(at, nl - at);
    line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
    if (statement.empty() && line.starts_with("// ")) comment = line.substr(3);
    if (!statement.empty() || line.starts_with("inline constexpr")) statement += std::string(line);
    if (statement.empty() || statement.find(';') == std::string::npos) continue;
    size_t semi = statement.find(';');
    if (size_t c = statement.find("// ", semi); c != std::string::npos)
      comment = statement.substr(c + 3);
    std::string name = statement.substr(0, statement.find(" ="));
    name = name.substr(name.rfind(' ') + 1);
    std::string bytes;
    for (size_t q = statement.find('"'); q < semi; q = statement.find('"', q + 1)) {
      size_t end = q + 1;
      while (statement[end] != '"') end += statement[end] == '\\' ? 2 : 1;
      bytes += unescape(std::string_view(statement).substr(q + 1, end - q - 1));
      q = end;
    }
    std::string shown = name.ends_with("Utf8") ? bytes : dulk_test::utf8(bytes);
    EXPECT_EQ(shown, comment) << name;
    checked++;
    statement.clear();
    comment.clear();
  }
  size_t texts = 0;
  for (size_t p = 0; (p = header.find("inline constexpr", p)) != std::string::npos; p++) texts++;
  EXPECT_EQ(static_cast<size_t>(checked), texts);
  EXPECT_GT(checked, 30);
}

// ---- the output layer ----------------------------------------------------------

TEST(Utf8Output, EveryWriteIsConvertedOnItsOwn) {
  std::string got = painted(out_charset::utf8, [] {
    dulk::out_write("\x93\xfa\x93");                       // 日 and a lead byte the writer cut off
    dulk::out_write("\xfa");                               // not taken as the trail of that lead
    dulk::out_printf("\033[%d;%dH%s|", 3, 3, "\x82\xa0");  // あ
    dulk::out_write(std::string_view("\0\x82\xa0", 3));
  });
  EXPECT_EQ(got, std::string("日") + kFffd + kFffd + "\033[3;3Hあ|" + std::string(1, '\0') + "あ");
}

TEST(Utf8Output, ShiftJisPassesByteForByte) {
  std::string all;
  for (int b = 0; b < 256; b++) all += static_cast<char>(b);
  std::string got = painted(out_charset::sjis, [&] {
    dulk::out_write(all);
    dulk::out_printf("%s", "\x93\xfa\x93");
  });
  EXPECT_EQ(got, all + "\x93\xfa\x93");
}

// Typed text comes back as Shift-JIS: whole, or cut at the first character
// that has no Shift-JIS form, with where it starts.
TEST(Utf8Input, TypedTextBecomesShiftJis) {
  struct row {
    out_charset cs;
    std::string typed;
    bool ok;
    std::string sjis;
    size_t bad_at;
  };
  const row rows[] = {
      {out_charset::utf8, "ab日あｱ", true, "ab\x93\xfa\x82\xa0\xb1", 0},
      {out_charset::utf8, "日\xF0\x9F\x98\x80x", false, "\x93\xfa", 3},  // an emoji
      {out_charset::utf8, "a\xE6\x97", false, "a", 1},                   // cut UTF-8
      {out_charset::utf8, "", true, "", 0},
      {out_charset::sjis, "\x93\xfa\xF0", true, "\x93\xfa\xF0", 0},  // bytes as given
  };
  for (const row& r : rows) {
    dulk::out_set_charset(r.cs);
    std::string out;
    size_t bad_at = 0;
    EXPECT_EQ(dulk::from_terminal(r.typed, out, &bad_at), r.ok) << r.typed;
    EXPECT_EQ(out, r.sjis) << r.typed;
    if (!r.ok) {
      EXPECT_EQ(bad_at, r.bad_at) << r.typed;
    }
  }
  dulk::out_set_charset(out_charset::sjis);
}

TEST(Utf8Output, LongPrintfIsConvertedWhole) {
  std::string text;
  for (int i = 0; i < 400; i++) text += "\x82\xa0";  // あ, longer than the small buffer
  std::string got = painted(out_charset::utf8, [&] { dulk::out_printf("[%s]", text.c_str()); });
  std::string want = "[";
  for (int i = 0; i < 400; i++) want += "あ";
  EXPECT_EQ(got, want + "]");
}

// ---- the painters, seen through UTF-8 --------------------------------------------

// The Shift-JIS output converted by iconv, with the blank that keeps each
// narrow mark two columns wide.
std::string expected_utf8(const std::string& sjis) {
  auto conv = iconv_utf8(sjis);
  if (!conv) return "(iconv failed)";
  std::string out;
  for (size_t i = 0; i < conv->size();) {
    bool narrow = false;
    for (const char* mark : {"☆", "■", "□", "①"}) {
      std::string_view m(mark);
      if (conv->compare(i, m.size(), m) == 0) {
        out.append(m);
        out += ' ';
        i += m.size();
        narrow = true;
        break;
      }
    }
    if (!narrow) out += (*conv)[i++];
  }
  return out;
}

class Utf8Painters : public testing::Test {
 protected:
  void SetUp() override {
    // Titles: テスト発言です, 日本語の題名, 漢字かな混じり ① (one with a
    // narrow CP932 extra), and a sub-header －会議室.
    std::string log =
        "00001/00002 \x83\x65\x83\x58\x83\x67\x94\xad\x8c\xbe\x82\xc5\x82\xb7\n 1\nbody\n"
        "00002/00003 \x93\xfa\x96\x7b\x8c\xea\x82\xcc\x91\xe8\x96\xbc\n 1\nbody\n"
        "00003/00004 \x8a\xbf\x8e\x9a\x82\xa9\x82\xc8\x8d\xac\x82\xb6\x82\xe8 \x87\x40\n 1\n"
        "body\n";
    auto t = dulk_test::scan_log(log);
    ASSERT_EQ(t.count, 3);
    dulk::env_x = 80;
    dulk::env_y = 20;
    dulk::tent[0].readed = 1;
  }
  void TearDown() override { dulk::reset_state(); }

  void expect_same_screen(const char* name, const std::function<void()>& paint) {
    std::string sjis = painted(out_charset::sjis, paint);
    std::string utf8 = painted(out_charset::utf8, paint);
    EXPECT_EQ(utf8, expected_utf8(sjis)) << name;
    if (cols_.ok()) {
      EXPECT_EQ(utf8_runs(utf8, cols_), sjis_runs(sjis)) << name;
    }
  }

  utf8_columns cols_;
};

TEST_F(Utf8Painters, RowsHeaderAndMeterMatchIconv) {
  const char* log_name = "\x93\xfa\x96\x7b.log";  // 日本.log
  struct row {
    const char* name;
    std::function<void()> paint;
  } rows[] = {
      {"page", [&] { dulk::disp_one_pg(dulk::tent, 0, dulk::ent_cnt, dulk::env_y, log_name); }},
      {"read title as cursor bar", [] { dulk::tdisp(0, 0, 1); }},
      {"unread title plain", [] { dulk::tdisp(1, 1, 0); }},
      {"title with a circled digit", [] { dulk::tdisp(2, 2, 1); }},
      // －会議室 as a sub-header and a section header
      {"sub-header", [] { dulk::disp("\x81\x7c\x89\xef\x8b\x63\x8e\xba", 0, 5, 0, 0, 2); }},
      {"section header", [] { dulk::disp("\x81\x83HP", 0, 6, 1, 1, 1); }},  // ＜HP
      {"message row", [] { dulk::disp("No more unread.", 0, dulk::env_y + 2, 1, 0, 0); }},
      {"meter", [] { dulk::disp_meter(20, 7); }},
      {"full meter", [] { dulk::disp_meter(20, 21); }},
  };
  for (const auto& r : rows) expect_same_screen(r.name, r.paint);
}

// The row cut keeps L bytes of a 20-column row (17 here) unless byte 16 has
// a lead-byte value; a trail byte of 日 (0xFA) has one, so the cut leaves
// the lead byte of the eighth 日 alone at the end of the text.
TEST_F(Utf8Painters, RowCutInsideACharacterShowsOneReplacement) {
  dulk::env_x = 20;
  std::string title = "x";
  for (int i = 0; i < 10; i++) title += "\x93\xfa";
  auto paint = [&] { dulk::disp(title.c_str(), 0, 4, 0, 0, 0); };
  std::string sjis = painted(out_charset::sjis, paint);
  std::string utf8 = painted(out_charset::utf8, paint);
  ASSERT_NE(sjis.find("x" + title.substr(1, 14) + "\x93 \033[0m"), std::string::npos);
  EXPECT_NE(utf8.find(std::string("x日日日日日日日") + kFffd + " \033[0m\n"), std::string::npos);
  if (cols_.ok()) {
    EXPECT_EQ(utf8_runs(utf8, cols_), sjis_runs(sjis));
  }
}

TEST_F(Utf8Painters, LinkModeTreeMarks) {
  dulk::link = 1;
  dulk::make_tentp();
  dulk::tentp[1]->depth = 2;
  expect_same_screen("link page",
                     [] { dulk::disp_one_pg(dulk::tent, 0, dulk::ent_cnt, dulk::env_y, "a.log"); });
}

// ---- the pager's copy ----------------------------------------------------------

class Utf8DisplayCopy : public testing::Test {
 protected:
  void TearDown() override {
    dulk::remove_display_copy();
    dulk::out_set_charset(out_charset::sjis);
  }
  dulk_test::temp_dir dir_;
};

TEST_F(Utf8DisplayCopy, ShiftJisHandsOverTheExtractItself) {
  dulk::out_set_charset(out_charset::sjis);
  std::string path = dir_.file("extract");
  dulk_test::write_file(path, "\x82\xa0\n");
  EXPECT_EQ(dulk::display_copy(path.c_str()), path);
}

TEST_F(Utf8DisplayCopy, Utf8CopyIsConvertedAndTheExtractKept) {
  dulk::out_set_charset(out_charset::utf8);
  std::string path = dir_.file("extract");
  // あ\r\n, ①, a lead byte before the line break, a last line without one
  std::string sjis = "\x82\xa0\r\n\x87\x40 x\n\x93\ny\x93";
  dulk_test::write_file(path, sjis);
  std::string copy = dulk::display_copy(path.c_str());
  ASSERT_EQ(copy, dulk::kDisplayCopy);
  EXPECT_EQ(dulk_test::read_file(copy), std::string("あ\r\n① x\n") + kFffd + "\ny" + kFffd);
  EXPECT_EQ(dulk_test::read_file(path), sjis);
  struct stat st;
  ASSERT_EQ(stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  dulk::remove_display_copy();
  EXPECT_NE(access(copy.c_str(), F_OK), 0);
}

// The editor's copy of a script: lines left alone go back byte for byte,
// even those UTF-8 cannot hold as they were (a broken byte, an NEC form of
// ∵ that converts back to the other one); edited lines are converted.
TEST_F(Utf8DisplayCopy, ScriptCopyGoesBackByteForByteWhereUntouched) {
  const std::string script = dir_.file("comt0");
  const std::string kept = "WRITE\n\x82\xa0\n\x93\n\x87\x9a\n";
  dulk_test::write_file(script, kept + "end\n");

  dulk::out_set_charset(out_charset::sjis);
  EXPECT_EQ(dulk::script_edit_copy(script), script);
  EXPECT_EQ(dulk::script_take_back(script), "");
  EXPECT_EQ(dulk_test::read_file(script), kept + "end\n");

  dulk::out_set_charset(out_charset::utf8);
  const std::string copy = dulk::script_edit_copy(script);
  ASSERT_EQ(copy, script + ".utf8");
  EXPECT_EQ(dulk_test::read_file(copy), "WRITE\nあ\n" + std::string(kFffd) + "\n∵\nend\n");
  // An editor that marks UTF-8 with a byte order mark, and a line edited.
  dulk_test::write_file(copy, "\xEF\xBB\xBFWRITE\nあ\n" + std::string(kFffd) + "\n∵\n終わり\n");
  EXPECT_EQ(dulk::script_take_back(script), "");
  EXPECT_EQ(dulk_test::read_file(script), kept + "\x8f\x49\x82\xed\x82\xe8\n");
  EXPECT_NE(access(copy.c_str(), F_OK), 0);

  // An editor that removed its file leaves the script as it was written.
  dulk::script_edit_copy(script);
  ASSERT_EQ(unlink(copy.c_str()), 0);
  EXPECT_EQ(dulk::script_take_back(script),
            copy + ": No such file or directory; " + script + " is as it was written");
  EXPECT_EQ(dulk_test::read_file(script), kept + "\x8f\x49\x82\xed\x82\xe8\n");
}

// ---- real texts -------------------------------------------------------------

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// Texts published in Shift-JIS with their UTF-8 twins: the pager's copy must
// be the twin byte for byte.
TEST_F(Utf8DisplayCopy, RealTextsBecomeTheirUtf8Twins) {
  const std::pair<const char*, const char*> texts[] = {
      {"jis-oracle/golang/rashomon-shift-jis.txt", "jis-oracle/golang/rashomon-utf-8.txt"},
      {"jis-oracle/cpython/shift_jis.txt", "jis-oracle/cpython/shift_jis-utf8.txt"},
  };
  SKIP_OR_FAIL_WITHOUT_REALDATA(!readable(dulk_test::realdata_path(texts[0].first)),
                                "no real texts in ../shared/realdata");
  dulk::out_set_charset(out_charset::utf8);
  for (const auto& [sjis, twin] : texts) {
    std::string extract = dir_.file("extract");
    dulk_test::write_file(extract, dulk_test::read_file(dulk_test::realdata_path(sjis)));
    std::string copy = dulk::display_copy(extract.c_str());
    EXPECT_EQ(dulk_test::read_file(copy), dulk_test::read_file(dulk_test::realdata_path(twin)))
        << sjis;
  }
}

// Mails from Japanese phones carry carrier pictographs in the user-defined
// area; on the screen each line still takes the columns it takes in
// Shift-JIS, and nothing of the private use area reaches the terminal.
TEST(Utf8RealMail, PhoneMailsKeepTheirColumns) {
  const char* mails[] = {"docomo-emoji.eml", "softbank-emoji.eml", "docomo-gmail-sjis.eml",
                         "softbank-gmail-sjis.eml"};
  utf8_columns cols;
  if (!cols.ok()) GTEST_SKIP() << "no C.UTF-8 locale to count columns with";
  SKIP_OR_FAIL_WITHOUT_REALDATA(
      !readable(dulk_test::realdata_path(std::string("mail/jpmobile/") + mails[0])),
      "no real mails in ../shared/realdata");
  for (const char* mail : mails) {
    std::string sjis =
        dulk_test::read_file(dulk_test::realdata_path(std::string("mail/jpmobile/") + mail));
    std::string utf8 = screen_utf8(sjis);
    EXPECT_EQ(utf8_runs(utf8, cols), sjis_runs(sjis)) << mail;
    EXPECT_EQ(utf8.find("\xEE"), std::string::npos) << mail;  // U+E000..U+EFFF
    EXPECT_NE(utf8.find(kFffd), std::string::npos) << mail;
  }
}

// ---- the pager in UTF-8, through the real program ----------------------------------

TEST(E2eUtf8Pager, PagerIsShownTheUtf8CopyAndTheExtractStaysShiftJis) {
  dulk_test::temp_dir dir;
  // テスト発言です, and a body line 本文です
  dir.write("a.log",
            "00001/00002 \x83\x65\x83\x58\x83\x67\x94\xad\x8c\xbe\x82\xc5\x82\xb7\n 1\n"
            "\x96\x7b\x95\xb6\x82\xc5\x82\xb7\n");
  std::string pager = dir.file("pager.sh");
  dulk_test::write_file(pager, "#!/bin/sh\necho \"$1\" >> " + dir.file("calls") + "\ncp \"$1\" " +
                                   dir.file("seen") + "\ncp /tmp/dulk_tmp " + dir.file("extract") +
                                   "\n");
  ::chmod(pager.c_str(), 0755);
  dulk_test::run_options o;
  o.cwd = dir.path();
  o.args = {"a.log"};
  o.env = {{"DULK_CHARSET", "UTF-8"}, {"PAGER", pager}};
  auto r = dulk_test::run_dulk(o, "\rq");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir.read("calls"), std::string(dulk::kDisplayCopy) + "\n");
  std::string extract = dir.read("extract");
  EXPECT_NE(extract.find("\x96\x7b\x95\xb6\x82\xc5\x82\xb7"), std::string::npos) << extract;
  EXPECT_EQ(dir.read("seen"), file_utf8(extract));
  EXPECT_NE(dir.read("seen").find("本文です"), std::string::npos);
  EXPECT_NE(r.output.find("テスト発言です"), std::string::npos);
  EXPECT_EQ(r.output.find("\x83\x65"), std::string::npos) << "Shift-JIS reached the terminal";
  // Quitting removes the copy along with the extract.
  struct stat st;
  EXPECT_NE(::lstat(dulk::kDisplayCopy, &st), 0);
}

}  // namespace
