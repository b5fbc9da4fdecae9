// The log scanner: one pass over the capture log that recognises title lines
// by their shape, fills the title table, and reads the follow-up lines that
// name a message's parent.
#include "dulk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace dulk {

// ---- line readers ----------------------------------------------------------

int readline(FILE* fp, std::string& buf) {
  buf.clear();
  int c;
  while ((c = getc_unlocked(fp)) != EOF && c != '\n') {
    if (c != '\r') buf.push_back(static_cast<char>(c));
  }
  return c == EOF ? EOF : '\n';
}

namespace {

// Reads the log in large blocks and hands out one line at a time, with the
// same text readline gives (carriage returns dropped) and the exact byte
// position after each line.  A line may be any length: the block grows to
// hold it.
class log_reader {
 public:
  explicit log_reader(int fd) : fd_(fd), buf_(kBlock) {
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  }

  // Returns '\n' or EOF like readline; line stays valid until the next call.
  int next(std::string_view& line) {
    for (;;) {
      const char* start = buf_.data() + pos_;
      size_t avail = end_ - pos_;
      const void* nl = avail != 0 ? std::memchr(start + scanned_, '\n', avail - scanned_) : nullptr;
      if (nl != nullptr) {
        size_t len = static_cast<size_t>(static_cast<const char*>(nl) - start);
        pos_ += len + 1;
        scanned_ = 0;
        line = clean(start, len);
        return '\n';
      }
      scanned_ = avail;
      if (eof_ || !fill()) {
        line = clean(start, avail);
        pos_ = end_;
        scanned_ = 0;
        return EOF;
      }
    }
  }

  // Position in the log right after the last line handed out.
  long tell() const { return static_cast<long>(base_ + pos_); }

 private:
  static constexpr size_t kBlock = 1 << 22;

  // Drops carriage returns, as readline does; a NUL byte ends the text of a
  // line, as it ends every C string the line is later handled as.
  std::string_view clean(const char* p, size_t len) {
    if (const void* z = std::memchr(p, '\0', len)) {
      len = static_cast<size_t>(static_cast<const char*>(z) - p);
    }
    const char* cr = static_cast<const char*>(std::memchr(p, '\r', len));
    if (cr == nullptr) return {p, len};
    scratch_.assign(p, static_cast<size_t>(cr - p));
    for (const char* q = cr + 1; q < p + len; q++) {
      if (*q != '\r') scratch_.push_back(*q);
    }
    return scratch_;
  }

  // Moves the unread tail to the front (growing the block when one line
  // fills it) and reads more; false at the end of the file.
  bool fill() {
    size_t tail = end_ - pos_;
    if (pos_ > 0) {
      std::memmove(buf_.data(), buf_.data() + pos_, tail);
      base_ += pos_;
      pos_ = 0;
      end_ = tail;
    }
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
    for (;;) {
      ssize_t n = ::pread(fd_, buf_.data() + end_, buf_.size() - end_,
                          static_cast<off_t>(base_ + end_));
      if (n > 0) {
        end_ += static_cast<size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      eof_ = true;  // a read error ends the log as the end of the file does
      return false;
    }
  }

  int fd_;
  std::vector<char> buf_;
  size_t pos_ = 0;      // start of the unread part
  size_t end_ = 0;      // end of the bytes read
  size_t scanned_ = 0;  // bytes of the unread part known to hold no '\n'
  unsigned long base_ = 0;  // log position of buf_[0]
  bool eof_ = false;
  std::string scratch_;
};

// ---- line forms ---------------------------------------------------------------

enum form_id {
  kNone = 0,
  kForum,
  kForumIndented,
  kBracket,
  kBracketIndented,
  kAngleHeading,
  kConferenceHeading,
  kHomePartyHeading,
  kIdList,
  kIdListIndented,
  kDataList,
  kDataListIndented,
  kWeeklyNotice,
  kNewsSubject,
  kInbox,
  kNumberHeading,
  kEscapeMarked,
  kMailList,
};

struct form_info {
  int column;  // title column
  int8_t kind;
  int8_t msghead;
};

constexpr form_info kForms[] = {
    {0, 0, 0},  // kNone
    {0, 0, 1},  // forum header
    {2, 0, 1},  // indented forum header
    {0, 0, 1},  // bracket header
    {3, 0, 1},  // indented bracket header
    {0, 1, 0},  // angle heading
    {2, 2, 0},  // conference heading
    {0, 1, 0},  // home-party heading
    {0, 0, 0},  // ID list
    {2, 0, 0},  // indented ID list
    {0, 0, 0},  // data list
    {2, 0, 0},  // indented data list
    {0, 0, 0},  // weekly notice
    {9, 0, 1},  // news subject
    {16, 0, 1},  // inbox entry
    {0, 2, 0},  // number heading
    {0, 0, 1},  // escape-marked title
    {0, 0, 0},  // mail list line
};

// Shift-JIS spellings of the service's fixed line starts.
constexpr std::string_view kAngle = "\x81\x83";                          // ＜
constexpr std::string_view kConference = "\x81\x7c\x89\xef\x8b\x63\x8e\xba";  // －会議室
constexpr std::string_view kHomeParty =
    "\x83\x7a\x81\x5b\x83\x80\x83\x70\x81\x5b\x83\x65\x83\x42\x81\x5b    HP";  // ホームパーティー    HP
constexpr std::string_view kIdListText = "\x94\xd4\x8d\x86  ID";       // 番号  ID
constexpr std::string_view kDataName = "\x83\x66\x81\x5b\x83\x5e\x96\xbc";  // データ名
constexpr std::string_view kWeekly = "\x8d\xa1\x8f\x54\x82\xcc\x82\xa8\x92\x6d\x82\xe7\x82\xb9";  // 今週のお知らせ
constexpr std::string_view kInboxStart = "=== \x8e\xf3\x90\x4d\x95\xeb \x98\x41\x94\xd4";  // === 受信簿 連番

bool is_digit_at(std::string_view s, size_t i) { return i < s.size() && s[i] >= '0' && s[i] <= '9'; }
bool byte_at(std::string_view s, size_t i, char c) { return i < s.size() && s[i] == c; }
bool text_at(std::string_view s, size_t col, std::string_view lit) {
  return s.size() >= col + lit.size() && std::memcmp(s.data() + col, lit.data(), lit.size()) == 0;
}

// The first form a line matches, in the order the forms are tried.
form_id match_form(std::string_view s) {
  if (s.size() < 2) return kNone;  // every form needs at least two bytes
  if (is_digit_at(s, 0) && is_digit_at(s, 2) && byte_at(s, 5, '/')) return kForum;
  if (is_digit_at(s, 2) && is_digit_at(s, 4) && byte_at(s, 7, '/')) return kForumIndented;
  if (byte_at(s, 20, ']') && text_at(s, 4, " [")) return kBracket;
  if (byte_at(s, 23, ']') && text_at(s, 7, " [")) return kBracketIndented;
  if (text_at(s, 0, kAngle)) return kAngleHeading;
  if (text_at(s, 0, kConference)) return kConferenceHeading;
  if (text_at(s, 0, kHomeParty)) return kHomePartyHeading;
  if (text_at(s, 0, kIdListText)) return kIdList;
  if (text_at(s, 2, kIdListText)) return kIdListIndented;
  if (text_at(s, 0, kDataName)) return kDataList;
  if (text_at(s, 2, kDataName)) return kDataListIndented;
  if (text_at(s, 0, kWeekly)) return kWeeklyNotice;
  if (text_at(s, 0, "Subject:")) return kNewsSubject;
  if (text_at(s, 0, kInboxStart)) return kInbox;
  if (text_at(s, 0, "No.")) return kNumberHeading;
  if (text_at(s, 0, "\033[")) return kEscapeMarked;
  if (s.size() > 51 && s[42] == '/' && s[45] == '/' && s[48] == ' ' && s[51] == ':') {
    return kMailList;
  }
  return kNone;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); i++) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;  // prefix is given in lower case
  }
  return true;
}

std::string_view from_column(std::string_view s, size_t col) {
  return col < s.size() ? s.substr(col) : std::string_view();
}

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
  std::string src(line);
  if (get_item(src.c_str(), " ", 3, field) == nullptr) return;
  size_t colon = field.find(':');
  if (colon != std::string::npos) article = dk_atoi(std::string_view(field).substr(colon + 1));
}

// A heading with nothing under it gives way to the next heading of the same
// or a higher level; returns the index the new heading is stored at.
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

// Decodes a news subject into Shift-JIS.
std::string decode_subject(std::string_view subject) {
  std::string text(subject);
  std::vector<char> jis(text.size() + 64);
  chg_iso2022(text.c_str(), jis.data());
  std::vector<char> sjis(std::strlen(jis.data()) + 64);
  int state = 0;
  jis2sjis(jis.data(), sjis.data(), &state);
  return std::string(sjis.data());
}

}  // namespace

// ---- the scan ------------------------------------------------------------------

void read_title(FILE* log, title_ent* table, int* count) {
  if (std::fseek(log, 0, SEEK_END) != 0) fatal("dulk : read_title1");
  long size = std::ftell(log);
  if (std::fseek(log, 0, SEEK_SET) != 0) fatal("dulk : read_title2");

  *count = 0;
  thread_index_reset();
  int article = 0;
  int last_meter = -1;
  log_reader rd(fileno(log));
  std::string_view line;
  std::string title_line;  // a copy where the next read would invalidate line
  std::string work;

  while (rd.next(line) != EOF) {
    form_id form = match_form(line);
    if (form == kNone) {
      if (starts_with_nocase(line, "xref:")) apply_xref(line, article);
      continue;
    }
    if (*count >= max_ent) {
      term_restore();
      out_printf("Title table was overflow! (>%d) Specify -n option!\n", max_ent);
      dk_exit(1);
    }

    const form_info& f = kForms[form];
    int idx = *count;
    std::string_view tl = line;
    size_t column = static_cast<size_t>(f.column);
    if (form == kNewsSubject) {
      work.assign(line.substr(0, 9));
      work += decode_subject(from_column(line, 9));
      tl = work;
    }

    title_ent e{};
    e.msghead = f.msghead;
    e.kind = 0;
    e.num = dk_atoi(from_column(tl, column));
    if (f.kind != 0) {
      idx = collapse_heading(table, idx, f.kind);
      e.kind = f.kind;
    }
    if (form == kEscapeMarked) {
      std::string_view next;
      rd.next(next);
      size_t paren = next.find('(');
      if (next.size() < 4 || paren == std::string_view::npos) continue;
      e.num = dk_atoi(next.substr(paren + 1));
      tl = next;
      column = 0;
    }
    title_line.assign(tl);
    tl = title_line;
    e.offset = rd.tell();

    if (form == kForum || form == kForumIndented) {
      std::string_view follow;
      rd.next(follow);
      e.group = static_cast<uint8_t>(dk_atoi(from_column(follow, 1)));
      int parent = follow.size() > 22 ? dk_atoi(follow.substr(23)) : 0;
      table[idx] = e;
      table[idx].title = title_store(from_column(tl, column));
      table[idx].depth = parent != 0 ? static_cast<int8_t>(search_and_add(idx, parent)) : 0;
    } else if (form == kEscapeMarked) {
      unsigned sum = 0;
      for (size_t i = 0; i < 3 && i < tl.size() && tl[i] != '('; i++) {
        sum += static_cast<unsigned char>(tl[i]);
      }
      e.group = static_cast<uint8_t>(sum);
      std::string_view reply;
      rd.next(reply);
      int parent = text_at(reply, 0, " <") ? dk_atoi(reply.substr(2)) : 0;
      table[idx] = e;
      table[idx].title = title_store(tl);
      table[idx].depth = parent != 0 ? static_cast<int8_t>(search_and_add4sx(idx, parent)) : 0;
    } else if (form == kNewsSubject) {
      // The header block runs to the first line without ':'.
      std::string ref;
      bool seen_refs = false;
      bool ended = false;
      char* msgid = nullptr;
      std::string_view h;
      bool pending = false;
      for (;;) {
        if (!pending && rd.next(h) == EOF) {
          ended = true;
          break;
        }
        pending = false;
        if (h.find(':') == std::string_view::npos) break;
        if (starts_with_nocase(h, "xref:")) {
          apply_xref(h, article);
        } else if (starts_with_nocase(h, "message-id:")) {
          msgid = title_store(from_column(h, 12));
        } else if (starts_with_nocase(h, "references:")) {
          size_t lt = h.rfind('<');
          if (lt != std::string_view::npos) ref.assign(h.substr(lt));
          seen_refs = true;
          // Continuation lines begin with white space.
          for (;;) {
            if (rd.next(h) == EOF) {
              ended = true;
              break;
            }
            if (h.empty() || std::strchr(" \t\n\v\f\r", h[0]) == nullptr) {
              pending = true;
              break;
            }
            lt = h.rfind('<');
            if (lt != std::string_view::npos) ref.assign(h.substr(lt));
          }
          if (ended) break;
        }
      }
      if (ended) break;  // the log ends inside the header block
      std::string_view subject = from_column(tl, 9);
      char prefix[32];
      int plen = std::snprintf(prefix, sizeof prefix, "%05d: ", article);
      std::string title(prefix, static_cast<size_t>(plen));
      title += subject;
      table[idx] = e;
      table[idx].title = title_store(title);
      table[idx].msgid = msgid;
      table[idx].group = 0;
      table[idx].depth = seen_refs ? static_cast<int8_t>(search_and_add4news(idx, ref.data())) : 0;
    } else {
      table[idx] = e;
      table[idx].title = title_store(from_column(tl, column));
    }

    int value = size > 0 ? static_cast<int>(table[idx].offset * 21 / size) : 0;
    if (value != last_meter) {
      if (vf != 1) disp_meter(20, value);
      last_meter = value;
    }
    thread_index_add(idx);
    *count = idx + 1;
  }
  if (link == 1) make_tentp();
}

}  // namespace dulk
