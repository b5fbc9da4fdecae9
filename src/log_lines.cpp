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

log_lines::log_lines(FILE* fp) : fp_(fp), buf_(kBlock) {
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
  if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
  // A whole number of pages goes from the file straight into the block,
  // without a detour through the stream's own buffer.
  size_t want = buf_.size() - end_;
  if (want > kPage) want -= want % kPage;
  size_t n = std::fread(buf_.data() + end_, 1, want, fp_);
  end_ += n;
  cr_stale_ = nul_stale_ = true;  // the bytes moved
  if (n == 0) eof_ = true;
  return n > 0;
}

// The first byte c at or after from, or end_: a search that found nothing
// before the next line needs no repeating for it.
size_t log_lines::next_of(char c, size_t from, size_t& found, bool& stale) const {
  if (stale || found < from) {
    const void* p = std::memchr(buf_.data() + from, c, end_ - from);
    found = p != nullptr ? static_cast<size_t>(static_cast<const char*>(p) - buf_.data()) : end_;
    stale = false;
  }
  return found;
}

// The text of [from, to) up to a NUL, with every '\r' dropped.  A line of a
// capture log usually ends "\r\n", so the carriage return found is mostly
// the last byte.
std::string_view log_lines::take(size_t from, size_t to) {
  to = std::min(to, next_of('\0', from, nul_, nul_stale_));
  next_of('\r', from, cr_, cr_stale_);
  const char* text = buf_.data() + from;
  if (cr_ >= to) return {text, to - from};
  if (cr_ == to - 1) return {text, to - 1 - from};
  line_.assign(text, cr_ - from);
  for (size_t i = cr_ + 1; i < to; i++) {
    if (buf_[i] != '\r') line_.push_back(buf_[i]);
  }
  return line_;
}

int log_lines::next(std::string_view& line) {
  size_t scanned = begin_;  // no '\n' before this
  for (;;) {
    if (const void* nl = std::memchr(buf_.data() + scanned, '\n', end_ - scanned)) {
      size_t at = static_cast<size_t>(static_cast<const char*>(nl) - buf_.data());
      // Most lines of a block hold no '\r' and no NUL: they are handed out
      // as they stand.
      if (!cr_stale_ && !nul_stale_ && at < cr_ && at < nul_) {
        line = {buf_.data() + begin_, at - begin_};
      } else {
        line = take(begin_, at);
      }
      begin_ = at + 1;
      return '\n';
    }
    scanned = end_ - begin_;  // where the kept bytes end once the block moves
    if (!fill()) break;
  }
  line = take(begin_, end_);
  begin_ = end_;
  return EOF;
}

long log_lines::offset() const { return base_ + static_cast<long>(begin_); }

}  // namespace dulk
