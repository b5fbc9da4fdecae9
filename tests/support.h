// glibc's iconv for tests: conversions nobody on this project wrote, to
// compare the program's own bytes against.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace dulk_test {

// Converts the whole text; out holds what converted.  False when the pair is
// unknown or any byte does not convert.
inline bool iconv_convert(std::string_view in, const char* to, const char* from, std::string& out) {
  out.clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string src(in);
  std::string buf(src.size() * 4 + 16, '\0');
  char* ip = src.data();
  size_t il = src.size();
  char* op = buf.data();
  size_t ol = buf.size();
  bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && il == 0;
  if (ok) ok = iconv(cd, nullptr, nullptr, &op, &ol) != static_cast<size_t>(-1);
  iconv_close(cd);
  out.assign(buf.data(), static_cast<size_t>(op - buf.data()));
  return ok;
}

}  // namespace dulk_test
