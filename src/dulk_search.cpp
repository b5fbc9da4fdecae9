// The title and text searches: the matcher over Shift-JIS text, the search
// of the titles and of the messages' text, and the prompt and messages of
// the four search keys.
#include <curses.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "dulk.h"

namespace dulk {

namespace {

constexpr size_t npos = std::string_view::npos;

constexpr bool ascii_letter(unsigned char b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }

constexpr unsigned char fold(unsigned char b) { return ascii_letter(b) ? b | 0x20 : b; }

// The pattern's bytes at pos of text, whether or not a character starts
// there.
bool match_at(std::string_view text, size_t pos, std::string_view pattern) {
  if (pos > text.size() || text.size() - pos < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); i++) {
    unsigned char p = static_cast<unsigned char>(pattern[i]);
    unsigned char t = static_cast<unsigned char>(text[pos + i]);
    if (opens_pair(p)) {
      // Both bytes exactly: a trail byte that equals a letter is no letter.
      if (i + 1 == pattern.size() || p != t || pattern[i + 1] != text[pos + i + 1]) return false;
      i++;
    } else if (fold(p) != fold(t)) {
      return false;
    }
  }
  return true;
}

// A search of one text that is asked again and again from further on: the
// place it last found is kept while it lies ahead, so no byte is read twice.
struct kept_place {
  size_t at = 0;
  bool known = false;

  template <typename Find>
  size_t next(size_t from, Find find) {
    if (!known || at < from) at = find(from);
    known = true;
    return at;
  }
};

// 2 when byte i of pattern is the lead or the trail of a double-byte
// character, else 1.
size_t char_len(std::string_view pattern, size_t i) {
  size_t k = 0;
  while (true) {
    size_t len = sjis_char_len(pattern, k);
    if (i < k + len) return len;
    k += len;
  }
}

// A place of pattern to look for it by: the byte there stands least often
// in sample (a single-byte letter counted in both cases).  Without a sample,
// the trail of its first double-byte character, else its first byte: most
// Japanese text is a few lead bytes (0x82 hiragana, 0x83 katakana), while
// trail bytes spread over 188 values.
size_t rarest_byte(std::string_view pattern, std::string_view sample) {
  if (sample.empty()) {
    // Every character before the first double-byte one is a single byte.
    for (size_t i = 0; i + 1 < pattern.size(); i++) {
      if (opens_pair(static_cast<unsigned char>(pattern[i]))) return i + 1;
    }
    return 0;
  }
  std::array<size_t, 256> count{};
  for (char c : sample) count[static_cast<unsigned char>(c)]++;
  size_t best = 0;
  size_t best_count = SIZE_MAX;
  for (size_t i = 0, len; i < pattern.size(); i += len) {
    len = char_len(pattern, i);
    for (size_t k = i; k < i + len; k++) {
      const unsigned char c = static_cast<unsigned char>(pattern[k]);
      size_t n = count[c] + (len == 1 && ascii_letter(c) ? count[c ^ 0x20] : 0);
      if (n < best_count) {
        best = k;
        best_count = n;
      }
    }
  }
  return best;
}

// The places of a text where a pattern's bytes stand (match_at), in order,
// whether or not a character starts there.  They are found by memchr of the
// pattern's byte at `anchor`, in both cases when it is a single-byte letter;
// the pattern is not empty.
class raw_matches {
 public:
  raw_matches(std::string_view text, std::string_view pattern, size_t anchor)
      : text_(text), pattern_(pattern), anchor_(anchor) {
    const unsigned char b = static_cast<unsigned char>(pattern[anchor]);
    bytes_[0] = bytes_[1] = static_cast<char>(b);
    if (ascii_letter(b) && char_len(pattern, anchor) == 1) bytes_[1] = static_cast<char>(b ^ 0x20);
  }

  // The first place at or after from; npos when there is none.
  size_t next(size_t from) {
    const size_t n = pattern_.size();
    if (n > text_.size() || from > text_.size() - n) return npos;
    const size_t last = text_.size() - n;  // the last place the pattern fits
    for (size_t s = from;;) {
      size_t a = hit_[0].next(s + anchor_, [this](size_t f) { return text_.find(bytes_[0], f); });
      if (bytes_[1] != bytes_[0])
        a = std::min(
            a, hit_[1].next(s + anchor_, [this](size_t f) { return text_.find(bytes_[1], f); }));
      if (a == npos || a - anchor_ > last) return npos;
      s = a - anchor_;
      if (match_at(text_, s, pattern_)) return s;
      s++;
    }
  }

 private:
  std::string_view text_;
  std::string_view pattern_;
  size_t anchor_;
  char bytes_[2];
  kept_place hit_[2];
};

// The first carriage return at or after from that does not end a line (no
// '\n' follows it); npos when there is none.  The text a line shows has it
// dropped, so a pattern may stand across it.
size_t stray_return(std::string_view text, size_t from) {
  for (size_t r = text.find('\r', from); r != npos; r = text.find('\r', r + 1)) {
    if (r + 1 == text.size() || text[r + 1] != '\n') return r;
  }
  return npos;
}

}  // namespace

size_t sjis_find(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return 0;
  raw_matches matches(text, pattern, rarest_byte(pattern, {}));
  size_t walked = 0;  // a character boundary, walked from the start of text
  for (size_t c = matches.next(0); c != npos; c = matches.next(c + 1)) {
    while (walked < c) walked += sjis_char_len(text, walked);
    if (walked == c) return c;
  }
  return npos;
}

// The log's bytes from offset on, up to len of them: fewer at its end, none
// past it or when it cannot be read.  Every read of the text search comes
// through here.
size_t read_log_at(FILE* log, long offset, char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::pread(fileno(log), buf + got, len - got, offset + static_cast<long>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

std::string_view shown_line(std::string_view raw, std::string& scratch) {
  raw = raw.substr(0, raw.find('\0'));
  if (raw.find('\r') == npos) return raw;
  scratch.clear();
  for (char c : raw) {
    if (c != '\r') scratch.push_back(c);
  }
  return scratch;
}

namespace {

// Finds the messages whose text holds a pattern.  The log is searched in
// large blocks for the lines that hold it; only such a line is then placed:
// the message whose title comes last before it holds it unless a line that
// ends the message comes first, and so does an earlier message whose text
// runs on over the titles after it (a heading or a listing does not end a
// message).  The rest of a title's stretch of the log then decides nothing
// new, and is skipped.
class body_search {
 public:
  body_search(FILE* log, const title_ent* table, int count, std::string_view pattern,
              std::vector<uint8_t>& hits)
      : log_(log), table_(table), count_(count), pattern_(pattern), hits_(hits) {}

  bool run(const search_progress& progress) {
    struct stat st;
    // What was appended after the scan is no part of the table's messages.
    long size = ::fstat(fileno(log_), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    size = std::min(size, log_read_limit());
    // Nothing before the first title is a message, but for the header block
    // of a news article above its title line.
    const long first = start_of(0);
    std::vector<char> block(kBlock);
    std::string scratch;
    long pos = first;
    int j = 0;  // the entry whose stretch of the log the search is in
    for (;;) {
      size_t n = read_log_at(log_, pos, block.data(),
                             static_cast<size_t>(std::clamp(size - pos, 0L, long{kBlock})));
      if (n == 0) return true;
      size_t len = n;
      if (n == kBlock) {
        // A block ends after its last whole line, so no line is cut in two
        // (a line longer than a block is searched in pieces).
        const void* nl = ::memrchr(block.data(), '\n', n);
        if (nl != nullptr)
          len = static_cast<size_t>(static_cast<const char*>(nl) - block.data()) + 1;
      }
      text_ = std::string_view(block.data(), len);
      text_pos_ = pos;
      long next = pos + static_cast<long>(len);
      size_t from = 0;
      raw_matches matches(text_, pattern_, rarest_byte(pattern_, text_.substr(0, kSample)));
      kept_place stray;
      for (;;) {
        // The next line that may hold the pattern: where its bytes stand, or
        // a line whose carriage returns, once dropped, may join it.
        size_t c = std::min(matches.next(from),
                            stray.next(from, [this](size_t f) { return stray_return(text_, f); }));
        if (c == npos) break;
        const void* before = ::memrchr(text_.data(), '\n', c);
        size_t ls = before != nullptr
                        ? static_cast<size_t>(static_cast<const char*>(before) - text_.data()) + 1
                        : 0;
        size_t le = text_.find('\n', c);
        // The log's last line, when no newline ends it, is in no message.
        if (le == npos && n < kBlock) break;
        if (le == npos) le = len;
        from = le + 1;
        long at = pos + static_cast<long>(ls);
        while (j + 1 < count_ && table_[j + 1].offset <= at) j++;
        if (sjis_find(shown_line(text_.substr(ls, le - ls), scratch), pattern_) == npos) {
          continue;
        }
        if (at < table_[0].offset) {
          if (table_[0].kind == 0) hits_[0] = 1;
          continue;
        }
        place(at, pos + static_cast<long>(std::min(le + 1, len)), j);
        if (j + 1 >= count_) return true;  // every message that could hold more is decided
        // A news article's header block stands before its title line.
        long skip = at < start_of(j + 1) ? start_of(j + 1) : table_[j + 1].offset;
        if (skip >= next) {
          next = skip;
          break;
        }
        if (skip > at) from = static_cast<size_t>(skip - pos);
        if (from >= len) break;
      }
      pos = next;
      if (progress && size > first &&
          !progress(static_cast<double>(pos - first) / static_cast<double>(size - first))) {
        return false;
      }
    }
  }

 private:
  static constexpr size_t kBlock = 8 << 20;
  static constexpr size_t kSample = 64 << 10;  // what a block's rarest byte is counted over

  // The title line of entry m: the line that ends where its message begins.
  // A block starts at the start of a line, so one that holds the line's end
  // holds all of it.
  std::string title_line(int m) {
    long end = table_[m].offset - 1;  // its '\n'
    std::string buf;
    std::string_view bytes;
    if (end >= text_pos_ && end < text_pos_ + static_cast<long>(text_.size())) {
      bytes = text_.substr(0, static_cast<size_t>(end - text_pos_));
    } else {
      long start = std::max(0L, end - 4096);
      buf.resize(static_cast<size_t>(end - start));
      buf.resize(read_log_at(log_, start, buf.data(), buf.size()));
      bytes = buf;
    }
    size_t nl = bytes.rfind('\n');
    if (nl != npos) bytes.remove_prefix(nl + 1);
    std::string scratch;
    return std::string(shown_line(bytes, scratch));
  }

  // Whether the line from `at` to `end` (after its newline) still belongs
  // to the text of message i: no line from its beginning up to that one
  // ends it.
  bool reaches(int i, long at, long end) {
    const title_ent& e = table_[i];
    std::string_view title(e.title != nullptr ? e.title : "");
    std::string buf, scratch;
    std::string_view bytes;
    if (e.offset >= text_pos_) {
      bytes = text_.substr(static_cast<size_t>(e.offset - text_pos_),
                           static_cast<size_t>(end - e.offset));
    } else {
      buf.resize(static_cast<size_t>(end - e.offset));
      buf.resize(read_log_at(log_, e.offset, buf.data(), buf.size()));
      bytes = buf;
    }
    const bool news = start_of(i) < e.offset;
    bool in_header = false;  // a news article's run of header lines, from a field on
    for (size_t k = 0; k < bytes.size();) {
      size_t nl = std::min(bytes.find('\n', k), bytes.size());
      std::string_view line = shown_line(bytes.substr(k, nl - k), scratch);
      if (ends_message(line, false, e.msghead, title)) return false;
      if (!header_line(line)) {
        in_header = false;
      } else if (!line.starts_with(" ") && !line.starts_with("\t")) {
        in_header = true;
      }
      if (e.offset + static_cast<long>(k) >= at)
        return !(news && in_header && run_ends_in_subject(end, e));
      k = nl + 1;
    }
    return false;
  }

  // Whether the header lines from end on run into a Subject: line, which
  // makes them, and the ones before them back to the run's first field, the
  // next article's.
  bool run_ends_in_subject(long end, const title_ent& e) {
    std::string_view title(e.title != nullptr ? e.title : "");
    std::string buf(64 << 10, '\0'), scratch;
    const long limit = log_read_limit();
    for (long pos = end;;) {
      if (pos >= limit) return false;
      buf.resize(64 << 10);
      buf.resize(read_log_at(log_, pos, buf.data(),
                             static_cast<size_t>(std::min(limit - pos, long{64 << 10}))));
      size_t k = 0;
      for (size_t nl; (nl = buf.find('\n', k)) != std::string::npos; k = nl + 1) {
        std::string_view line = shown_line(std::string_view(buf).substr(k, nl - k), scratch);
        if (ends_message(line, false, e.msghead, title)) return line.starts_with("Subject:");
        if (!header_line(line)) return false;
      }
      if (k == 0) return false;  // a line longer than the look, or the log's last
      pos += static_cast<long>(k);
    }
  }

  // Where the text of entry k starts: its header block when it is a news
  // article, else its offset.
  long start_of(int k) {
    if (auto it = starts_.find(k); it != starts_.end()) return it->second;
    long s = table_[k].offset;
    if (title_line(k).starts_with("Subject:"))
      s = text_start(log_, s, k > 0 ? table_[k - 1].offset : 0);
    starts_.emplace(k, s);
    return s;
  }

  // A line holding the pattern from `at` to `end`, in the stretch of entry j.
  void place(long at, long end, int j) {
    // A line of the header block of the news article after j is that
    // article's, and no earlier article's.
    const bool next_header = j + 1 < count_ && at >= start_of(j + 1);
    if (next_header && table_[j + 1].kind == 0) hits_[static_cast<size_t>(j + 1)] = 1;
    std::vector<std::string> titles;  // the title lines of j, j - 1, ..., passed so far
    for (int i = j; i >= 0; i--) {
      if (next_header && start_of(i) < table_[i].offset) continue;
      if (i < j) {
        const title_ent& next = table_[i + 1];
        // Message-header title lines end every message; so do some others.
        if (next.msghead != 0) return;
        titles.push_back(title_line(i + 1));
        if (ends_message(titles.back(), false, 1, "")) return;
        const title_ent& e = table_[i];
        std::string_view title(e.title != nullptr ? e.title : "");
        bool ended = false;
        for (const std::string& t : titles)
          ended = ended || ends_message(t, false, e.msghead, title);
        if (ended) continue;
      }
      if (table_[i].kind == 0 && hits_[static_cast<size_t>(i)] == 0 && reaches(i, at, end)) {
        hits_[static_cast<size_t>(i)] = 1;
      }
    }
  }

  FILE* log_;
  const title_ent* table_;
  int count_;
  std::string_view pattern_;
  std::vector<uint8_t>& hits_;
  std::unordered_map<int, long> starts_;  // start_of, once asked
  std::string_view text_;                 // the block in hand, from the log's position text_pos_
  long text_pos_ = 0;
};

}  // namespace

std::vector<uint8_t> message_hits(FILE* log, const title_ent* table, int count,
                                  std::string_view pattern, const search_progress& progress) {
  std::vector<uint8_t> hits(count > 0 ? static_cast<size_t>(count) : 0, 0);
  if (count <= 0 || pattern.empty()) return hits;
  for (int i = 0; i < count; i++) {
    const title_ent& e = table[i];
    if (e.kind == 0 && e.title != nullptr && sjis_find(e.title, pattern) != npos)
      hits[static_cast<size_t>(i)] = 1;
  }
  body_search s(log, table, count, pattern, hits);
  if (!s.run(progress)) return {};
  return hits;
}

int next_position(int from, int step, bool wrap, const search_progress& progress,
                  const std::function<bool(const title_ent&)>& has) {
  const int n = ent_cnt;
  if (n <= 0) return -1;
  int p = from < 0 || from >= n ? 0 : from;
  for (int d = 1; d <= n; d++) {
    p += step;
    if (p == n || p < 0) {
      if (!wrap) return -1;
      p = p < 0 ? n - 1 : 0;
    }
    if (const title_ent* e = entry_at(p); e != nullptr && has(*e)) return p;
    if ((d & 0xffff) == 0 && progress && !progress(static_cast<double>(d) / n)) return -2;
  }
  return -1;
}

int find_title(std::string_view pattern, int from, int step, const search_progress& progress) {
  return next_position(from, step, true, progress, [pattern](const title_ent& e) {
    return sjis_find(e.title, pattern) != npos;
  });
}

namespace {

using sjis::kCloseQuote;
using sjis::kNoSjisForm;
using sjis::kNotFound;
using sjis::kOpenQuote;
using sjis::kSearching;
using sjis::kWentRoundBackward;
using sjis::kWentRoundForward;

struct last_pattern {
  std::string sjis;
  bool set = false;
};

// What the text search's answer depends on: the log as it stands on disk,
// the table scanned from it, and the pattern.
struct hits_key {
  const FILE* log = nullptr;
  off_t size = -1;
  time_t mtime = 0;
  long mtime_ns = 0;
  const title_ent* table = nullptr;
  int count = 0;
  std::string pattern;
  bool operator==(const hits_key&) const = default;
};

hits_key key_of(FILE* log, const title_ent* table, int count, const std::string& pattern) {
  hits_key k;
  k.log = log;
  struct stat st;
  if (log != nullptr && ::fstat(fileno(log), &st) == 0) {
    k.size = st.st_size;
    k.mtime = st.st_mtim.tv_sec;
    k.mtime_ns = st.st_mtim.tv_nsec;
  }
  k.table = table;
  k.count = count;
  k.pattern = pattern;
  return k;
}

// The searches' memory between keys; a session starts from a fresh value.
struct search_state {
  last_pattern last_title, last_text;
  hits_key hits_for;          // what hits was computed for
  std::vector<uint8_t> hits;  // the text search's last answer
};
search_state ss;

void wipe_msg_row() { show_msg(std::string(static_cast<size_t>(std::max(env_x - 1, 40)), ' ')); }

// A message with a bell; the next key takes it away and then acts.
void show_until_key(const std::string& text) {
  show_note(text);
  out_write("\a");
  note_until_key(wipe_msg_row);
}

bool key_waiting() {
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// After a third of a second a search shows how far it has come, and a key
// (read and dropped, with whatever else is waiting) stops it.
// A window change or a continue paints the screen again, the progress too.
class search_clock {
 public:
  bool operator()(double done) {
    take_screen_events();
    auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::milliseconds(333)) return true;
    int percent = static_cast<int>(done * 100);
    if (percent != shown_) {
      char buf[128];
      std::snprintf(buf, sizeof buf, kSearching, percent);
      text_ = buf;
      show_msg(text_);
      shown_ = percent;
    }
    if (!key_waiting()) return true;
    while (key_waiting() && scr_getch() != ERR) {
    }
    return false;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  int shown_ = -1;
  std::string text_;
  screen_layer layer_{[this] {
    if (!text_.empty()) show_msg(text_);
  }};
};

// The characters typed before byte `at`, counted from 1 for the one there.
int typed_chars_before(std::string_view typed, size_t at) {
  if (out_get_charset() != out_charset::utf8) return static_cast<int>(at) + 1;
  return static_cast<int>(utf8_chars(typed.substr(0, std::min(at, typed.size())))) + 1;
}

}  // namespace

// The four search keys: a pattern typed at a prompt (an empty one repeats
// the last search of the same kind), then the title found is shown.
void search_command(cursor& at, key_action act) {
  const bool titles = act == key_action::title_search || act == key_action::title_search_back;
  const int step = act == key_action::title_search || act == key_action::text_search ? 1 : -1;
  const char* prompt = titles ? (step > 0 ? "/" : "\\") : (step > 0 ? "f:" : "F:");
  last_pattern& last = titles ? ss.last_title : ss.last_text;

  if (!titles && !log_usable()) return;
  std::string typed;
  bool entered = prompt_line(prompt, typed);
  wipe_msg_row();
  if (!entered) return;
  if (typed.empty()) {
    if (!last.set) return;
  } else {
    std::string sjis;
    size_t bad = 0;
    if (!from_terminal(typed, sjis, &bad)) {
      char buf[160];
      std::snprintf(buf, sizeof buf, kNoSjisForm, typed_chars_before(typed, bad));
      show_until_key(buf);
      return;
    }
    last.sjis = sjis;
    last.set = true;
  }
  const std::string& pattern = last.sjis;

  search_clock clock;
  search_progress progress = std::ref(clock);
  int found;
  if (titles) {
    found = find_title(pattern, at.cur_idx, step, progress);
  } else {
    hits_key key = key_of(log_fp, tent, ent_cnt, pattern);
    if (ss.hits.empty() || !(ss.hits_for == key)) {
      ss.hits = message_hits(log_fp, tent, ent_cnt, pattern, progress);
      ss.hits_for = ss.hits.empty() ? hits_key{} : std::move(key);
    }
    found =
        ss.hits.empty() ? -2 : next_position(at.cur_idx, step, true, {}, [](const title_ent& e) {
          return ss.hits[static_cast<size_t>(&e - tent)] != 0;
        });
  }
  wipe_msg_row();
  if (found == -2) return;  // stopped by a key: the cursor stays
  if (found < 0) {
    show_until_key(kOpenQuote + pattern + kCloseQuote + kNotFound);
    return;
  }
  bool went_round = step > 0 ? found <= at.cur_idx : found >= at.cur_idx;
  move_to(at, found);
  if (went_round) {
    show_note(step > 0 ? kWentRoundForward : kWentRoundBackward);
    note_until_key(wipe_msg_row);
  }
}

void reset_search_state() { ss = search_state{}; }

}  // namespace dulk
