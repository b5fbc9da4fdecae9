// The log scanner: one pass over the capture log that recognises title lines
// by their shape, fills the title table, and reads the follow-up lines that
// name a message's parent.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dulk.h"
#include "log_lines.h"
#include "sjis.h"

namespace dulk {

// ---- line forms -------------------------------------------------------------

namespace {

// What a title line has the scan read after it.
enum class follow_up { none, forum, escape_marked, news };

// One condition of a form: the text at a column, or a decimal digit there.
// A column at or beyond the end of the line holds nothing and matches
// nothing.
constexpr size_t kUnused = ~size_t{0};
struct cond {
  size_t column = kUnused;     // kUnused: no further condition
  std::string_view text = {};  // empty: any of '0' to '9'
};
constexpr cond digit(size_t column) { return {column, {}}; }

struct line_form {
  cond test[4];   // all must hold
  size_t column;  // the title column
  int8_t kind;
  int8_t msghead;
  follow_up reads;
};

// The forms in the order they are tried: the first that matches decides.
// The conference heading's title column skips its full-width dash.  A mail
// list line needs more than 51 bytes, which its ':' at column 51 implies.
constexpr line_form kForms[] = {
    // forum header
    {{digit(0), digit(2), {5, "/"}}, 0, 0, 1, follow_up::forum},
    // indented forum header
    {{digit(2), digit(4), {7, "/"}}, 2, 0, 1, follow_up::forum},
    // bracket header
    {{{20, "]"}, {4, " ["}}, 0, 0, 1, follow_up::none},
    // indented bracket header
    {{{23, "]"}, {7, " ["}}, 3, 0, 1, follow_up::none},
    // angle heading
    {{{0, sjis::kAngle}}, 0, 1, 0, follow_up::none},
    // conference heading
    {{{0, sjis::kConferenceHeading}}, 2, 2, 0, follow_up::none},
    // home-party heading
    {{{0, sjis::kHomeParty}}, 0, 1, 0, follow_up::none},
    // ID list
    {{{0, sjis::kIdList}}, 0, 0, 0, follow_up::none},
    // indented ID list
    {{{2, sjis::kIdList}}, 2, 0, 0, follow_up::none},
    // data list
    {{{0, sjis::kDataName}}, 0, 0, 0, follow_up::none},
    // indented data list
    {{{2, sjis::kDataName}}, 2, 0, 0, follow_up::none},
    // weekly notice
    {{{0, sjis::kWeekly}}, 0, 0, 0, follow_up::none},
    // news subject
    {{{0, "Subject:"}}, 9, 0, 1, follow_up::news},
    // inbox entry
    {{{0, sjis::kInbox}}, 16, 0, 1, follow_up::none},
    // number heading
    {{{0, "No."}}, 0, 2, 0, follow_up::none},
    // escape-marked title: its title is the next line
    {{{0, "\033["}}, 0, 0, 1, follow_up::escape_marked},
    // mail list line
    {{{42, "/"}, {45, "/"}, {48, " "}, {51, ":"}}, 0, 0, 0, follow_up::none},
};

bool holds(std::string_view line, const cond& c) {
  if (c.text.empty()) {
    return c.column < line.size() && line[c.column] >= '0' && line[c.column] <= '9';
  }
  if (line.size() < c.column + c.text.size()) return false;
  for (size_t i = 0; i < c.text.size(); i++) {
    if (line[c.column + i] != c.text[i]) return false;
  }
  return true;
}

// Most lines of a log are message text, and a look at a few of their first
// bytes and at their length rules out every form.  For each of the columns
// looked at, a table gives by the byte standing there the forms that byte
// leaves possible (a form with no test at that column takes any byte), and
// a line too short for a form's tests rules it out.  Every form but the mail
// list line (which needs 52 bytes) tests one of these columns, most of them
// two.  Both tables are worked out from the forms above; the forms' own
// tests do the rest.
using form_set = uint32_t;  // bit i: kForms[i]
static_assert(std::size(kForms) <= 32);
constexpr size_t kHeadColumns[] = {0, 1, 2, 5, 7};
constexpr size_t kHead = 8;      // the columns looked at lie before this one
constexpr size_t kLongest = 64;  // every form's tests fit in this many bytes

struct head_filter {
  form_set at[std::size(kHeadColumns)][256] = {};
  form_set fits[kLongest + 1] = {};  // by line length: the forms whose tests fit

  constexpr head_filter() {
    for (size_t i = 0; i < std::size(kForms); i++) {
      const form_set bit = form_set{1} << i;
      size_t needs = 0;
      for (auto& column : at) {
        for (form_set& forms : column) forms |= bit;
      }
      for (const cond& t : kForms[i].test) {
        if (t.column == kUnused) continue;
        size_t len = t.text.empty() ? 1 : t.text.size();
        needs = std::max(needs, t.column + len);
        for (size_t h = 0; h < std::size(kHeadColumns); h++) {
          size_t c = kHeadColumns[h];
          if (c < t.column || c >= t.column + len) continue;
          for (int b = 0; b < 256; b++) {
            bool ok = t.text.empty() ? b >= '0' && b <= '9'
                                     : b == static_cast<unsigned char>(t.text[c - t.column]);
            if (!ok) at[h][b] &= ~bit;
          }
        }
      }
      for (size_t n = needs; n <= kLongest; n++) fits[n] |= bit;
    }
  }
};
constexpr head_filter kHeadFilter;

// The forms a line may have; none for most lines.  A column past the end of
// the line reads as byte 0, which no test accepts.
form_set possible_forms(std::string_view line) {
  unsigned char head[kHead] = {};
  if (line.size() >= kHead) {
    std::memcpy(head, line.data(), kHead);
  } else {
    for (size_t c = 0; c < line.size(); c++) head[c] = static_cast<unsigned char>(line[c]);
  }
  form_set set = kHeadFilter.fits[std::min(line.size(), kLongest)];
  for (size_t h = 0; h < std::size(kHeadColumns); h++) {
    set &= kHeadFilter.at[h][head[kHeadColumns[h]]];
  }
  return set;
}

// Whether a line, its bytes as they stand in the log, may be a title line
// or an Xref: line.  Its text drops every '\r' and ends at a NUL; but for a
// '\r' among the first kHead bytes before the line's last one, that leaves
// the bytes at the columns looked at as they were, or past the end of a
// shorter text, which no test accepts.  So a line this rules out is ruled
// out by its text as well, and a line with such a '\r' is kept.  raw is
// followed by at least kHead readable bytes.
bool may_matter(const char* raw, size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(raw);
  static_assert(std::size(kHeadColumns) == 5);
  const auto& at = kHeadFilter.at;
  form_set set = kHeadFilter.fits[std::min(size, kLongest)] & at[0][s[kHeadColumns[0]]] &
                 at[1][s[kHeadColumns[1]]] & at[2][s[kHeadColumns[2]]] & at[3][s[kHeadColumns[3]]] &
                 at[4][s[kHeadColumns[4]]];
  bool xref = (s[0] | 0x20) == 'x' && size >= 5;
  // The head's bytes as one word, byte c at bits 8c to 8c+7, and in it the
  // top bit of every byte that is '\r'.
  uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, s, kHead);
  } else {
    for (size_t c = 0; c < kHead; c++) word |= uint64_t{s[c]} << (8 * c);
  }
  constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
  uint64_t x = word ^ 0x0d0d0d0d0d0d0d0dULL;
  uint64_t crs = ~(((x & kLow7) + kLow7) | x | kLow7);
  size_t head = size == 0 ? 0 : std::min(size - 1, kHead);
  uint64_t in_head = head == kHead ? ~uint64_t{0} : (uint64_t{1} << (8 * head)) - 1;
  return (set != 0) | xref | ((crs & in_head) != 0);
}
static_assert(kHead == 8);
static_assert(log_lines::kPad >= kHead);

// The first form the line has, or null.
const line_form* match_form(std::string_view line) {
  for (form_set set = possible_forms(line); set != 0; set &= set - 1) {
    const line_form& f = kForms[std::countr_zero(set)];
    if (std::all_of(std::begin(f.test), std::end(f.test),
                    [line](const cond& c) { return c.column == kUnused || holds(line, c); }))
      return &f;
  }
  return nullptr;
}

}  // namespace

// ---- reading lines ----------------------------------------------------------

// The stream's C library finds the line end many bytes at a time; the
// line is then taken over without its carriage returns.
int readline(FILE* fp, std::string& buf) {
  struct line_buffer {
    char* text = nullptr;
    size_t size = 0;
    ~line_buffer() { std::free(text); }
  };
  static line_buffer got;
  buf.clear();
  const int before = errno;  // a caller may still have a failure to report
  errno = 0;
  ssize_t n = ::getdelim(&got.text, &got.size, '\n', fp);
  if (n < 0 && errno == ENOMEM) throw std::bad_alloc();
  if (n >= 0 || std::ferror(fp) == 0) errno = before;  // a read error keeps its own
  if (n < 0) return EOF;
  bool ended = got.text[n - 1] == '\n';
  std::string_view text(got.text, static_cast<size_t>(n) - (ended ? 1 : 0));
  for (size_t cr; (cr = text.find('\r')) != text.npos; text.remove_prefix(cr + 1)) {
    buf.append(text.substr(0, cr));
  }
  buf.append(text);
  return ended ? '\n' : EOF;
}

namespace {

// ---- the article number rule ------------------------------------------------

// An Xref: line names the article number: the number after the first ':' of
// the "-g" newsgroup's part, or else of the line's third field.
void apply_xref(std::string_view line, int& article) {
  if (gf) {
    size_t at = line.find(newsgrp);
    if (at == std::string_view::npos) return;
    std::string_view rest = line.substr(at);
    size_t colon = rest.find(':');
    if (colon != std::string_view::npos) article = dk_atoi(rest.substr(colon + 1));
    return;
  }
  std::string field;
  if (get_item(std::string(line).c_str(), " ", 3, field) == nullptr) return;
  size_t colon = field.find(':');
  if (colon != std::string::npos) article = dk_atoi(std::string_view(field).substr(colon + 1));
}

// ---- the heading collapse ---------------------------------------------------

// A heading with nothing under it gives way to the next heading of the same
// or a higher level: a section header replaces up to two headings before
// it, a sub-header only a sub-header.  Returns the index the new heading is
// stored at; the replaced entries leave the table.
int collapse_heading(title_ent* table, int idx, int8_t kind) {
  int at = idx;
  if (kind == 1) {
    for (int step = 0; step < 2 && at > 0 && table[at - 1].kind != 0; step++) at--;
  } else if (at > 0 && table[at - 1].kind == 2) {
    at--;
  }
  for (int i = at; i < idx; i++) table[i] = title_ent{};
  return at;
}

// ---- the scan ---------------------------------------------------------------

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A news subject decoded into Shift-JIS, put after what `out` holds.  The
// buffers are the caller's, so that a log of many articles does not take
// and give back memory for each.
struct subject_buffers {
  std::string text;
  std::vector<char> jis, sjis;
};
void decode_subject(std::string_view subject, subject_buffers& b, std::string& out) {
  b.text.assign(subject);
  b.jis.resize(std::max(b.jis.size(), b.text.size() + 64));
  chg_iso2022(b.text.c_str(), b.jis.data());
  b.sjis.resize(std::max(b.sjis.size(), std::strlen(b.jis.data()) + 64));
  int state = 0;
  jis2sjis(b.jis.data(), b.sjis.data(), &state);
  out.append(b.sjis.data());
}

// Where a scan stopped, so that a scan of what was appended to the log
// goes on from there with the article number it had reached.
struct scan_end {
  long resume = 0;  // the start of the first line not taken whole
  int article = 0;
};
scan_end last_scan;

class scanner {
 public:
  // growing: the titles after the *count ones already in the table, from
  // the log's position on; a full table then ends the scan instead of the
  // run, and no meter is drawn over the list.
  scanner(FILE* log, title_ent* table, int* count, long size, bool growing)
      : lines_(log), table_(table), count_(count), size_(size), growing_(growing) {}

  // False when a growing scan found the table full.
  bool run() {
    if (growing_) {
      article_ = last_scan.article;
    } else {
      *count_ = 0;
      thread_index_reset(size_);
      defer_links();
    }
    for (;;) {
      int end = lines_.next_kept(line_, may_matter);
      last_scan = {lines_.start(), article_};
      if (end == EOF) break;
      const line_form* f = match_form(line_);
      if (f == nullptr) {
        if (!line_.empty() && (line_[0] | 0x20) == 'x' && starts_with_nocase(line_, "xref:")) {
          apply_xref(line_, article_);
        }
      } else if (!enter(*f)) {
        break;  // the log ended inside a news header block, or the table is full
      }
    }
    last_scan.article = article_;
    link_deferred(*count_);
    return !full_;
  }

 private:
  // The next line; false when the end of the file ended it.
  bool next() { return lines_.next(line_) != EOF; }

  // Makes the entry of a title line of form f; false when the log ends
  // before the entry is complete.
  bool enter(const line_form& f) {
    if (*count_ >= max_ent && !grow_tables()) {
      if (growing_) {  // a re-read that finds the table full keeps what it has
        full_ = true;
        return false;
      }
      term_restore();
      out_printf("Title table was overflow! (>%d) Specify -n option!\n", max_ent);
      dk_exit(1);
    }
    int idx = *count_;
    std::string_view title = line_;
    size_t column = f.column;
    if (f.reads == follow_up::news) {
      decoded_.assign(line_.substr(0, 9));
      decode_subject(from_column(line_, 9), subject_, decoded_);
      title = decoded_;
    }
    title_ent e{};
    e.msghead = f.msghead;
    e.num = dk_atoi(from_column(title, column));
    if (f.kind != 0) {
      idx = collapse_heading(table_, idx, f.kind);
      e.kind = f.kind;
    }
    if (f.reads == follow_up::escape_marked) {
      next();
      size_t paren = line_.find('(');
      if (line_.size() < 4 || paren == std::string_view::npos) return true;
      e.num = dk_atoi(line_.substr(paren + 1));
      title = line_;
      column = 0;
    }
    e.offset = lines_.offset();
    // Stored before a follow-up line takes the place the title stands in.
    if (f.reads != follow_up::news) e.title = title_store(from_column(title, column));
    table_[idx] = e;

    switch (f.reads) {
      case follow_up::forum:
        read_forum_follow_up(idx);
        break;
      case follow_up::escape_marked:
        read_reply_line(idx, title);
        break;
      case follow_up::news:
        if (!read_news_headers(idx, from_column(title, 9))) {
          table_[idx] = title_ent{};  // the article is left out
          return false;
        }
        break;
      case follow_up::none:
        break;
    }
    show_progress(table_[idx].offset);
    *count_ = idx + 1;
    return true;
  }

  // A forum header's next line holds its room number at column 1, the group,
  // and, on a line of more than 22 bytes, the parent's number at column 23.
  void read_forum_follow_up(int idx) {
    next();
    table_[idx].group = static_cast<uint8_t>(dk_atoi(from_column(line_, 1)));
    int parent = line_.size() > 22 ? dk_atoi(line_.substr(23)) : 0;
    table_[idx].depth = parent != 0 ? static_cast<int8_t>(search_and_add(idx, parent)) : 0;
  }

  // An escape-marked title's group is the sum of its first three bytes up
  // to a '('; the line after it names the parent as " <number".
  void read_reply_line(int idx, std::string_view title) {
    unsigned sum = 0;
    for (size_t i = 0; i < 3 && i < title.size() && title[i] != '('; i++) {
      sum += static_cast<unsigned char>(title[i]);
    }
    table_[idx].group = static_cast<uint8_t>(sum);
    next();
    int parent = line_.starts_with(" <") ? dk_atoi(line_.substr(2)) : 0;
    table_[idx].depth = parent != 0 ? static_cast<int8_t>(search_and_add4sx(idx, parent)) : 0;
  }

  // A news article's header block runs to its first line without ':'.  It
  // may hold Xref: lines, the Message-ID:, and a References: header whose
  // continuation lines begin with white space; the last id of the last line
  // names the parent.  False when the log ends inside the block.
  bool read_news_headers(int idx, std::string_view subject) {
    std::string& ref = ref_;
    ref.clear();
    bool seen_refs = false;
    char* msgid = nullptr;
    bool pending = false;  // line_ is read and still to be looked at
    for (;;) {
      if (!pending && !next()) return false;
      pending = false;
      if (line_.find(':') == std::string_view::npos) break;
      if (starts_with_nocase(line_, "xref:")) {
        apply_xref(line_, article_);
      } else if (starts_with_nocase(line_, "message-id:")) {
        msgid = title_store(from_column(line_, 12));
      } else if (starts_with_nocase(line_, "references:")) {
        seen_refs = true;
        do {
          size_t lt = line_.rfind('<');
          if (lt != std::string_view::npos) ref.assign(line_.substr(lt));
          if (!next()) return false;
        } while (!line_.empty() && is_space(line_[0]));
        pending = true;
      }
    }
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%05d: ", article_);
    title_ent& e = table_[idx];
    size_t head = std::strlen(prefix);
    e.title = title_store(prefix, subject.size());
    if (!subject.empty()) std::memcpy(e.title + head, subject.data(), subject.size());
    e.title[head + subject.size()] = '\0';
    e.msgid = msgid;
    e.group = 0;
    e.depth = seen_refs ? static_cast<int8_t>(search_and_add4news(idx, ref.data())) : 0;
    return true;
  }

  // The meter shows how far into the log the scan is, in 21 steps.  Titles
  // come in log order, so the value changes only once the offset reaches
  // the first one of the next step.
  void show_progress(long offset) {
    if (offset < next_step_ || growing_) return;
    int value = size_ > 0 ? static_cast<int>(offset * 21 / size_) : 0;
    next_step_ = size_ > 0 ? ((value + 1) * size_ + 20) / 21 : kNever;
    if (value == last_meter_) return;
    if (vf != 1) disp_meter(20, value);
    last_meter_ = value;
  }

  log_lines lines_;
  std::string_view line_;
  // Kept from one news article to the next: its decoded subject line, the
  // decoder's buffers and the last reference read.
  std::string decoded_;
  subject_buffers subject_;
  std::string ref_;
  title_ent* table_;
  int* count_;
  long size_;
  bool growing_;
  bool full_ = false;
  int article_ = 0;
  int last_meter_ = -1;
  static constexpr long kNever = std::numeric_limits<long>::max();
  long next_step_ = 0;  // no offset below this changes the meter
};

}  // namespace

void read_title(FILE* log, title_ent* table, int* count) {
  if (std::fseek(log, 0, SEEK_END) != 0) fatal("dulk : read_title1");
  long size = std::ftell(log);
  if (std::fseek(log, 0, SEEK_SET) != 0) fatal("dulk : read_title2");
  scan_titles(log, table, count, size, false);
  note_log_scanned(log);
  if (link == 1) make_tentp();
}

long scan_resume_point() { return last_scan.resume; }

void scan_from_start() { last_scan = scan_end{}; }

bool read_more_titles(FILE* log, title_ent* table, int* count) {
  if (std::fseek(log, last_scan.resume, SEEK_SET) != 0) fatal("dulk : read_title2");
  return scan_titles(log, table, count, 0, true);
}

bool scan_titles(FILE* log, title_ent* table, int* count, long size, bool growing) {
  try {
    return scanner(log, table, count, size, growing).run();
  } catch (const std::bad_alloc&) {
    // More title text, or a longer line, than memory holds: reported like
    // the scan's other failures, with the terminal given back.
    errno = ENOMEM;
    fatal("dulk : read_title3");
  }
}

}  // namespace dulk
