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
  uint64_t articles = 0;     // news articles
};

// What the log is made of.  The defaults give the log this generator has
// always made; each knob moves one property away from it.
struct loggen_shape {
  int crlf = -1;    // percent of titles whose lines end in CR LF; -1: 15% of sessions
  int news = 15;    // weight of news in the choice of what a visit reads (of 100)
  int refs = 50;    // percent of news articles that follow up an earlier one
  int rooms = 0;    // 0: each room numbers its messages in runs; N: one rising
                    // number over N rooms, each message in a room at random
  int reach = 200;  // a reply answers one of the last `reach` messages (of its
                    // room, or of all rooms when spread)
};

// Writes about `size` bytes (whole sessions, so a little more) to out; the
// same seed and size always give the same bytes.
loggen_stats generate_log(FILE* out, uint64_t seed, uint64_t size, const loggen_shape& shape = {});

}  // namespace dulk_bench
