// Subject decoding, the field splitter, and the help screen.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dulk.h"

namespace dulk {

// ---- numbers and fields -----------------------------------------------------

int dk_atoi(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) i++;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  // atoi is strtol cast to int: the value saturates at the long range and is
  // then cut to 32 bits.
  unsigned long long v = 0;
  const unsigned long long limit = neg ? static_cast<unsigned long long>(LONG_MAX) + 1 : LONG_MAX;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++) {
    const unsigned digit = static_cast<unsigned>(s[i] - '0');
    v = v > (limit - digit) / 10 ? limit : v * 10 + digit;  // never past the limit, nor wrapped
  }
  long r = neg ? static_cast<long>(0 - v) : static_cast<long>(v);
  return static_cast<int>(static_cast<unsigned int>(static_cast<unsigned long>(r)));
}

const char* get_item(const char* src, const char* delim, int n, std::string& dst) {
  std::string_view s(src);
  size_t pos = 0;
  int field = 0;
  while (pos < s.size()) {
    pos = s.find_first_not_of(delim, pos);
    if (pos == std::string_view::npos) break;
    size_t end = s.find_first_of(delim, pos);
    if (end == std::string_view::npos) end = s.size();
    if (++field == n) {
      dst.assign(s.substr(pos, end - pos));
      while (!dst.empty() && (dst.back() == ' ' || dst.back() == '\n')) dst.pop_back();
      return dst.c_str();
    }
    pos = end;
  }
  out_printf("Out of item(%s) pos(%d).", src, n);
  dst.clear();
  return nullptr;
}

// ---- subject decoding -------------------------------------------------------

namespace {

// Base64 value of each byte of the standard alphabet; every other byte, the
// '=' of padding and the '?' of a closing "?=" included, counts as 0
// (0x80 to 0xff are left to the zero fill).
constexpr unsigned char tr[256] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,   // 0x00
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,   // 0x10
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  62, 0,  0,  0,  63,  // 0x20
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 0,  0,  0,  0,  0,  0,   // 0x30
    0,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,  // 0x40
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 0,  0,  0,  0,  0,   // 0x50
    0,  26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,  // 0x60
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 0,  0,  0,  0,  0,   // 0x70
};

// The two escapes of ISO-2022-JP text that switch between ASCII and JIS X
// 0208 codes; no other escape is recognised.
constexpr char kin[4] = "\033$B";
constexpr char kout[4] = "\033(B";

constexpr char kIntroducer[] = "=?ISO-2022-JP?B?";
constexpr size_t kIntroducerLen = sizeof kIntroducer - 1;

// True when the three bytes at p are the escape esc.  The comparison stops
// at the first byte that differs, so it never reads past a terminator.
bool escape_at(const char* p, const char* esc) {
  return p[0] == esc[0] && p[1] == esc[1] && p[2] == esc[2];
}

}  // namespace

// A subject's first encoded word is replaced by its JIS text and a "\n";
// whatever followed the word is dropped.  The result is never longer than
// the text: a Base64 group of four characters gives three bytes, and the
// escapes and "\n" added are fewer than the 16 bytes of the introducer.
char* chg_iso2022(const char* text, char* out) {
  if (std::strstr(text, kIntroducer) == nullptr &&
      std::strstr(text, "=?iso-2022-jp?B?") == nullptr) {
    std::strcpy(out, text);
    return out;
  }
  std::string_view whole(text);
  size_t at = 0;
  while (!starts_with_nocase(whole.substr(at), kIntroducer)) at++;
  std::memcpy(out, text, at);
  const char* src = text + at + kIntroducerLen;
  std::vector<char> work(std::strlen(src) / 4 * 3 + 4);
  DecodeBase64(src, work.data());
  size_t n = std::strlen(work.data());
  // Decoded text without a kanji-in escape is taken as raw JIS codes.
  bool wrap = IsEscExist(work.data()) == 0;
  char* o = out + at;
  if (wrap) {
    std::memcpy(o, kin, 3);
    o += 3;
  }
  std::memcpy(o, work.data(), n);
  o += n;
  if (wrap) {
    std::memcpy(o, kout, 3);
    o += 3;
  }
  *o++ = '\n';
  *o = '\0';
  return out;
}

// Every group of up to four characters gives three bytes; the closing "?="
// is seen only where a group ends.  dst must hold strlen(src) / 4 * 3 + 4
// bytes.
void DecodeBase64(const char* src, char* dst) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
  while (*p != '\0' && *p != '\n') {
    unsigned long acc = 0;
    for (int i = 0; i < 4; i++) {
      acc <<= 6;
      if (*p == '\0' || *p == '\n') break;
      acc |= tr[*p++];
    }
    *dst++ = static_cast<char>((acc >> 16) & 0xff);
    *dst++ = static_cast<char>((acc >> 8) & 0xff);
    *dst++ = static_cast<char>(acc & 0xff);
    if (p[0] == '?' && p[1] == '=') break;
  }
  *dst = '\0';
}

int IsEscExist(const char* text) { return std::strstr(text, kin) != nullptr ? 1 : 0; }

// ASCII is copied byte by byte; between the kanji-in and kanji-out escapes
// the bytes are JIS X 0208 codes, converted two at a time whatever they are.
char* jis2sjis(const char* in, char* out, int* state) {
  size_t len = std::strlen(in);
  size_t i = 0;
  size_t o = 0;
  while (i < len) {
    if (*state == 1) {
      if (escape_at(in + i, kin)) {
        i += 3;
      } else if (escape_at(in + i, kout)) {
        *state = 0;
        i += 3;
      } else {
        // A lone last byte pairs with the terminator, which ends the walk.
        j2s(reinterpret_cast<const unsigned char*>(in + i),
            reinterpret_cast<unsigned char*>(out + o));
        i += 2;
        o += 2;
      }
    } else {
      if (escape_at(in + i, kout)) {
        i += 3;
      } else if (escape_at(in + i, kin)) {
        *state = 1;
        i += 3;
      } else {
        out[o++] = in[i++];
      }
    }
  }
  out[o] = '\0';
  return out;
}

// JIS X 0208 row and cell to Shift-JIS: two rows share one lead byte, the odd
// row taking the lower trail bytes (skipping 0x7f), the even row the upper.
void j2s(const unsigned char* code, unsigned char* out) {
  unsigned char j1 = code[0];
  unsigned char j2 = code[1];
  unsigned char lead;
  unsigned char trail;
  if (j1 & 1) {
    lead = static_cast<unsigned char>((j1 >> 1) + 0x71);
    trail = static_cast<unsigned char>(j2 + 0x1f);
    if (trail >= 0x7f) trail = static_cast<unsigned char>(trail + 1);
  } else {
    lead = static_cast<unsigned char>((j1 >> 1) + 0x70);
    trail = static_cast<unsigned char>(j2 + 0x7e);
  }
  if (lead > 0x9f) lead = static_cast<unsigned char>(lead + 0x40);
  out[0] = lead;
  out[1] = trail;
}

// ---- help -------------------------------------------------------------------

int prline = 0;

namespace {

// A screenful of help: the title rows and the two rows around them.
size_t help_page_len() { return env_y + 2 > 0 ? static_cast<size_t>(env_y) + 2 : 1; }

std::vector<std::string> help_text;  // the lines printed so far
size_t help_shown = 0;               // of them, the lines out on the screen
size_t page_start = 0;               // the first line of the page shown

// A help line cut to the screen's width, so that it never wraps and a page
// keeps its rows (a leading tab takes eight columns).
std::string help_row(const std::string& line) {
  const long long tab = !line.empty() && line[0] == '\t' ? 7 : 0;
  const long long limit = static_cast<long long>(env_x) - 1 - tab;
  if (env_x <= 0 || static_cast<long long>(line.size()) - 1 <= limit) return line;
  return line.substr(0, row_text_len(line, limit)) + "\n";
}

// The page on the screen again, at the size the page has now: its lines,
// cut to a page, below as many of the lines before as the rows hold (as
// they stood when the help scrolled on).  Lines cut off come again next.
void paint_help_page() {
  scr_clear();
  const size_t end = std::min(help_shown, page_start + help_page_len());
  const size_t rows = help_page_len() + 1;  // the last row keeps the cursor
  for (size_t i = end > rows ? end - rows : 0; i < end; i++) out_write(help_row(help_text[i]));
  help_shown = end;
  scr_refresh();
}

// The keys added for long lists, and those of the terminal's own keys, on a
// last page of their own.
constexpr const char* kMoreKeys[] = {
    "\n",
    // [ その他のキー ]
    "[ \x82\xbb\x82\xcc\x91\xbc\x82\xcc\x83L\x81[ ]\n",
    "\n",
    // [SPACE] or [PgDn] ... 次ページ
    "    [SPACE] or [PgDn] ... \x8e\x9f\x83y\x81[\x83W\n",
    // [↓] / [↑] ......... 次ページ / 前ページ
    "    [\x81\xab] / [\x81\xaa] ......... \x8e\x9f\x83y\x81[\x83W / \x91O\x83y\x81[\x83W\n",
    // [PgUp] .............. 前ページ
    "    [PgUp] .............. \x91O\x83y\x81[\x83W\n",
    // [g] or [Home] ....... 先頭行へ移動
    "    [g] or [Home] ....... \x90\xe6\x93\xaa\x8ds\x82\xd6\x88\xda\x93\xae\n",
    // [G] or [End] ........ 最終行へ移動
    "    [G] or [End] ........ \x8d\xc5\x8fI\x8ds\x82\xd6\x88\xda\x93\xae\n",
    // [<n>g] or [<n>G] .... <n> 番目のタイトルへ移動
    "    [<n>g] or [<n>G] .... <n> "
    "\x94\xd4\x96\xda\x82\xcc\x83^\x83\x43\x83g\x83\x8b\x82\xd6\x88\xda\x93\xae\n",
    // [<n>][RETURN] も同じ。[BS] で訂正、[ESC] で取消
    "                          [<n>][RETURN] \x82\xe0\x93\xaf\x82\xb6\x81\x42[BS] "
    "\x82\xc5\x92\xf9\x90\xb3\x81\x41[ESC] \x82\xc5\x8e\xe6\x8f\xc1\n",
    // [<n>%] .............. リストの <n>% の位置へ移動
    "    [<n>%] .............. \x83\x8a\x83X\x83g\x82\xcc <n>% "
    "\x82\xcc\x88\xca\x92u\x82\xd6\x88\xda\x93\xae\n",
    // [=] ................. カーソル位置、タイトル数、未読数、ログファイルの表示
    "    [=] ................. "
    "\x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x81\x41\x83^"
    "\x83\x43\x83g\x83\x8b\x90\x94\x81\x41\x96\xa2\x93\xc7\x90\x94\x81\x41\x83\x8d\x83O\x83t\x83@"
    "\x83\x43\x83\x8b\x82\xcc\x95\\\x8e\xa6\n",
    // [t] / [T] ........... カーソル位置の発言のスレッドを既読/未読にする。
    "    [t] / [T] ........... "
    "\x83J\x81["
    "\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe\x82\xcc\x83X\x83\x8c\x83\x62\x83h\x82\xf0"
    "\x8a\xf9\x93\xc7/\x96\xa2\x93\xc7\x82\xc9\x82\xb7\x82\xe9\x81\x42\n",
    // [m] ................. このページを既読にする。
    "    [m] ................. "
    "\x82\xb1\x82\xcc\x83y\x81[\x83W\x82\xf0\x8a\xf9\x93\xc7\x82\xc9\x82\xb7\x82\xe9\x81\x42\n",
    // [M] ................. すべてのタイトルを既読にする。(確認あり)
    "    [M] ................. "
    "\x82\xb7\x82\xd7\x82\xc4\x82\xcc\x83^"
    "\x83\x43\x83g\x83\x8b\x82\xf0\x8a\xf9\x93\xc7\x82\xc9\x82\xb7\x82\xe9\x81\x42("
    "\x8am\x94\x46\x82\xa0\x82\xe8)\n",
    // [TAB] ............... 次の未読発言を読む。
    "    [TAB] ............... "
    "\x8e\x9f\x82\xcc\x96\xa2\x93\xc7\x94\xad\x8c\xbe\x82\xf0\x93\xc7\x82\xde\x81\x42\n",
    // [/] / [\] ........... タイトルを前方/後方検索
    "    [/] / [\\] ........... "
    "\x83^\x83\x43\x83g\x83\x8b\x82\xf0\x91O\x95\xfb/\x8c\xe3\x95\xfb\x8c\x9f\x8d\xf5\n",
    // [f] / [F] ........... 発言の本文を前方/後方検索
    "    [f] / [F] ........... "
    "\x94\xad\x8c\xbe\x82\xcc\x96{\x95\xb6\x82\xf0\x91O\x95\xfb/\x8c\xe3\x95\xfb\x8c\x9f\x8d\xf5\n",
    // [^L] ................ 画面の再表示
    "    [^L] ................ \x89\xe6\x96\xca\x82\xcc\x8d\xc4\x95\\\x8e\xa6\n",
    // [^R] ................ ログファイルを読み直す。
    "    [^R] ................ "
    "\x83\x8d\x83O\x83t\x83@\x83\x43\x83\x8b\x82\xf0\x93\xc7\x82\xdd\x92\xbc\x82\xb7\x81\x42\n",
};

// Waits for one key, unless a signal is ending the run.
void help_wait() {
  scr_refresh();
  if (!stop_requested()) wait_key();
  page_start = help_shown;
}

// Prints the lines not on the screen yet, waiting at the end of each page.
void help_flush() {
  while (help_shown < help_text.size()) {
    out_write(help_row(help_text[help_shown++]));
    if (help_shown - page_start >= help_page_len()) help_wait();
  }
}

}  // namespace

void printfx(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(line.data(), line.size() + 1, format, again);
  va_end(again);
  help_text.push_back(std::move(line));
  prline++;
  help_flush();
}

void print_env_help(line_printer print) {
  // EDITOR=実行エディタ名  デフォルトは %s
  print(
      "    EDITOR=\x8e\xc0\x8ds\x83G\x83\x66\x83\x42\x83^\x96\xbc  \x83\x66\x83t\x83H\x83\x8b"
      "\x83g\x82\xcd %s\n",
      "vi");
  // PAGER=ページャ名       デフォルトは %s
  print(
      "    PAGER=\x83y\x81[\x83W\x83\x83\x96\xbc       \x83\x66\x83t\x83H\x83\x8b\x83g\x82\xcd"
      " %s\n",
      "less");
  // COMMENT=コメントマーク デフォルトは %s
  print(
      "    COMMENT=\x83R\x83\x81\x83\x93\x83g\x83}\x81[\x83N \x83\x66\x83t\x83H\x83\x8b\x83g"
      "\x82\xcd %s\n",
      ">>");
  // HANDLE=ハンドル名      デフォルトは %s   (<ハンドル名>)
  print(
      "    HANDLE=\x83n\x83\x93\x83h\x83\x8b\x96\xbc      \x83\x66\x83t\x83H\x83\x8b\x83g\x82\xcd"
      " %s\n",
      "<\x83n\x83\x93\x83h\x83\x8b\x96\xbc>");
  // SIGN=署名ファイル名    署名の記述されたファイル
  print(
      "    SIGN=\x8f\x90\x96\xbc\x83t\x83@\x83\x43\x83\x8b\x96\xbc    \x8f\x90\x96\xbc\x82\xcc"
      "\x8bL\x8fq\x82\xb3\x82\xea\x82\xbd\x83t\x83@\x83\x43\x83\x8b\n");
}

void disp_help() {
  prline = 0;
  help_text.clear();
  help_shown = page_start = 0;
  screen_layer layer(paint_help_page, true);
  // [ DULK 使用法 ]
  printfx("[ DULK \x8eg\x97p\x96@ ]\n");
  printfx("\n");
  // 終了。
  printfx("    [q] or [ESC] ........ \x8fI\x97\xb9\x81\x42\n");
  // カーソル上下移動
  printfx("    [k][j] or [^E][^X] .. \x83J\x81[\x83\\\x83\x8b\x8f\xe3\x89\xba\x88\xda\x93\xae\n");
  // [↓] 次ページ
  printfx("    [^F] or [\x81\xab] ........ \x8e\x9f\x83y\x81[\x83W\n");
  // [↑] 前ページ
  printfx("    [^B] or [\x81\xaa] ........ \x91O\x83y\x81[\x83W\n");
  // 次/前の未読発言へ
  printfx(
      "    [n] / [N] ........... \x8e\x9f/\x91O\x82\xcc\x96\xa2\x93\xc7\x94\xad\x8c\xbe\x82\xd6\n");
  // カーソル位置の発言を読む。
  printfx(
      "    [RETRUN] ............ \x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe"
      "\x82\xf0\x93\xc7\x82\xde\x81\x42\n");
  // カーソル位置の発言を読む。(エディタ起動)   -- the line keeps its trailing blank
  printfx(
      "    [v] ................. \x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe"
      "\x82\xf0\x93\xc7\x82\xde\x81\x42(\x83G\x83\x66\x83\x42\x83^\x8bN\x93\xae) \n");
  // カーソル位置の発言にコメントする。
  printfx(
      "    [c] or [r] .......... \x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe"
      "\x82\xc9\x83R\x83\x81\x83\x93\x83g\x82\xb7\x82\xe9\x81\x42\n");
  // 作成したコメントはファイル comt<n> に格納されます。
  printfx(
      "                          \x8d\xec\x90\xac\x82\xb5\x82\xbd\x83R\x83\x81\x83\x93\x83g\x82"
      "\xcd\x83t\x83@\x83\x43\x83\x8b comt<n> \x82\xc9\x8ai\x94[\x82\xb3\x82\xea\x82\xdc\x82"
      "\xb7\x81\x42\n");
  // カーソル位置の発言の会議室/HPに発言する。
  printfx(
      "    [w] ................. \x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe"
      "\x82\xcc\x89\xef\x8b\x63\x8e\xba/HP\x82\xc9\x94\xad\x8c\xbe\x82\xb7\x82\xe9\x81\x42\n");
  // 作成した発言はファイル say<n> に格納されます。
  printfx(
      "                          \x8d\xec\x90\xac\x82\xb5\x82\xbd\x94\xad\x8c\xbe\x82\xcd\x83t"
      "\x83@\x83\x43\x83\x8b say<n> \x82\xc9\x8ai\x94[\x82\xb3\x82\xea\x82\xdc\x82\xb7\x81"
      "\x42\n");
  // ヘルプの表示。
  printfx("    [H] or [?] .......... \x83w\x83\x8b\x83v\x82\xcc\x95\\\x8e\xa6\x81\x42\n");
  // コメントリンクモードの切替。
  printfx(
      "    [l] ................. \x83R\x83\x81\x83\x93\x83g\x83\x8a\x83\x93\x83N\x83\x82\x81[\x83h"
      "\x82\xcc\x90\xd8\x91\xd6\x81\x42\n");
  // カーソル位置の発言を指定ファイルにセーブする。
  printfx(
      "    [s] ................. \x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe"
      "\x82\xf0\x8ew\x92\xe8\x83t\x83@\x83\x43\x83\x8b\x82\xc9\x83Z\x81[\x83u\x82\xb7\x82\xe9"
      "\x81\x42\n");
  // (追加書き込みされます)
  printfx(
      "                          (\x92\xc7\x89\xc1\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xb3\x82"
      "\xea\x82\xdc\x82\xb7)\n");
  // カーソル位置の発言を未読にする。
  printfx(
      "    [u] ................. \x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe"
      "\x82\xf0\x96\xa2\x93\xc7\x82\xc9\x82\xb7\x82\xe9\x81\x42\n");
  // カーソル位置の発言を既読にして一つ下へ。
  printfx(
      "    [J] ................. \x83J\x81[\x83\\\x83\x8b\x88\xca\x92u\x82\xcc\x94\xad\x8c\xbe"
      "\x82\xf0\x8a\xf9\x93\xc7\x82\xc9\x82\xb5\x82\xc4\x88\xea\x82\xc2\x89\xba\x82\xd6\x81"
      "\x42\n");
  // 先頭行へ移動
  printfx("    [0] ................. \x90\xe6\x93\xaa\x8ds\x82\xd6\x88\xda\x93\xae\n");
  printfx("\n");
  // [ 環境変数 ]
  printfx("[ \x8a\xc2\x8b\xab\x95\xcf\x90\x94 ]\n");
  printfx("\n");
  print_env_help(printfx);
  printfx("\n");
  // [ 作成 ]
  printfx("[ \x8d\xec\x90\xac ]\n");
  printfx("\n");
  printfx("\tdulk is written and maintained by the dulk developers.\n");
  printfx("\tPlease report problems on the project's issue tracker.\n");
  scr_refresh();
  // A page that the last line just closed has had its wait already.
  auto close_page = [] {
    while (help_shown > page_start) {
      help_wait();
      help_flush();
    }
  };
  close_page();
  // The keys beyond those above, on a last page of their own.
  for (const char* line : kMoreKeys) printfx("%s", line);
  scr_refresh();
  close_page();
}

}  // namespace dulk
