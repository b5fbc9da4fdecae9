// The line source the scanner reads the log through.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace dulk {

// The lines of a file, read from where it stands in large blocks, each as
// readline gives it up to its first NUL; a line stays valid until the next
// call.
class log_lines {
 public:
  explicit log_lines(FILE* fp);
  // '\n', or EOF for the end of the file.  Most lines hold no '\r' and no
  // NUL, or a '\r' only right before their '\n': they are handed out as
  // they stand, after one search for the '\n' (and for the next '\r' after
  // a line that ends "\r\n").
  int next(std::string_view& line) {
    if (const void* nl = std::memchr(buf_.data() + begin_, '\n', end_ - begin_)) {
      size_t at = static_cast<size_t>(static_cast<const char*>(nl) - buf_.data());
      start_ = begin_;
      if (at < cr_ && at < nul_) {
        line = {buf_.data() + begin_, at - begin_};
        begin_ = at + 1;
        return '\n';
      }
      if (cr_ + 1 == at && cr_ >= begin_ && at < nul_) {
        line = {buf_.data() + begin_, cr_ - begin_};
        begin_ = at + 1;
        cr_ = find('\r', begin_);
        return '\n';
      }
    }
    return next_slow(line);
  }
  // The next line that keep(raw, size) does not rule out, the lines before
  // it passed over without being looked at further.  keep sees a line's
  // bytes as they stand in the file, '\r' and NUL included, with at least
  // kPad bytes readable at raw; it must keep every line whose text (as next
  // gives it) could matter.  A line reaching past the bytes read so far is
  // handed out whatever keep says.
  template <class Keep>
  int next_kept(std::string_view& line, Keep keep) {
    const char* d = buf_.data();
    size_t b = begin_;
    while (const void* nl = std::memchr(d + b, '\n', end_ - b)) {
      size_t at = static_cast<size_t>(static_cast<const char*>(nl) - d);
      if (keep(d + b, at - b)) {
        start_ = b;
        line = cut(b, at);
        begin_ = at + 1;
        return '\n';
      }
      b = at + 1;
    }
    begin_ = b;
    return next(line);
  }
  long offset() const;  // file position right after that line
  long start() const { return base_ + static_cast<long>(start_); }  // and where it began
  static constexpr size_t kPad = 8;

 private:
  int next_slow(std::string_view& line);
  bool fill();
  size_t find(char c, size_t from) const;
  std::string_view cut(size_t from, size_t to);

  FILE* fp_;
  std::vector<char> buf_;
  size_t begin_ = 0;  // start of the next line in buf_
  size_t start_ = 0;  // start of the line last handed out
  size_t end_ = 0;    // bytes read into buf_
  long base_ = 0;     // file position of buf_[0]
  // The first '\r' and the first NUL at or after a line start already
  // handed out (end_ when there is none).  When the block moves they are
  // stale, and 0 sends the next line to the slow path.
  size_t cr_ = 0;
  size_t nul_ = 0;
  bool marks_stale_ = true;
  bool eof_ = false;
  std::string line_;  // a line with carriage returns inside it, without them
};

}  // namespace dulk
