// The line source: a file read in large blocks and handed out line by line,
// each line as readline gives it up to its first NUL (a NUL ends the text
// of a line, as it ends every C string a line is handled as), with the
// file position right after it.
// Most of the cost of opening a log is finding its line ends, and glibc's
// memchr finds them many bytes at a time.
#include "log_lines.h"

#include <algorithm>
#include <cstring>

#include "dulk.h"

namespace dulk {

namespace {
constexpr size_t kBlock = size_t{1} << 20;
constexpr size_t kPage = 4096;
}  // namespace

log_lines::log_lines(FILE* fp) : fp_(fp), buf_(kBlock + kPad) {
  long at = std::ftell(fp);
  base_ = at > 0 ? at : 0;
}

// Keeps the unfinished line at the front and reads after it; a line longer
// than the buffer doubles it.  A read error ends the file as its end does.
bool log_lines::fill() {
  if (eof_) return false;
  size_t keep = end_ - begin_;
  if (begin_ > 0) {
    std::memmove(buf_.data(), buf_.data() + begin_, keep);
    base_ += static_cast<long>(begin_);
    begin_ = 0;
    end_ = keep;
  }
  // The last kPad bytes are never read into, so that a look at the first
  // bytes of a line never reaches past the block.
  size_t room = buf_.size() - kPad;
  if (end_ == room) {
    room *= 2;
    buf_.resize(room + kPad);
  }
  // A whole number of pages goes from the file straight into the block,
  // without a detour through the stream's own buffer.
  size_t want = room - end_;
  if (want > kPage) want -= want % kPage;
  size_t n = std::fread(buf_.data() + end_, 1, want, fp_);
  end_ += n;
  marks_stale_ = true;  // the bytes moved
  cr_ = nul_ = 0;
  if (n == 0) eof_ = true;
  return n > 0;
}

// The first byte c at or after from, or end_.
size_t log_lines::find(char c, size_t from) const {
  const void* p = std::memchr(buf_.data() + from, c, end_ - from);
  return p != nullptr ? static_cast<size_t>(static_cast<const char*>(p) - buf_.data()) : end_;
}

// The text of [from, to) up to a NUL, with every '\r' dropped.  Most lines
// hold neither and are handed out as they stand; a line that ends "\r\n"
// loses its last byte, still without a copy.  Only a line with a '\r' inside
// it is copied.
std::string_view log_lines::cut(size_t from, size_t to) {
  if (marks_stale_) {
    cr_ = find('\r', from);
    nul_ = find('\0', from);
    marks_stale_ = false;
  }
  if (cr_ < from) cr_ = find('\r', from);
  if (nul_ < from) nul_ = find('\0', from);
  const char* text = buf_.data() + from;
  if (to <= cr_ && to <= nul_) return {text, to - from};
  if (cr_ + 1 == to && to <= nul_) return {text, to - 1 - from};
  to = std::min(to, nul_);
  line_.clear();
  for (size_t i = from; i < to; i++) {
    if (buf_[i] != '\r') line_.push_back(buf_[i]);
  }
  return line_;
}

// A line the inline path does not hand out: it holds a '\r' or NUL, or
// reaches past the bytes read so far, or the block has just moved.
int log_lines::next_slow(std::string_view& line) {
  size_t scanned = begin_;  // no '\n' before this
  for (;;) {
    if (const void* nl = std::memchr(buf_.data() + scanned, '\n', end_ - scanned)) {
      size_t at = static_cast<size_t>(static_cast<const char*>(nl) - buf_.data());
      start_ = begin_;
      line = cut(begin_, at);
      begin_ = at + 1;
      return '\n';
    }
    scanned = end_ - begin_;  // where the kept bytes end once the block moves
    if (!fill()) break;
  }
  start_ = begin_;
  line = cut(begin_, end_);
  begin_ = end_;
  return EOF;
}

long log_lines::offset() const { return base_ + static_cast<long>(begin_); }

}  // namespace dulk
