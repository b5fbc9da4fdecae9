// The log scanner: one pass over the capture log that recognises title lines
// by their shape, fills the title table, and reads the follow-up lines that
// name a message's parent.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "dulk.h"
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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

// Reads the log in blocks and hands out one line at a time, with the same
// text readline gives (carriage returns dropped) and the exact byte position
// after each line.  A line may be any length: the block grows to hold it.
//
// Each block is read in two quick passes before any line is handed out: the
// line ends, and the rare carriage returns and NULs that stand anywhere but
// right before a line end, are listed from 64-byte bit masks; then every
// line gets the cheap test of maybe_title without a branch, and the lines
// that pass are listed.  next_title() jumps from one listed line to the
// next; next() hands out the line after the last one, as follow-up lines
// are read.  A line handed out stays valid until the next call, and at
// least kSlack bytes may be read past its end (they belong to the next
// lines or are zero).
class log_reader {
 public:
  static constexpr size_t kSlack = 64;

  explicit log_reader(int fd) : fd_(fd), mem_(new char[1 + kBlock + kSlack]), cap_(kBlock) {
    mem_[0] = '\n';  // so the byte before any line can be read
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  }

  // The next line; returns '\n' or EOF like readline.
  int next(std::string_view& line) {
    if (idx_ == nidx_ && !index_more()) return last(line);
    hand_out(idx_, line);
    return '\n';
  }

  // The next line that may be a title or an Xref: line, passing over the
  // others; EOF when there is none before the end of the log (a last line
  // without '\n' is not examined, as readline reports it with EOF).
  int next_title(std::string_view& line) {
    for (;;) {
      while (ci_ < ncand_ && cand_[ci_] < idx_) ci_++;
      if (ci_ < ncand_) {
        hand_out(cand_[ci_++], line);
        return '\n';
      }
      if (nidx_ > 0) pos_ = ends_[nidx_ - 1] + 1;
      idx_ = nidx_;
      if (!index_more()) return last(line);
    }
  }

  // Position in the log right after the last line handed out.
  long tell() const { return static_cast<long>(base_ + pos_); }

 private:
  char* buf() const { return mem_.get() + 1; }

  // Small enough to stay in the processor's cache between the read that
  // fills it and the passes that follow.
  static constexpr size_t kBlock = 1 << 18;

  size_t start_of(size_t j) const { return j == 0 ? first_ : ends_[j - 1] + 1; }

  void hand_out(size_t j, std::string_view& line) {
    size_t at = start_of(j);
    size_t nl = ends_[j];
    idx_ = j + 1;
    pos_ = nl + 1;
    const char* p = buf() + at;
    size_t len = nl - at;
    if (dirty(at, nl)) {
      line = clean(at, len);
    } else {
      // A carriage return right before the line end is left out.
      // (An empty line looks at its own line end, never before its start.)
      line = {p, len - (static_cast<size_t>(len > 0) &
                        static_cast<size_t>(p[len - static_cast<size_t>(len > 0)] == '\r'))};
    }
  }

  // The end of the log: whatever follows the last line end, with EOF.
  int last(std::string_view& line) {
    line = clean(pos_, end_ - pos_);
    pos_ = end_;
    return EOF;
  }

  // True when [at, nl) holds a carriage return (other than one right before
  // nl) or a NUL.  Lines are asked about in order, so the walk is forward.
  bool dirty(size_t at, size_t nl) {
    while (spi_ < nsp_ && sp_[spi_] < at) spi_++;
    return spi_ < nsp_ && sp_[spi_] < nl;
  }

  // Lists the line ends of the bytes not yet handed out, reading more when
  // there are none; false at the end of the log.
  bool index_more() {
    for (;;) {
      idx_ = nidx_ = nsp_ = spi_ = ncand_ = ci_ = 0;
      size_t scan = pos_;  // nothing from here on was handed out
      size_t full = (end_ - scan) / 64 * 64;
      list(scan, full, ~uint64_t{0});
      scan += full;
      if (nidx_ == 0 && !eof_) {
        fill();  // moves the bytes, so the listing starts again
        continue;
      }
      if (nidx_ == 0 && scan < end_) list(scan, 64, (uint64_t{1} << (end_ - scan)) - 1);
      if (nidx_ == 0) return false;
      first_ = pos_;
      mark_titles();
      return true;
    }
  }

  // Lists the line ends and the stray carriage returns and NULs in
  // [from, from + len), keeping the bits a mask selects; len is a multiple
  // of 64.  A carriage return in a chunk's last byte is listed whatever
  // follows it (the next chunk may not be read yet); listing one too many
  // only sends its line the slow way.
  void list(size_t from, size_t len, uint64_t keep) {
    ends_.grow(nidx_ + len + kSpare, nidx_);
    sp_.grow(nsp_ + len + kSpare, nsp_);
    list_ends got =
        list_chunks_(buf(), from, len / 64, keep, ends_.data() + nidx_, sp_.data() + nsp_);
    nidx_ = static_cast<size_t>(got.ends - ends_.data());
    nsp_ = static_cast<size_t>(got.odds - sp_.data());
  }

  // Lists the lines that maybe_title lets through, and every line with a
  // stray carriage return or NUL (its columns are not yet where they will
  // be once it is cleaned).
  void mark_titles() {
    cand_.grow(nidx_, 0);
    // Locals, so that the stores into cand_ cannot make the compiler read
    // the members again on every line.
    const char* text = buf();
    const size_t* ends = ends_.data();
    size_t* out = cand_.data();
    size_t n = 0;
    size_t at = first_;
    for (size_t j = 0, lines = nidx_; j < lines; j++) {
      size_t nl = ends[j];
      out[n] = j;
      n += static_cast<size_t>(maybe_title({text + at, nl - at}));
      at = nl + 1;
    }
    ncand_ = n;
    if (nsp_ > 0) add_stray_lines();
  }

  // Adds the lines that hold a stray carriage return or NUL to the listed
  // ones (their columns are not yet where they will be once the line is
  // cleaned, so the cheap test cannot judge them).  Strays are few, so each
  // is looked up among the line ends rather than tested for on every line.
  void add_stray_lines() {
    merged_.grow(ncand_ + nsp_, 0);
    const size_t* ends = ends_.data();
    size_t* out = merged_.data();
    size_t n = 0, c = 0;
    for (size_t k = 0; k < nsp_; k++) {
      // The stray's line is the first whose end lies past it; one after
      // the last listed line end belongs to a line not yet listed.
      size_t j = static_cast<size_t>(std::upper_bound(ends, ends + nidx_, sp_[k]) - ends);
      if (j == nidx_) break;
      while (c < ncand_ && cand_[c] < j) out[n++] = cand_[c++];
      if (c < ncand_ && cand_[c] == j) c++;
      if (n == 0 || out[n - 1] != j) out[n++] = j;
    }
    while (c < ncand_) out[n++] = cand_[c++];
    std::swap(cand_, merged_);
    ncand_ = n;
  }

  // The careful way: a NUL ends the text of a line, as it ends every C
  // string the line is later handled as, and carriage returns are dropped.
  std::string_view clean(size_t at, size_t len) {
    const char* p = buf() + at;
    if (const void* z = std::memchr(p, '\0', len))
      len = static_cast<size_t>(static_cast<const char*>(z) - p);
    const char* cr = static_cast<const char*>(std::memchr(p, '\r', len));
    if (cr == nullptr) return {p, len};
    scratch_.resize(len + kSlack);
    size_t out = static_cast<size_t>(cr - p);
    std::memcpy(scratch_.data(), p, out);
    for (const char* q = cr + 1; q < p + len; q++) {
      if (*q != '\r') scratch_[out++] = *q;
    }
    std::memset(scratch_.data() + out, 0, kSlack);
    return {scratch_.data(), out};
  }

  // Moves the bytes not yet handed out to the front (growing the block when
  // one line fills it) and reads more; false at the end of the file.
  bool fill() {
    if (pos_ > 0) {
      size_t tail = end_ - pos_;
      std::memmove(buf(), buf() + pos_, tail);
      base_ += pos_;
      end_ = tail;
      pos_ = 0;
    }
    if (end_ == cap_) {
      std::unique_ptr<char[]> bigger(new char[1 + cap_ * 2 + kSlack]);
      bigger[0] = '\n';
      std::memcpy(bigger.get() + 1, buf(), end_);
      mem_ = std::move(bigger);
      cap_ *= 2;
    }
    for (;;) {
      ssize_t n = ::pread(fd_, buf() + end_, cap_ - end_, static_cast<off_t>(base_ + end_));
      if (n > 0) {
        end_ += static_cast<size_t>(n);
        std::memset(buf() + end_, 0, kSlack);
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      eof_ = true;  // a read error ends the log as the end of the file does
      std::memset(buf() + end_, 0, kSlack);
      return false;
    }
  }

  static constexpr size_t kSpare = 64;  // list entries written past the count

  int fd_;
  std::unique_ptr<char[]> mem_;  // one byte, cap_ bytes, kSlack more
  size_t cap_;
  size_t pos_ = 0;          // start of the next line
  size_t end_ = 0;          // end of the bytes read
  unsigned long base_ = 0;  // log position of buf()[0]
  bool eof_ = false;
  size_t first_ = 0;  // start of the first listed line
  chunk_lister list_chunks_ = pick_lister();
  raw_array<size_t> ends_;     // listed line ends, positions in buf()
  size_t idx_ = 0, nidx_ = 0;  // next line to hand out, lines listed
  raw_array<size_t> sp_;       // stray carriage returns and NULs
  size_t spi_ = 0, nsp_ = 0;
  raw_array<size_t> cand_;    // lines maybe_title lets through
  raw_array<size_t> merged_;  // cand_ with the stray lines added
  size_t ci_ = 0, ncand_ = 0;
  std::vector<char> scratch_;  // a line with its carriage returns dropped
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

// ---- the scan ------------------------------------------------------------------

namespace {

// The scan proper, over a log of `size` bytes positioned at its start.
void scan_titles(FILE* log, title_ent* table, int* count, long size) {
  *count = 0;
  thread_index_reset();
  int article = 0;
  int last_meter = -1;
  long meter_at = 0;  // the first offset at which the meter moves on
  log_reader rd(fileno(log));
  std::string_view line;
  std::string work;
  scan_buffers bufs;

  // The table is filled front to back: its pages are made a stretch at a
  // time ahead of the scan, one call instead of a fault per page.
  size_t made = 0;  // entries whose pages exist
  const size_t limit = max_ent > 0 ? static_cast<size_t>(max_ent) : 0;
  while (rd.next_title(line) != EOF) {
    if (static_cast<size_t>(*count) + 1 > made && made < limit) {
      size_t upto = std::min(limit, made + kPrefaultEntries);
      prefault(table + made, (upto - made) * sizeof(title_ent));
      made = upto;
    }
    form_id form = match_form(line);
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
    thread_index_add(idx);
    *count = idx + 1;
  }
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
