// dulk_loggen [-s SEED] SIZE OUT: writes a capture log of about SIZE bytes
// (suffix K, M or G) to OUT, by way of OUT.part so a cut-off run leaves no
// log behind that looks complete.
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

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 1;
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "-s") == 0) {
    seed = std::strtoull(argv[i + 1], nullptr, 10);
    i += 2;
  }
  uint64_t size = 0;
  if (argc - i != 2 || !parse_size(argv[i], size)) {
    std::fprintf(stderr, "usage: dulk_loggen [-s SEED] SIZE[K|M|G] OUT\n");
    return 2;
  }
  std::string out = argv[i + 1];
  std::string part = out + ".part";
  FILE* fp = std::fopen(part.c_str(), "wb");
  if (fp == nullptr) {
    std::perror(part.c_str());
    return 1;
  }
  dulk_bench::loggen_stats st = dulk_bench::generate_log(fp, seed, size);
  if (std::fclose(fp) != 0 || std::rename(part.c_str(), out.c_str()) != 0) {
    std::perror(out.c_str());
    return 1;
  }
  std::fprintf(stderr, "%s: %llu bytes, %llu lines, %llu title lines, %llu replies\n", out.c_str(),
               static_cast<unsigned long long>(st.bytes), static_cast<unsigned long long>(st.lines),
               static_cast<unsigned long long>(st.title_lines),
               static_cast<unsigned long long>(st.replies));
  return 0;
}
