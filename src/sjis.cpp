// The conversion of Shift-JIS text to UTF-8, for the screen and for files:
// the UTF-8 of every Shift-JIS character, worked out once through iconv.
#include <iconv.h>

#include <cstdint>
#include <memory>
#include <string>

#include "dulk.h"

namespace dulk {

namespace {

constexpr int lead_index(unsigned char b) { return b <= 0x9F ? b - 0x81 : b - 0xE0 + 31; }
constexpr int kLeads = 60;

// Code points a terminal shows two columns wide (East Asian Wide and
// Fullwidth, as far as the characters of CP932 go).  The rest of what a
// double-byte character converts to (Greek, Cyrillic, box drawing, "☆",
// circled digits) is ambiguous, which today's terminals show one column wide.
constexpr bool wide_code(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
         (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6);
}

// User-defined characters convert into the private use area: no terminal has
// a glyph for them, nor a width it agrees on.
constexpr bool private_code(char32_t c) { return c >= 0xE000 && c <= 0xF8FF; }

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The UTF-8 of every Shift-JIS character, worked out once through iconv.
struct sjis_table {
  struct entry {
    char bytes[4];
    uint8_t len;  // 0: the character does not convert
    bool wide;
    bool private_use;
  };
  entry single[256];
  entry pair[kLeads * 256];
  bool ok = false;

  sjis_table() : single{}, pair{} {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;
    ok = true;
    unsigned char in[2];
    for (int b = 0x80; b <= 0xFF; b++) {
      if (opens_pair(static_cast<unsigned char>(b))) continue;
      in[0] = static_cast<unsigned char>(b);
      single[b] = convert(cd, in, 1);
    }
    for (int lead = 0x81; lead <= 0xFC; lead++) {
      if (!opens_pair(static_cast<unsigned char>(lead))) continue;
      for (int trail = 0x40; trail <= 0xFC; trail++) {
        if (!sjis_trail(static_cast<unsigned char>(trail))) continue;
        in[0] = static_cast<unsigned char>(lead);
        in[1] = static_cast<unsigned char>(trail);
        pair[lead_index(in[0]) * 256 + trail] = convert(cd, in, 2);
      }
    }
    iconv_close(cd);
  }

  // One character through iconv; a result of more than one code point
  // counts as not converting.
  static entry convert(iconv_t cd, unsigned char* in, size_t n) {
    entry e{};
    char* src = reinterpret_cast<char*>(in);
    char* dst = e.bytes;
    size_t src_left = n;
    size_t dst_left = sizeof e.bytes;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1) || src_left != 0) {
      return entry{};
    }
    size_t len = sizeof e.bytes - dst_left;
    char32_t c = decode(e.bytes, len);
    if (c == 0) return entry{};
    e.len = static_cast<uint8_t>(len);
    e.wide = wide_code(c);
    e.private_use = private_code(c);
    return e;
  }

  // The code point of exactly one UTF-8 character, else 0.
  static char32_t decode(const char* s, size_t len) {
    auto u = [s](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[i])); };
    if (len == 1 && u(0) < 0x80) return u(0);
    if (len == 2 && (u(0) & 0xE0) == 0xC0) return (u(0) & 0x1F) << 6 | (u(1) & 0x3F);
    if (len == 3 && (u(0) & 0xF0) == 0xE0) {
      return (u(0) & 0x0F) << 12 | (u(1) & 0x3F) << 6 | (u(2) & 0x3F);
    }
    if (len == 4 && (u(0) & 0xF8) == 0xF0) {
      return (u(0) & 0x07) << 18 | (u(1) & 0x3F) << 12 | (u(2) & 0x3F) << 6 | (u(3) & 0x3F);
    }
    return 0;
  }
};

const sjis_table& conversion_table() {
  static const auto table = std::make_unique<sjis_table>();
  return *table;
}

}  // namespace

bool utf8_conversion_ok() { return conversion_table().ok; }

void sjis_to_utf8(std::string_view in, std::string& out, utf8_use use) {
  const sjis_table& table = conversion_table();
  const bool screen = use == utf8_use::screen;
  size_t i = 0;
  while (i < in.size()) {
    auto b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {  // ASCII, escape sequences included, passes as it is
      size_t j = i + 1;
      while (j < in.size() && static_cast<unsigned char>(in[j]) < 0x80) j++;
      out.append(in.substr(i, j - i));
      i = j;
      continue;
    }
    if (opens_pair(b) && i + 1 < in.size() && sjis_trail(static_cast<unsigned char>(in[i + 1]))) {
      const auto& e = table.pair[lead_index(b) * 256 + static_cast<unsigned char>(in[i + 1])];
      if (e.len == 0 || (screen && e.private_use)) {
        out.append(kReplacement);
        out.append(kReplacement);
      } else {
        out.append(e.bytes, e.len);
        if (screen && !e.wide) out += ' ';
      }
      i += 2;
      continue;
    }
    // A katakana byte, or one that is no character of its own: 0x80, 0xA0,
    // 0xFD-0xFF, and a lead byte without its trail (the painter's cut may end
    // a row there, and a write never carries it over to the next one).
    const auto& e = table.single[b];
    if (e.len == 0 || (screen && e.private_use)) {
      out.append(kReplacement);
    } else {
      out.append(e.bytes, e.len);
    }
    i++;
  }
}

}  // namespace dulk
