// A deterministic generator of large capture logs for measuring the scanner:
// service menus, forum and board messages with replies, mail listings and
// saved news articles, all in Shift-JIS.
#pragma once

#include <cstdint>
#include <cstdio>

namespace dulk_bench {

struct loggen_stats {
  uint64_t bytes = 0;
  uint64_t lines = 0;
  uint64_t title_lines = 0;  // lines of a title form (headings included)
  uint64_t replies = 0;      // messages written as a reply to an earlier one
};

// Writes about `size` bytes (whole sessions, so a little more) to out; the
// same seed and size always give the same bytes.
loggen_stats generate_log(FILE* out, uint64_t seed, uint64_t size);

}  // namespace dulk_bench
