// Subject decoding: Base64, the first encoded word, JIS to Shift-JIS.
#include <gtest/gtest.h>
#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "scan_util.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

std::string base64(const std::string& in) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string r;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                 static_cast<unsigned char>(in[i + 1]) << 8 | static_cast<unsigned char>(in[i + 2]);
    r += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
  }
  if (in.size() - i == 1) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    r += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
  } else if (in.size() - i == 2) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1])
                                                               << 8;
    r += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
  }
  return r;
}

// The decoded subject the scanner stores: chg_iso2022 then jis2sjis from
// ASCII mode, each into a buffer exactly as long as its input allows.
std::string decode(const std::string& subject) {
  std::vector<char> jis(subject.size() + 1);
  dulk::chg_iso2022(subject.c_str(), jis.data());
  std::vector<char> sjis(std::strlen(jis.data()) + 1);
  int state = 0;
  dulk::jis2sjis(jis.data(), sjis.data(), &state);
  return sjis.data();
}

std::string plain_base64_decode(const std::string& in) {
  std::string r;
  unsigned v = 0;
  int bits = 0;
  for (char c : in) {
    const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = std::strchr(a, c);
    if (c == '\0' || at == nullptr) break;
    v = v << 6 | static_cast<unsigned>(at - a);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      r += static_cast<char>((v >> bits) & 0xff);
    }
  }
  return r;
}

// Decoded words the program reads as iconv does: kanji-in first, and no
// escape other than kanji-in and kanji-out.
bool only_two_escapes(const std::string& raw) {
  if (raw.find("\033$B") == std::string::npos) return false;
  for (size_t i = raw.find('\033'); i != std::string::npos; i = raw.find('\033', i + 1)) {
    if (raw.compare(i, 3, "\033$B") != 0 && raw.compare(i, 3, "\033(B") != 0) return false;
  }
  return true;
}

std::string jis(const std::string& in, int& state) {
  std::vector<char> out(in.size() + 2);
  dulk::jis2sjis(in.c_str(), out.data(), &state);
  return std::string(out.data());
}

std::string read_all(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

const fs::path kRealData = dulk_test::realdata_path("");

}  // namespace

// Every JIS X 0208 code iconv knows must map to the Shift-JIS code iconv
// gives for the same character.
TEST(Decode, J2sAgreesWithIconvOnEveryCode) {
  int checked = 0;
  for (int row = 1; row <= 94; row++) {
    for (int cell = 1; cell <= 94; cell++) {
      unsigned char code[2] = {static_cast<unsigned char>(row + 0x20),
                               static_cast<unsigned char>(cell + 0x20)};
      std::string in = std::string("\033$B") + static_cast<char>(code[0]) +
                       static_cast<char>(code[1]) + "\033(B";
      std::string expect;
      // glibc's SHIFT_JIS and ISO-2022-JP share one JIS X 0208 table, so the
      // character goes back to the very code; no exception is needed.
      if (!dulk_test::iconv_convert(in, "SHIFT_JIS", "ISO-2022-JP", expect)) continue;
      unsigned char got[2];
      dulk::j2s(code, got);
      ASSERT_EQ(expect.size(), 2u) << row << "-" << cell;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 2), expect)
          << "row " << row << " cell " << cell;
      checked++;
    }
  }
  EXPECT_GT(checked, 6800);  // JIS X 0208 assigns 6879 codes
}

TEST(Decode, Base64Groups) {
  struct {
    const char* name;
    std::string src;
    std::string bytes;  // every byte written before the terminator
  } cases[] = {
      {"whole group", "QUJD", "ABC"},
      {"one pad", "QUI=", std::string("AB\0", 3)},
      {"two pads", "QQ==", std::string("A\0\0", 3)},
      {"three characters are one pad", "QUI", std::string("AB\0", 3)},
      // A group cut after two characters is shifted only three times.
      {"two characters", "QQ", std::string("\x01\x04\0", 3)},
      {"stops at newline", "QUJD\nQUJD", "ABC"},
      {"closing ?= after a group", "QUJD?=QUJD", "ABC"},
      // Not at a group's end, '?' and '=' are data worth 0.
      {"?= inside a group", "QUJ?=QUJD", std::string("AB@\x01\x05\x09\0\0\xc0", 9)},
      {"?= across groups", "QRB?=QUJ", "A\x10@\x01\x05\x09"},
      {"other bytes are 0", "Q*\xff=", std::string("@\0\0", 3)},
  };
  for (const auto& c : cases) {
    std::vector<char> out(c.src.size() / 4 * 3 + 4, 'x');
    dulk::DecodeBase64(c.src.c_str(), out.data());
    EXPECT_EQ(std::string(out.data(), c.bytes.size()), c.bytes) << c.name;
    EXPECT_EQ(out[c.bytes.size()], '\0') << c.name;
    // Where the text stops, the writing stops: nothing after the terminator.
    EXPECT_EQ(std::string(out.begin() + static_cast<long>(c.bytes.size()) + 1, out.end()),
              std::string(out.size() - c.bytes.size() - 1, 'x'))
        << c.name;
  }
}

TEST(Decode, FirstEncodedWord) {
  // あい (JIS 2422 2424) as an encoded word.
  const std::string word = "=?ISO-2022-JP?B?" + base64("\033$B$\"$$\033(B") + "?=";
  const std::string ai = "\x82\xa0\x82\xa2";  // あい
  struct {
    const char* name;
    std::string subject;
    std::string expect;
  } cases[] = {
      {"plain", "Re: hello", "Re: hello"},
      {"lower case with lower b",
       "=?iso-2022-jp?b?JEIkIiQkGyhC?=", "=?iso-2022-jp?b?JEIkIiQkGyhC?="},
      {"Q encoding", "=?ISO-2022-JP?Q?=1B$B$=22=1B(B?=", "=?ISO-2022-JP?Q?=1B$B$=22=1B(B?="},
      {"alone", word, ai + "\n"},
      {"words around", "Re: a " + word + " (was x)", "Re: a " + ai + "\n"},
      {"second word lost", word + " " + word, ai + "\n"},
      // A mixed-case introducer before an exact one is the first word.
      {"mixed case first", "=?Iso-2022-Jp?B?" + base64("\033$B$$\033(B") + "?= " + word,
       "\x82\xa2\n"},
      {"lower case found by the exact lower form",
       "=?iso-2022-jp?B?" + base64("\033$B$\"\033(B") + "?=", "\x82\xa0\n"},
      // Raw codes without escapes are wrapped and converted pairwise.
      {"raw codes", "=?ISO-2022-JP?B?" + base64("$\"$$") + "?=", ai + "\n"},
      {"no closing", "=?ISO-2022-JP?B?" + base64("\033$B$\"$$\033(B"), ai + "\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.subject), c.expect) << c.name;
}

TEST(Decode, MalformedWords) {
  // Ten Base64 characters: the closing ?= falls inside the third group
  // "JA?=", whose zero bytes end the text before its kanji-out escape, so
  // the "\n" after the word is still read in kanji mode, paired with the
  // terminator (0x0a 0x00 gives "u~").
  EXPECT_EQ(decode("=?ISO-2022-JP?B?GyRCJCIkJA?= tail"), "\x82\xa0\x82\xa2u~");

  // Another escape does not count as kanji-in: the text is wrapped, and in
  // kanji mode the escape's bytes are taken as codes.
  std::string other = "=?ISO-2022-JP?B?" + base64("\033(J$\"") + "?=";
  std::vector<char> j(other.size() + 1);
  dulk::chg_iso2022(other.c_str(), j.data());
  EXPECT_EQ(std::string(j.data()), "\033$B\033(J$\"\033(B\n");
}

TEST(Decode, JisShiftStates) {
  struct {
    const char* name;
    std::string in;
    int start;
    std::string out;
    int end;
  } cases[] = {
      {"kanji-out alone", "\033(B", 0, "", 0},
      {"kanji-in not closed", "a\033$B$\"", 0, "a\x82\xa0", 1},
      {"closed", "a\033$B$\"\033(Bb", 0,
       "a\x82\xa0"
       "b",
       0},
      {"kanji-in inside kanji", "\033$B$\"\033$B$$", 1, "\x82\xa0\x82\xa2", 1},
      {"starts in kanji", "$\"\033(Bx", 1, "\x82\xa0x", 0},
      // ESC ( J is two codes in kanji mode: 1B 28 and 4A then the next byte.
      {"other escape", "\033(J$\"", 1, "\x7e\x47\x95\xa2\x81\x7e", 1},
      // A lone last byte pairs with the terminator.
      {"lone byte", "\033$B$\"0", 0, "\x82\xa0\x88\x7e", 1},
      {"cut escape", "ab\033$", 0, "ab\033$", 0},
      {"cut escape in kanji", "\033$B\033(", 0, "\x7e\x47", 1},
  };
  for (const auto& c : cases) {
    int state = c.start;
    EXPECT_EQ(jis(c.in, state), c.out) << c.name;
    EXPECT_EQ(state, c.end) << c.name;
  }
}

// Encoded words made by iconv and a Base64 encoder come back as the
// Shift-JIS iconv makes of the same text.
TEST(Decode, RoundTripThroughIconv) {
  const char* texts[] = {
      "\xe3\x81\x82\xe3\x81\x84\xe3\x81\x86",                            // あいう
      ("\xe4\xbc\x9a\xe8\xad\xb0\xe5\xae\xa4"                            // 会議室
       "\xe3\x81\xae\xe3\x81\x8a\xe7\x9f\xa5\xe3\x82\x89\xe3\x81\x9b"),  // のお知らせ
      "Re: \xe8\xb3\xaa\xe5\x95\x8f (ABC) \xe3\x80\x82",                 // Re: 質問 (ABC) 。
      "\xe2\x97\x8b\xe2\x96\xb3\xe2\x96\xa1\xef\xbc\xa1\xef\xbd\x9a",    // ○△□Ａｚ
      "\xe7\x86\x99\xe5\x87\x9c\xe5\xa0\xaf\xe9\x81\x99",                // 熙凜堯遙
  };
  for (const char* utf8 : texts) {
    std::string iso;
    std::string sjis;
    ASSERT_TRUE(dulk_test::iconv_convert(utf8, "ISO-2022-JP", "UTF-8", iso)) << utf8;
    ASSERT_TRUE(dulk_test::iconv_convert(utf8, "SHIFT_JIS", "UTF-8", sjis)) << utf8;
    EXPECT_EQ(decode("=?ISO-2022-JP?B?" + base64(iso) + "?="), sjis + "\n") << utf8;
    EXPECT_EQ(decode("Fw: =?ISO-2022-JP?B?" + base64(iso) + "?= [1]"), "Fw: " + sjis + "\n")
        << utf8;
  }
}

// Odd inputs of every kind, into buffers exactly as long as promised:
// the sanitizer build turns any overrun into a failure.
TEST(Decode, NoOverrunOnAnyInput) {
  const std::vector<std::string> pieces = {"=?ISO-2022-JP?B?",
                                           "=?iso-2022-jp?B?",
                                           "=?Iso-2022-jp?b?",
                                           "?=",
                                           "?",
                                           "=",
                                           "\033$B",
                                           "\033(B",
                                           "\033",
                                           "$",
                                           "(",
                                           "B",
                                           "GyRC",
                                           "JCI",
                                           "Q",
                                           "\x82\xa0",
                                           "\xff",
                                           "\n",
                                           " ",
                                           "a",
                                           "GyRCJCIbKEI="};
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; round++) {
    std::string s;
    int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; i++) s += pieces[rng() % pieces.size()];
    std::vector<char> out(s.size() + 1);
    dulk::chg_iso2022(s.c_str(), out.data());
    ASSERT_LE(std::strlen(out.data()), s.size()) << s;
    std::string j(out.data());
    for (int start = 0; start <= 1; start++) {
      std::vector<char> sj(j.size() + 1 + start);
      int state = start;
      dulk::jis2sjis(j.c_str(), sj.data(), &state);
      if (start == 0) {
        ASSERT_LE(std::strlen(sj.data()), j.size()) << s;
      }
    }
  }
  // A Base64 text with no end but its terminator.
  std::string longword = "=?ISO-2022-JP?B?" + std::string(5001, 'Q');
  std::vector<char> out(longword.size() + 1);
  dulk::chg_iso2022(longword.c_str(), out.data());
  EXPECT_EQ(std::strlen(out.data()), 3u + 5001 / 4 * 3 + 3 + 1);
}

// The same text in ISO-2022-JP and in Shift-JIS, written elsewhere.
TEST(Decode, RealTextsMatchTheirShiftJisTwins) {
  const std::pair<const char*, const char*> pairs[] = {
      {"jis-oracle/golang/rashomon-iso-2022-jp.txt", "jis-oracle/golang/rashomon-shift-jis.txt"},
      {"jis-oracle/cpython/iso2022_jp.txt", "jis-oracle/cpython/shift_jis.txt"},
  };
  for (const auto& [j, s] : pairs) {
    SKIP_OR_FAIL_WITHOUT_REALDATA(!fs::exists(kRealData / j),
                                  "real texts absent: " << (kRealData / j));
    std::istringstream jf(read_all(kRealData / j));
    std::istringstream sf(read_all(kRealData / s));
    std::string jl;
    std::string sl;
    int state = 0;
    int lines = 0;
    while (std::getline(jf, jl)) {
      ASSERT_TRUE(static_cast<bool>(std::getline(sf, sl))) << j;
      EXPECT_EQ(jis(jl, state), sl) << j << " line " << lines + 1;
      lines++;
    }
    EXPECT_FALSE(std::getline(sf, sl)) << s << " is longer";
    EXPECT_GT(lines, 5);
  }
}

// Real mails put together as one log: each subject that is exactly one
// ISO-2022-JP encoded word must show as iconv's Shift-JIS of that word.
TEST(Decode, RealMailSubjects) {
  const std::vector<std::string> files = dulk_test::real_mail_files();
  SKIP_OR_FAIL_WITHOUT_REALDATA(files.empty(), "real mails absent: " << kRealData / "mail");
  std::string log;
  std::vector<std::string> expected;  // by article, "" where not checked
  for (const auto& f : files) {
    std::string text = read_all(f);
    size_t head_end = text.find("\n\n");
    std::string head = text.substr(0, head_end == std::string::npos ? text.size() : head_end + 1);
    std::istringstream in(head);
    std::string line;
    std::string subject;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("Subject: ", 0) == 0) subject = line.substr(9);
    }
    if (subject.empty()) continue;
    log += "Subject: " + subject + "\n\n";
    std::string want;
    const std::string intro = "=?ISO-2022-JP?B?";
    if (subject.size() > intro.size() + 2 &&
        strncasecmp(subject.c_str(), intro.c_str(), intro.size()) == 0 &&
        subject.find("?=") == subject.size() - 2 && (subject.size() - intro.size() - 2) % 4 == 0) {
      std::string b64 = subject.substr(intro.size(), subject.size() - intro.size() - 2);
      std::string raw = plain_base64_decode(b64);
      std::string sjis;
      if (only_two_escapes(raw) &&
          dulk_test::iconv_convert(raw, "SHIFT_JIS", "ISO-2022-JP", sjis)) {
        want = sjis + "\n";
      }
    }
    expected.push_back(want);
  }
  auto t = dulk_test::scan_log(log, 1000);
  ASSERT_EQ(t.count, static_cast<int>(expected.size()));
  int checked = 0;
  for (int i = 0; i < t.count; i++) {
    if (expected[static_cast<size_t>(i)].empty()) continue;
    EXPECT_EQ(t.titles[static_cast<size_t>(i)].substr(7), expected[static_cast<size_t>(i)]) << i;
    checked++;
  }
  EXPECT_GT(checked, 10);
}
