// The line source the scanner reads the log through.
#pragma once

#include <cstddef>
#include <cstdio>
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
  int next(std::string_view& line);  // '\n', or EOF for the end of the file
  long offset() const;               // file position right after that line

 private:
  bool fill();
  size_t next_of(char c, size_t from, size_t& found, bool& stale) const;
  std::string_view take(size_t from, size_t to);

  FILE* fp_;
  std::vector<char> buf_;
  size_t begin_ = 0;  // start of the next line in buf_
  size_t end_ = 0;    // bytes read into buf_
  long base_ = 0;     // file position of buf_[0]
  size_t cr_ = 0;     // the first '\r' at or after the last line start, or end_
  bool cr_stale_ = true;
  size_t nul_ = 0;  // the same for NUL
  bool nul_stale_ = true;
  bool eof_ = false;
  std::string line_;  // a line with carriage returns inside it, without them
};

}  // namespace dulk
