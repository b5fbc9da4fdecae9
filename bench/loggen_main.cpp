// dulk_loggen [-s SEED] [-c PCT] [-a WEIGHT] [-r PCT] [-m ROOMS] [-p REACH]
// SIZE OUT: writes a capture log of about SIZE bytes (suffix K, M or G) to
// OUT, by way of OUT.part so a cut-off run leaves no log behind that looks
// complete.  The knobs change the log's shape (loggen.h says what each does).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "loggen.h"

namespace {

bool parse_size(const char* text, uint64_t& size) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (end == text) return false;
  switch (*end) {
    case 'G':
      v <<= 10;
      [[fallthrough]];
    case 'M':
      v <<= 10;
      [[fallthrough]];
    case 'K':
      v <<= 10;
      end++;
      break;
    default:
      break;
  }
  if (*end != '\0') return false;
  size = v;
  return true;
}

// A knob's value: a whole number from lo to hi.
bool parse_knob(const char* text, int lo, int hi, int& value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  value = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 1;
  dulk_bench::loggen_shape shape;
  int i = 1;
  bool ok = true;
  for (; ok && i + 1 < argc && argv[i][0] == '-' && argv[i][1] != '\0' && argv[i][2] == '\0';
       i += 2) {
    const char* v = argv[i + 1];
    // The knobs: their letter, the values they take, the field they set.
    const struct {
      char flag;
      int lo, hi;
      int& value;
    } knobs[] = {{'c', 0, 100, shape.crlf},
                 {'a', 0, 1000, shape.news},
                 {'r', 0, 100, shape.refs},
                 {'m', 0, 9999, shape.rooms},
                 {'p', 1, 1000000, shape.reach}};
    if (argv[i][1] == 's') {
      seed = std::strtoull(v, nullptr, 10);
      continue;
    }
    ok = false;
    for (const auto& k : knobs) {
      if (k.flag == argv[i][1]) ok = parse_knob(v, k.lo, k.hi, k.value);
    }
  }
  uint64_t size = 0;
  if (!ok || argc - i != 2 || !parse_size(argv[i], size)) {
    std::fprintf(stderr,
                 "usage: dulk_loggen [-s SEED] [-c CRLF%%] [-a NEWS] [-r REFS%%] [-m ROOMS] "
                 "[-p REACH] SIZE[K|M|G] OUT\n");
    return 2;
  }
  std::string out = argv[i + 1];
  std::string part = out + ".part";
  FILE* fp = std::fopen(part.c_str(), "wb");
  if (fp == nullptr) {
    std::perror(part.c_str());
    return 1;
  }
  dulk_bench::loggen_stats st = dulk_bench::generate_log(fp, seed, size, shape);
  if (std::fclose(fp) != 0 || std::rename(part.c_str(), out.c_str()) != 0) {
    std::perror(out.c_str());
    return 1;
  }
  std::fprintf(
      stderr, "%s: %llu bytes, %llu lines, %llu title lines, %llu replies, %llu news articles\n",
      out.c_str(), static_cast<unsigned long long>(st.bytes),
      static_cast<unsigned long long>(st.lines), static_cast<unsigned long long>(st.title_lines),
      static_cast<unsigned long long>(st.replies), static_cast<unsigned long long>(st.articles));
  return 0;
}
