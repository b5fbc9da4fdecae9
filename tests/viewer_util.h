// Logs and expected screen bytes shared by the painter and key tests.
#pragma once

#include <iconv.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "iconv_util.h"

namespace dulk_test {

// A forum log of n titles "00001/000nn title 1" .., none a reply.
inline std::string forum_title(int i, int n) {
  char t[64];
  std::snprintf(t, sizeof t, "%05d/%05d title %d", i, n, i);
  return t;
}

inline std::string forum_log(int n) {
  std::string log;
  for (int i = 1; i <= n; i++) log += forum_title(i, n) + "\n 1\nbody\n";
  return log;
}

inline const std::string kWhite = "\033[37m";
inline const std::string kRed = "\033[41m";
inline const std::string kStar = "\x81\x99";  // ☆

// The bytes that paint one row: mark, tree marks, text and the way home.
inline std::string row(int screen_row, const std::string& colour, const std::string& mark,
                       const std::string& tree, const std::string& text) {
  std::string r = std::to_string(screen_row + 1);
  return "\033[" + r + ";1H\033(B" + colour + mark + "\033[0m\033[" + r + ";3H" + tree + colour +
         text + " \033[0m\n\033[0;0H\n";
}

// UTF-8 text as the Shift-JIS bytes the program writes, converted by the C
// library so that expected texts do not share the program's byte literals.
inline std::string sjis(const std::string& utf8) {
  std::string out;
  if (!iconv_convert(utf8, "CP932", "UTF-8", out)) throw std::runtime_error("iconv");
  return out;
}

}  // namespace dulk_test
