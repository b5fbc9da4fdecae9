// The log scanner: one pass over the capture log that recognises title lines
// by their shape, fills the title table, and reads the follow-up lines that
// name a message's parent.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "dulk.h"
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
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

// Set bits in a word (without relying on a population-count instruction,
// which the baseline x86-64 target lacks).
inline int bit_count(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}

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
    {0, 0, 0},   // kNone
    {0, 0, 1},   // forum header
    {2, 0, 1},   // indented forum header
    {0, 0, 1},   // bracket header
    {3, 0, 1},   // indented bracket header
    {0, 1, 0},   // angle heading
    {2, 2, 0},   // conference heading
    {0, 1, 0},   // home-party heading
    {0, 0, 0},   // ID list
    {2, 0, 0},   // indented ID list
    {0, 0, 0},   // data list
    {2, 0, 0},   // indented data list
    {0, 0, 0},   // weekly notice
    {9, 0, 1},   // news subject
    {16, 0, 1},  // inbox entry
    {0, 2, 0},   // number heading
    {0, 0, 1},   // escape-marked title
    {0, 0, 0},   // mail list line
};

// Shift-JIS spellings of the service's fixed line starts.
constexpr std::string_view kAngle = "\x81\x83";                               // ＜
constexpr std::string_view kConference = "\x81\x7c\x89\xef\x8b\x63\x8e\xba";  // －会議室
constexpr std::string_view kHomeParty =
    "\x83\x7a\x81\x5b\x83\x80\x83\x70\x81\x5b\x83\x65\x83\x42\x81\x5b    HP";  // ホームパーティー
                                                                               // HP
constexpr std::string_view kIdListText = "\x94\xd4\x8d\x86  ID";            // 番号  ID
constexpr std::string_view kDataName = "\x83\x66\x81\x5b\x83\x5e\x96\xbc";  // データ名
constexpr std::string_view kWeekly =
    "\x8d\xa1\x8f\x54\x82\xcc\x82\xa8\x92\x6d\x82\xe7\x82\xb9";  // 今週のお知らせ
constexpr std::string_view kInboxStart =
    "=== \x8e\xf3\x90\x4d\x95\xeb \x98\x41\x94\xd4";  // === 受信簿 連番

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool text_at(std::string_view s, size_t col, std::string_view lit) {
  return s.size() >= col + lit.size() && s[col] == lit[0] &&
         std::memcmp(s.data() + col + 1, lit.data() + 1, lit.size() - 1) == 0;
}

// The first form a line matches, in the order the forms are tried.  Most
// lines are message text: the tests by position come first and fail on a
// byte or two, and the forms that start with a fixed text are told apart by
// their first byte.  Only an escape sequence can share its start with an
// indented list heading, which is tried before it.
form_id match_form(std::string_view s) {
  size_t n = s.size();
  if (n < 2) return kNone;  // every form needs at least two bytes
  if (n > 5 && s[5] == '/' && is_digit(s[0]) && is_digit(s[2])) return kForum;
  if (n > 7 && s[7] == '/' && is_digit(s[2]) && is_digit(s[4])) return kForumIndented;
  if (n > 20 && s[20] == ']' && s[4] == ' ' && s[5] == '[') return kBracket;
  if (n > 23 && s[23] == ']' && s[7] == ' ' && s[8] == '[') return kBracketIndented;
  switch (s[0]) {
    case '\x81':
      if (s[1] == kAngle[1]) return kAngleHeading;
      if (text_at(s, 0, kConference)) return kConferenceHeading;
      break;
    case '\x83':
      if (text_at(s, 0, kHomeParty)) return kHomePartyHeading;
      break;
    case '\x94':
      if (text_at(s, 0, kIdListText)) return kIdList;
      break;
    default:
      break;
  }
  if (text_at(s, 2, kIdListText)) return kIdListIndented;
  if (text_at(s, 0, kDataName)) return kDataList;
  if (text_at(s, 2, kDataName)) return kDataListIndented;
  switch (s[0]) {
    case '\x8d':
      if (text_at(s, 0, kWeekly)) return kWeeklyNotice;
      break;
    case 'S':
      if (text_at(s, 0, "Subject:")) return kNewsSubject;
      break;
    case '=':
      if (text_at(s, 0, kInboxStart)) return kInbox;
      break;
    case 'N':
      if (text_at(s, 0, "No.")) return kNumberHeading;
      break;
    case '\033':
      if (s[1] == '[') return kEscapeMarked;
      break;
    default:
      break;
  }
  if (n > 51 && s[42] == '/' && s[45] == '/' && s[48] == ' ' && s[51] == ':') return kMailList;
  return kNone;
}

// The two bytes a line starts with, for every form that starts with a fixed
// text, and for Xref: in any case.
constexpr uint16_t two(char a, char b) {
  return static_cast<uint16_t>(static_cast<unsigned char>(a) | static_cast<unsigned char>(b) << 8);
}
// For every pair of bytes: bit 0 when a line starting with it may be a
// title or an Xref: line, bit 1 when a line with it at column 2 may be.
struct start_table {
  uint8_t at[65536] = {};
  constexpr start_table() {
    const uint16_t col0[] = {two(kAngle[0], kAngle[1]),
                             two(kConference[0], kConference[1]),
                             two(kHomeParty[0], kHomeParty[1]),
                             two(kIdListText[0], kIdListText[1]),
                             two(kDataName[0], kDataName[1]),
                             two(kWeekly[0], kWeekly[1]),
                             two('S', 'u'),
                             two(kInboxStart[0], kInboxStart[1]),
                             two('N', 'o'),
                             two('\033', '['),
                             two('x', 'r'),
                             two('x', 'R'),
                             two('X', 'r'),
                             two('X', 'R')};
    for (uint16_t v : col0) at[v] |= 1;
    at[two(kIdListText[0], kIdListText[1])] |= 2;
    at[two(kDataName[0], kDataName[1])] |= 2;
  }
};
constexpr start_table kStarts;

// False only for a line that can be neither a title nor an Xref: line.
// Most lines of a log are message text, and for them this is one pass over
// a few bytes without a branch; it may read past the end of the line (the
// reader leaves readable bytes there), and what it finds there can only
// make it answer true, never hide a title.
inline bool maybe_title(std::string_view s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  unsigned w0 = p[0] | p[1] << 8;
  unsigned w2 = p[2] | p[3] << 8;
  // Sums of 0/1 values: no short-circuit, so no branch.
  unsigned hits = (kStarts.at[w0] & 1u) | (kStarts.at[w2] & 2u);
  hits |= unsigned{p[5] == '/'} | unsigned{p[7] == '/'} | unsigned{p[20] == ']'} |
          unsigned{p[23] == ']'} | unsigned{p[42] == '/'};
  return hits != 0;
}

// Appends the positions of a chunk's line ends (bits of m) and odd bytes
// (bits of odd) to the two lists; c is the chunk's position.
template <bool kHardwareCount>
__attribute__((always_inline)) inline void list_chunk(uint64_t m, uint64_t odd, size_t c,
                                                      size_t*& ends, size_t*& odds) {
  while (odd != 0) {
    *odds++ = c + static_cast<size_t>(__builtin_ctzll(odd));
    odd &= odd - 1;
  }
  int n = kHardwareCount ? __builtin_popcountll(m) : bit_count(m);
  // Four entries are written whatever the count, then the rest: most
  // chunks hold fewer, and a fixed number of steps predicts well.
#pragma GCC unroll 4
  for (int k = 0; k < 4; k++) {
    // The top bit keeps the count defined once m runs out; such entries
    // lie past n and are written over.
    ends[k] = c + static_cast<size_t>(__builtin_ctzll(m | (uint64_t{1} << 63)));
    m &= m - 1;
  }
  for (int k = 4; k < n; k++) {
    ends[k] = c + static_cast<size_t>(__builtin_ctzll(m));
    m &= m - 1;
  }
  ends += n;
}

// Lists the line ends of the 64-byte chunks of text[from, from + 64 * n),
// and the bytes that need a line cleaned: a carriage return not followed by
// a line end inside its chunk, or a NUL.  keep selects the bits of the last
// chunk.  Both lists need room for 64 * n + 4 entries; returns their new
// ends.
struct list_ends {
  size_t* ends;
  size_t* odds;
};
using chunk_lister = list_ends (*)(const char* text, size_t from, size_t n, uint64_t keep,
                                   size_t* ends, size_t* odds);

list_ends list_chunks_plain(const char* text, size_t from, size_t n, uint64_t keep, size_t* ends,
                            size_t* odds) {
  const char* p = text + from;
  for (size_t i = 0; i < n; i++, p += 64) {
    uint64_t e = 0, cr = 0, z = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    const __m128i ret = _mm_set1_epi8('\r');
    const __m128i zero = _mm_setzero_si128();
#pragma GCC unroll 4
    for (int k = 0; k < 4; k++) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
      e |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))))
           << (16 * k);
      cr |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, ret))))
            << (16 * k);
      z |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))))
           << (16 * k);
    }
#else
    for (int k = 0; k < 64; k++) {
      e |= static_cast<uint64_t>(p[k] == '\n') << k;
      cr |= static_cast<uint64_t>(p[k] == '\r') << k;
      z |= static_cast<uint64_t>(p[k] == '\0') << k;
    }
#endif
    uint64_t mask = i + 1 == n ? keep : ~uint64_t{0};
    list_chunk<false>(e & mask, ((cr & ~(e >> 1)) | z) & mask, from + 64 * i, ends, odds);
  }
  return {ends, odds};
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The same with 32-byte registers and the bit-count and bit-scan
// instructions, on processors that have them.
__attribute__((target("avx2,popcnt,bmi,bmi2"))) list_ends list_chunks_avx2(
    const char* text, size_t from, size_t n, uint64_t keep, size_t* ends, size_t* odds) {
  const __m256i nl = _mm256_set1_epi8('\n');
  const __m256i ret = _mm256_set1_epi8('\r');
  const __m256i zero = _mm256_setzero_si256();
  const char* p = text + from;
  for (size_t i = 0; i < n; i++, p += 64) {
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    uint64_t e = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, nl))) |
                 static_cast<uint64_t>(
                     static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, nl))))
                     << 32;
    uint64_t cr = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, ret))) |
                  static_cast<uint64_t>(
                      static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, ret))))
                      << 32;
    uint64_t z = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero))) |
                 static_cast<uint64_t>(
                     static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero))))
                     << 32;
    uint64_t mask = i + 1 == n ? keep : ~uint64_t{0};
    list_chunk<true>(e & mask, ((cr & ~(e >> 1)) | z) & mask, from + 64 * i, ends, odds);
  }
  return {ends, odds};
}
#endif

bool wide_allowed = true;

chunk_lister pick_lister() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (wide_allowed && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
      __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2")) {
    return list_chunks_avx2;
  }
#endif
  return list_chunks_plain;
}

// A growable array left uninitialised, so that only the entries written
// ever take memory.
template <class T>
class raw_array {
 public:
  T* data() const { return p_.get(); }
  T& operator[](size_t i) const { return p_[i]; }
  size_t size() const { return n_; }
  // Room for n entries, keeping the first `used`.
  void grow(size_t n, size_t used) {
    if (n <= n_) return;
    std::unique_ptr<T[]> bigger(new T[n]);
    if (used > 0) std::memcpy(bigger.get(), p_.get(), used * sizeof(T));
    p_ = std::move(bigger);
    n_ = n;
  }

 private:
  std::unique_ptr<T[]> p_;
  size_t n_ = 0;
};

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

// A number as atoi reads it.  Message numbers are short runs of digits at
// the very column, read here without a call; anything else (blanks, a
// sign, ten digits or more) goes to dk_atoi.
inline int read_number(std::string_view s) {
  auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0'); };
  size_t limit = s.size() < 9 ? s.size() : 9;
  int v = 0;
  size_t i = 0;
  for (unsigned d; i < limit && (d = digit(s[i])) < 10; i++) v = v * 10 + static_cast<int>(d);
  if (i == 0 || (i == 9 && i < s.size() && digit(s[i]) < 10)) return dk_atoi(s);
  return v;
}

constexpr size_t kPrefaultEntries = (256u << 10) / sizeof(title_ent);

// Makes the whole pages inside [p, p + len) writable memory at once.
void prefault(void* p, size_t len) {
#ifdef MADV_POPULATE_WRITE
  constexpr uintptr_t kPage = 4096;
  uintptr_t from = (reinterpret_cast<uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(p) + len) & ~(kPage - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)len;
#endif
}

constexpr size_t kSlack = 64;  // readable bytes past the end of a block's text

// A forum header's number, its parent's number and its group, read ahead
// from its line and follow-up line, so that the scan can fetch the reply
// index's slots for them before it gets there.  Only a hint: num 0 for none.
struct num_hint {
  int num;
  int parent;
  uint8_t group;
};

// A stretch of the log made of whole lines: it starts at a line start and
// ends right after its last '\n' (only the block that ends the log holds the
// last line without one).  With the text come its lists, made before any
// line of it is handed out: the line ends, the stray carriage returns and
// NULs (any but one right before a line end), and the title and Xref:
// lines with their forms.  The byte before the text is a '\n', and at least kSlack bytes
// past its end may be read: the start of the next line, then zeros.
struct log_block {
  std::unique_ptr<char[]> mem;  // one byte, cap bytes, kSlack more
  size_t cap = 0;
  unsigned long base = 0;    // log position of text()[0]
  size_t len = 0;            // bytes of the block's lines
  size_t lines = 0;          // listed line ends
  size_t nsp = 0;            // listed strays
  size_t ncand = 0;          // listed candidate lines
  bool last = false;         // the log ends in this block
  raw_array<size_t> ends;    // line ends, positions in text()
  raw_array<size_t> sp;      // stray carriage returns and NULs
  raw_array<size_t> cand;    // lines that are titles or Xref: lines
  raw_array<size_t> merged;  // cand with the stray lines added
  raw_array<uint8_t> form;   // the form of each line of cand
  raw_array<num_hint> hint;  // forum headers: the numbers the scan will use

  char* text() const { return mem.get() + 1; }

  // Room for n bytes of text, keeping the first `keep`.
  void resize(size_t n, size_t keep) {
    std::unique_ptr<char[]> fresh(new char[1 + n + kSlack]);
    fresh[0] = '\n';  // so the byte before any line can be read
    if (keep > 0) std::memcpy(fresh.get() + 1, text(), keep);
    mem = std::move(fresh);
    cap = n;
  }
};

// True when [at, nl) of b holds a stray.  Lines are asked about in order,
// so spi, the first stray not behind them, walks forward.
inline bool dirty(const log_block& b, size_t& spi, size_t at, size_t nl) {
  while (spi < b.nsp && b.sp[spi] < at) spi++;
  return spi < b.nsp && b.sp[spi] < nl;
}

// The careful way: a NUL ends the text of a line, as it ends every C
// string the line is later handled as, and carriage returns are dropped.
std::string_view clean(const char* p, size_t len, std::vector<char>& scratch) {
  if (const void* z = std::memchr(p, '\0', len))
    len = static_cast<size_t>(static_cast<const char*>(z) - p);
  const char* cr = static_cast<const char*>(std::memchr(p, '\r', len));
  if (cr == nullptr) return {p, len};
  scratch.resize(len + kSlack);
  size_t out = static_cast<size_t>(cr - p);
  std::memcpy(scratch.data(), p, out);
  for (const char* q = cr + 1; q < p + len; q++) {
    if (*q != '\r') scratch[out++] = *q;
  }
  std::memset(scratch.data() + out, 0, kSlack);
  return {scratch.data(), out};
}

// The text of line j of b as readline gives it (a cleaned line stands in
// scratch).
inline std::string_view line_text(const log_block& b, size_t j, size_t& spi,
                                  std::vector<char>& scratch) {
  size_t at = j == 0 ? 0 : b.ends[j - 1] + 1;
  size_t nl = b.ends[j];
  const char* p = b.text() + at;
  size_t len = nl - at;
  if (dirty(b, spi, at, nl)) return clean(p, len, scratch);
  // A carriage return right before the line end is left out.
  // (An empty line looks at its own line end, never before its start.)
  return {p, len - (static_cast<size_t>(len > 0) &
                    static_cast<size_t>(p[len - static_cast<size_t>(len > 0)] == '\r'))};
}

// Cuts the log into blocks, one after the other, and lists each.  A line
// longer than a block grows its block until it holds a '\n' or the end of
// the log; the bytes after a block's last '\n' are carried into the next.
class block_maker {
 public:
  block_maker(int fd, size_t block) : fd_(fd), block_(block) {}

  // Fills b with the next block.  A read error ends the log as the end of
  // the file does.  stop, when set, cuts a growing block short.
  void make(log_block& b, const std::atomic<bool>& stop) {
    size_t carry = carry_.size();
    size_t want = block_;
    while (want <= carry) want *= 2;
    if (b.cap != want) b.resize(want, 0);
    if (carry > 0) std::memcpy(b.text(), carry_.data(), carry);
    b.base = at_ - carry;
    size_t end = carry;
    bool eof = false;
    for (;;) {
      while (end < b.cap) {
        ssize_t n = ::pread(fd_, b.text() + end, b.cap - end, static_cast<off_t>(at_));
        if (n > 0) {
          end += static_cast<size_t>(n);
          at_ += static_cast<unsigned long>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          eof = true;
          break;
        }
      }
      std::memset(b.text() + end, 0, kSlack);
      list(b, end);
      if (b.lines > 0 || eof || stop.load(std::memory_order_relaxed)) break;
      b.resize(b.cap * 2, end);  // one line fills the block
    }
    b.last = eof || b.lines == 0;
    if (b.last) {
      b.len = end;
      carry_.clear();
    } else {
      b.len = b.ends[b.lines - 1] + 1;
      carry_.assign(b.text() + b.len, b.text() + end);
      while (b.nsp > 0 && b.sp[b.nsp - 1] >= b.len) b.nsp--;
    }
    mark_titles(b);
  }

 private:
  // Lists the line ends and the strays of text()[0, end).  A carriage
  // return in a chunk's last byte is listed whatever follows it; listing
  // one too many only sends its line the slow way.
  void list(log_block& b, size_t end) {
    b.ends.grow(end + kSpare, 0);
    b.sp.grow(end + kSpare, 0);
    size_t full = end / 64;
    size_t rest = end % 64;
    uint64_t keep = rest == 0 ? ~uint64_t{0} : (uint64_t{1} << rest) - 1;
    list_ends got = list_chunks_(b.text(), 0, full + (rest != 0), keep, b.ends.data(), b.sp.data());
    b.lines = static_cast<size_t>(got.ends - b.ends.data());
    b.nsp = static_cast<size_t>(got.odds - b.sp.data());
  }

  // Lists the lines that are titles or Xref: lines, with their forms.
  // maybe_title passes over most lines at a glance; the lines it lets
  // through, and every line with a stray (its columns are not yet where
  // they will be once it is cleaned), are then matched in full.
  void mark_titles(log_block& b) {
    b.cand.grow(b.lines + 1, 0);
    // Locals, so that the stores into the list cannot make the compiler
    // read the block's members again on every line.
    const char* text = b.text();
    const size_t* ends = b.ends.data();
    size_t* out = b.cand.data();
    size_t n = 0;
    size_t at = 0;
    for (size_t j = 0, lines = b.lines; j < lines; j++) {
      size_t nl = ends[j];
      out[n] = j;
      n += static_cast<size_t>(maybe_title({text + at, nl - at}));
      at = nl + 1;
    }
    b.ncand = n;
    if (b.nsp > 0) add_stray_lines(b);
    b.form.grow(b.ncand, 0);
    b.hint.grow(b.ncand, 0);
    size_t* cand = b.cand.data();
    uint8_t* form = b.form.data();
    num_hint* hint = b.hint.data();
    size_t spi = 0;
    n = 0;
    for (size_t k = 0, m = b.ncand; k < m; k++) {
      size_t j = cand[k];
      std::string_view line = line_text(b, j, spi, scratch_);
      form_id f = match_form(line);
      if (f == kNone && !starts_with_nocase(line, "xref:")) continue;
      cand[n] = j;
      form[n] = static_cast<uint8_t>(f);
      hint[n] = {0, 0, 0};
      if ((f == kForum || f == kForumIndented) && j + 1 < b.lines) {
        int num = read_number(from_column(line, static_cast<size_t>(kForms[f].column)));
        std::string_view follow = line_text(b, j + 1, spi, scratch_);
        int parent = follow.size() > 22 ? read_number(follow.substr(23)) : 0;
        hint[n] = {num, parent, static_cast<uint8_t>(read_number(from_column(follow, 1)))};
      }
      n++;
    }
    b.ncand = n;
  }

  // Strays are few, so each is looked up among the line ends rather than
  // tested for on every line.
  static void add_stray_lines(log_block& b) {
    b.merged.grow(b.ncand + b.nsp, 0);
    const size_t* ends = b.ends.data();
    const size_t* cand = b.cand.data();
    size_t* out = b.merged.data();
    size_t n = 0, c = 0;
    for (size_t k = 0; k < b.nsp; k++) {
      // The stray's line is the first whose end lies past it; a stray in
      // the last line of the log belongs to no listed line.
      size_t j = static_cast<size_t>(std::upper_bound(ends, ends + b.lines, b.sp[k]) - ends);
      if (j == b.lines) break;
      while (c < b.ncand && cand[c] < j) out[n++] = cand[c++];
      if (c < b.ncand && cand[c] == j) c++;
      if (n == 0 || out[n - 1] != j) out[n++] = j;
    }
    while (c < b.ncand) out[n++] = cand[c++];
    std::swap(b.cand, b.merged);
    b.ncand = n;
  }

  static constexpr size_t kSpare = 64;  // list entries written past the count

  int fd_;
  size_t block_;
  unsigned long at_ = 0;     // log position of the next read
  std::vector<char> carry_;  // the start of a line the last block cut
  chunk_lister list_chunks_ = pick_lister();
  std::vector<char> scratch_;  // a line with its carriage returns dropped
};

// Default size of a block: small enough to stay in the processor's cache
// between the read that fills it and the passes that follow.
constexpr size_t kBlock = 1 << 18;
size_t block_size = kBlock;

// Hands the blocks to the scan in log order.  A log of more than two
// blocks is cut and listed by a thread of its own while the scan works on
// the blocks before: a few blocks stand ready in a ring, and the thread
// waits while the ring is full.  A smaller log is cut in the caller.
class block_pipe {
 public:
  block_pipe(int fd, long size) : maker_(fd, block_size) {
    if (size <= 0 || static_cast<unsigned long>(size) <= 2 * block_size) return;
    // The thread takes no signal: the run's handlers stay with the caller.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
      thread_ = std::thread([this] { run(); });
      threaded_ = true;
    } catch (const std::system_error&) {
      threaded_ = false;  // no thread to be had: the caller cuts the blocks
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  // The thread may be waiting for room or cutting a block: it is told to
  // stop and waited for, so it never outlives the blocks.  (A run that ends
  // during the scan leaves by exit, which unwinds nothing: the blocks stay
  // where the thread finds them until the process is gone.)
  ~block_pipe() {
    if (!threaded_) return;
    {
      std::lock_guard<std::mutex> hold(m_);
      stop_.store(true, std::memory_order_relaxed);
    }
    room_.notify_one();
    thread_.join();
  }

  block_pipe(const block_pipe&) = delete;
  block_pipe& operator=(const block_pipe&) = delete;

  // Takes back the block the scan is done with (null at the start) and
  // gives the next one; never called again once a block with `last` set has
  // been given.  A failure of the thread (memory for a long line) is thrown
  // here, after the blocks made before it.
  log_block* next(log_block* done) {
    if (!threaded_) {
      maker_.make(slots_[0], stop_);
      return &slots_[0];
    }
    if (done != nullptr) {
      {
        std::lock_guard<std::mutex> hold(m_);
        used_.fetch_add(1, std::memory_order_relaxed);
      }
      room_.notify_one();
    }
    // A block is usually on its way: a short spin spares the sleep and the
    // wake-up of both threads.
    size_t want = used_.load(std::memory_order_relaxed);
    spin([&] { return made_.load(std::memory_order_relaxed) > want; });
    std::unique_lock<std::mutex> hold(m_);
    ready_.wait(hold, [this] { return made_ > used_ || failed_; });
    if (made_ > used_) return &slots_[used_ % kSlots];
    std::rethrow_exception(error_);
  }

 private:
  static constexpr size_t kSlots = 4;

  // Waits a little while, without a system call, for ready() to hold.
  template <class Ready>
  static void spin(Ready ready) {
    for (int i = 0; i < 4096 && !ready(); i++) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }

  void run() {
    try {
      for (;;) {
        size_t n;
        spin([this] {
          return made_.load(std::memory_order_relaxed) - used_.load(std::memory_order_relaxed) <
                 kSlots;
        });
        {
          std::unique_lock<std::mutex> hold(m_);
          room_.wait(hold, [this] { return made_ - used_ < kSlots || stop_.load(); });
          if (stop_.load()) return;
          n = made_;
        }
        log_block& b = slots_[n % kSlots];
        maker_.make(b, stop_);
        {
          std::lock_guard<std::mutex> hold(m_);
          made_.fetch_add(1, std::memory_order_relaxed);
        }
        ready_.notify_one();
        if (b.last) return;
      }
    } catch (...) {
      {
        std::lock_guard<std::mutex> hold(m_);
        error_ = std::current_exception();
        failed_ = true;
      }
      ready_.notify_one();
    }
  }

  block_maker maker_;
  log_block slots_[kSlots];
  bool threaded_ = false;
  std::mutex m_;
  std::condition_variable ready_;  // a block was made, or the thread failed
  std::condition_variable room_;   // a block was given back, or stop
  // Changed under m_ only; read without it while spinning.
  std::atomic<size_t> made_{0};  // blocks made
  std::atomic<size_t> used_{0};  // blocks given back
  bool failed_ = false;
  std::exception_ptr error_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads the log in blocks and hands out one line at a time, with the same
// text readline gives (carriage returns dropped) and the exact byte position
// after each line.  A line may be any length: its block grows to hold it.
//
// next_title() jumps from one listed candidate line to the next; next()
// hands out the line after the last one, as follow-up lines are read.  A
// line handed out stays valid until the next call, and at least kSlack
// bytes may be read past its end (they belong to the next lines or are
// zero).
class log_reader {
 public:
  log_reader(int fd, long size) : pipe_(fd, size) {
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  }

  // The next line; returns '\n' or EOF like readline.
  int next(std::string_view& line) {
    for (;;) {
      if (b_ != nullptr && idx_ < b_->lines) {
        hand_out(idx_, line);
        return '\n';
      }
      if (!advance()) return last(line);
    }
  }

  // The next title or Xref: line (form kNone), passing over the others;
  // EOF when there is none before the end of the log (a last line without
  // '\n' is not examined, as readline reports it with EOF).
  int next_title(std::string_view& line, form_id& form) {
    for (;;) {
      if (b_ != nullptr) {
        const size_t* cand = b_->cand.data();
        while (ci_ < b_->ncand && cand[ci_] < idx_) ci_++;
        if (ci_ < b_->ncand) {
          if (ci_ + kHintAhead < b_->ncand) {
            const num_hint& h = b_->hint[ci_ + kHintAhead];
            if (h.num != 0) thread_index_prefetch_num(h.num, h.group);
            if (h.parent != 0) thread_index_prefetch_num(h.parent, h.group);
          }
          form = static_cast<form_id>(b_->form[ci_]);
          hand_out(cand[ci_++], line);
          return '\n';
        }
        idx_ = b_->lines;
        pos_ = b_->lines > 0 ? b_->ends[b_->lines - 1] + 1 : 0;
      }
      if (!advance()) return last(line);
    }
  }

  // Position in the log right after the last line handed out.
  long tell() const { return b_ == nullptr ? 0 : static_cast<long>(b_->base + pos_); }

 private:
  // How many candidates ahead the reply index's slots are fetched.
  static constexpr size_t kHintAhead = 8;

  // Moves on to the next block; false when the log ends in this one.
  bool advance() {
    if (b_ != nullptr && b_->last) return false;
    b_ = pipe_.next(b_);
    idx_ = ci_ = spi_ = pos_ = 0;
    return true;
  }

  void hand_out(size_t j, std::string_view& line) {
    line = line_text(*b_, j, spi_, scratch_);
    idx_ = j + 1;
    pos_ = b_->ends[j] + 1;
  }

  // The end of the log: whatever follows the last line end, with EOF.
  int last(std::string_view& line) {
    line = clean(b_->text() + pos_, b_->len - pos_, scratch_);
    pos_ = b_->len;
    return EOF;
  }

  block_pipe pipe_;
  log_block* b_ = nullptr;     // the block lines are handed out from
  size_t idx_ = 0;             // next line of it to hand out
  size_t ci_ = 0;              // next candidate to look at
  size_t spi_ = 0;             // first stray not behind the lines handed out
  size_t pos_ = 0;             // start of the next line
  std::vector<char> scratch_;  // a line with its carriage returns dropped
};

// An Xref: line names the article number: the number after the first ':' of
// the "-g" newsgroup's part, or else of the line's third field.
void apply_xref(std::string_view line, int& article, std::string& src, std::string& field) {
  if (gf) {
    size_t at = line.find(newsgrp);
    if (at == std::string_view::npos) return;
    std::string_view rest = line.substr(at);
    size_t colon = rest.find(':');
    if (colon != std::string_view::npos) article = dk_atoi(rest.substr(colon + 1));
    return;
  }
  src.assign(line);
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

// Buffers the scan reuses from title to title, so that a news article or
// an Xref: line costs no allocation once they have grown.
struct scan_buffers {
  std::string text, field, ref, title;
  std::vector<char> jis, sjis;
};

// Decodes a news subject into Shift-JIS, appended to out.
void decode_subject(std::string_view subject, scan_buffers& b, std::string& out) {
  b.text.assign(subject);
  if (b.jis.size() < b.text.size() + 64) b.jis.resize(b.text.size() + 64);
  chg_iso2022(b.text.c_str(), b.jis.data());
  size_t n = std::strlen(b.jis.data());
  if (b.sjis.size() < n + 64) b.sjis.resize(n + 64);
  int state = 0;
  jis2sjis(b.jis.data(), b.sjis.data(), &state);
  out += b.sjis.data();
}

// "%05d: " as printf writes it; returns the length.
size_t article_prefix(int v, char* out) {
  char digits[16];
  size_t n = 0;
  unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  size_t len = 0;
  if (v < 0) out[len++] = '-';
  for (size_t w = n + len; w < 5; w++) out[len++] = '0';
  while (n > 0) out[len++] = digits[--n];
  out[len++] = ':';
  out[len++] = ' ';
  return len;
}

}  // namespace

void scan_use_wide(bool on) { wide_allowed = on; }

void scan_block_bytes(size_t bytes) { block_size = bytes == 0 ? kBlock : (bytes + 63) / 64 * 64; }

// ---- the scan ------------------------------------------------------------------

namespace {

// Entries are entered in the reply index this many titles after they are
// complete, so that the memory of their slots is fetched in the meantime.
constexpr int kIndexLag = 8;

// The scan proper, over a log of `size` bytes positioned at its start.
void scan_titles(FILE* log, title_ent* table, int* count, long size) {
  *count = 0;
  thread_index_reset();
  int article = 0;
  int last_meter = -1;
  long meter_at = 0;  // the first offset at which the meter moves on
  log_reader rd(fileno(log), size);
  std::string_view line;
  std::string work;
  scan_buffers bufs;

  // The table is filled front to back: its pages are made a stretch at a
  // time ahead of the scan, one call instead of a fault per page.
  size_t made = 0;  // entries whose pages exist
  const size_t limit = max_ent > 0 ? static_cast<size_t>(max_ent) : 0;
  form_id form = kNone;
  while (rd.next_title(line, form) != EOF) {
    if (static_cast<size_t>(*count) + 1 > made && made < limit) {
      size_t upto = std::min(limit, made + kPrefaultEntries);
      prefault(table + made, (upto - made) * sizeof(title_ent));
      made = upto;
    }
    if (form == kNone) {
      if (starts_with_nocase(line, "xref:")) apply_xref(line, article, bufs.text, bufs.field);
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
      decode_subject(from_column(line, 9), bufs, work);
      tl = work;
    }

    title_ent e{};
    e.msghead = f.msghead;
    e.kind = 0;
    e.num = read_number(from_column(tl, column));
    if (f.kind != 0) {
      idx = collapse_heading(table, idx, f.kind);
      e.kind = f.kind;
    }
    if (form == kEscapeMarked) {
      std::string_view next;
      rd.next(next);
      size_t paren = next.find('(');
      if (next.size() < 4 || paren == std::string_view::npos) continue;
      e.num = read_number(next.substr(paren + 1));
      tl = next;
      column = 0;
    }
    e.offset = rd.tell();
    // The title is stored before any follow-up line is read: reading one
    // may reuse the bytes the title line stands in.
    if (form != kNewsSubject) e.title = title_store(from_column(tl, column));

    if (form == kForum || form == kForumIndented) {
      std::string_view follow;
      rd.next(follow);
      e.group = static_cast<uint8_t>(read_number(from_column(follow, 1)));
      int parent = follow.size() > 22 ? read_number(follow.substr(23)) : 0;
      table[idx] = e;
      table[idx].depth = parent != 0 ? static_cast<int8_t>(search_and_add(idx, parent)) : 0;
    } else if (form == kEscapeMarked) {
      unsigned sum = 0;
      for (size_t i = 0; i < 3 && i < tl.size() && tl[i] != '('; i++) {
        sum += static_cast<unsigned char>(tl[i]);
      }
      e.group = static_cast<uint8_t>(sum);
      std::string_view reply;
      rd.next(reply);
      int parent = text_at(reply, 0, " <") ? read_number(reply.substr(2)) : 0;
      table[idx] = e;
      table[idx].depth = parent != 0 ? static_cast<int8_t>(search_and_add4sx(idx, parent)) : 0;
    } else if (form == kNewsSubject) {
      // The header block runs to the first line without ':'.
      std::string& ref = bufs.ref;
      ref.clear();
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
          apply_xref(h, article, bufs.text, bufs.field);
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
      char prefix[32];
      bufs.title.assign(prefix, article_prefix(article, prefix));
      bufs.title += from_column(tl, 9);
      table[idx] = e;
      table[idx].title = title_store(bufs.title);
      table[idx].msgid = msgid;
      table[idx].group = 0;
      table[idx].depth = seen_refs ? static_cast<int8_t>(search_and_add4news(idx, ref.data())) : 0;
    } else {
      table[idx] = e;
    }

    // Offsets only grow, so the meter is worked out only when the offset
    // reaches the point where its value changes.
    long offset = table[idx].offset;
    if (offset >= meter_at) {
      int value = size > 0 ? static_cast<int>(offset * 21 / size) : 0;
      if (value != last_meter) {
        if (vf != 1) disp_meter(20, value);
        last_meter = value;
      }
      meter_at = size > 0 ? ((value + 1) * size + 20) / 21 : 0;
    }
    // The entry's slot in the reply index is fetched now and the entry
    // entered some titles later (a search enters every earlier entry first);
    // a collapsed heading takes the index back to where the table ends.
    thread_index_prefetch(idx);
    if (idx < *count) {
      thread_index_cover(idx);
    } else {
      thread_index_catch_up(idx - kIndexLag);
    }
    *count = idx + 1;
  }
  thread_index_cover(*count);
}

}  // namespace

void read_title(FILE* log, title_ent* table, int* count) {
  if (std::fseek(log, 0, SEEK_END) != 0) fatal("dulk : read_title1");
  long size = std::ftell(log);
  if (std::fseek(log, 0, SEEK_SET) != 0) fatal("dulk : read_title2");
  try {
    scan_titles(log, table, count, size);
  } catch (const std::bad_alloc&) {
    // More title text, or a longer line, than memory holds: reported like
    // the scan's other failures, with the terminal given back.
    errno = ENOMEM;
    fatal("dulk : read_title3");
  }
  if (link == 1) make_tentp();
}

}  // namespace dulk
