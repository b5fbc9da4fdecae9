// Subject decoding, the field splitter, and the help screen.
#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "dulk.h"

namespace dulk {

// ---- numbers and fields --------------------------------------------------------

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
    v = v * 10 + static_cast<unsigned>(s[i] - '0');
    if (v > limit) v = limit;
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

bool equal_nocase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;  // both end here
  }
  return true;
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
  size_t at = 0;
  while (!equal_nocase(text + at, kIntroducer, kIntroducerLen)) at++;
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

// ---- help ----------------------------------------------------------------------

int prline = 0;

void printfx(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  out_vprintf(format, ap);
  va_end(ap);
  prline++;
}

void disp_help() { prline = 0; }

}  // namespace dulk
