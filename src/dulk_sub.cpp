// Subject decoding, the field splitter, and the help screen.
#include <cctype>
#include <climits>
#include <cstring>
#include <string>

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

char* chg_iso2022(const char* text, char* out) {
  std::strcpy(out, text);
  return out;
}

void DecodeBase64(const char* src, char* dst) {
  (void)src;
  dst[0] = '\0';
}

int IsEscExist(const char* text) { return std::strstr(text, "\033$B") != nullptr ? 1 : 0; }

char* jis2sjis(const char* in, char* out, int* state) {
  (void)state;
  std::strcpy(out, in);
  return out;
}

void j2s(const unsigned char* code, unsigned char* out) {
  out[0] = code[0];
  out[1] = code[1];
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
