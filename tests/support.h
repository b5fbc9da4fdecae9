// What tests, fuzzers and benchmarks share: a sink that collects what the
// output layer writes, an exit hook that throws, a working directory for a
// while, glibc's iconv, the terminal's line ends undone, and a text's lines.
#pragma once

#include <iconv.h>
#include <limits.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dulk.h"

namespace dulk_test {

// Collects every byte written to the terminal; with keep false it only
// counts them (a benchmark or a fuzzer that looks at none).
class collect_sink : public dulk::out_sink {
 public:
  explicit collect_sink(bool keep = true) : keep_(keep) {}
  void write(const char* data, size_t len) override {
    if (keep_) bytes.append(data, len);
    written += len;
  }
  void flush() override {}
  std::string bytes;
  size_t written = 0;

 private:
  bool keep_;
};

// Thrown by the exit hook: the run would have ended here with this status.
struct exit_called {
  int status;
};
[[noreturn]] inline void throw_on_exit(int status) { throw exit_called{status}; }

// The process works in dir for the life of the object, then goes back.
class in_directory {
 public:
  explicit in_directory(const std::string& dir) {
    char buf[PATH_MAX];
    if (::getcwd(buf, sizeof buf) == nullptr) throw std::runtime_error("getcwd");
    old_ = buf;
    if (::chdir(dir.c_str()) != 0) throw std::runtime_error("chdir " + dir);
  }
  ~in_directory() { (void)!::chdir(old_.c_str()); }
  in_directory(const in_directory&) = delete;
  in_directory& operator=(const in_directory&) = delete;

 private:
  std::string old_;
};

// glibc's iconv: conversions nobody on this project wrote, to compare the
// program's own bytes against.  Converts the whole text; out holds what
// converted.  False when the pair is unknown or any byte does not convert.
inline bool iconv_convert(std::string_view in, const char* to, const char* from, std::string& out) {
  out.clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string src(in);
  std::string buf(src.size() * 4 + 16, '\0');
  char* ip = src.data();
  size_t il = src.size();
  char* op = buf.data();
  size_t ol = buf.size();
  bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && il == 0;
  if (ok) ok = iconv(cd, nullptr, nullptr, &op, &ol) != static_cast<size_t>(-1);
  iconv_close(cd);
  out.assign(buf.data(), static_cast<size_t>(op - buf.data()));
  return ok;
}

// UTF-8 text as Shift-JIS (CP932) and back; a text that does not convert is
// a fault of the test itself.
inline std::string sjis(std::string_view utf8) {
  std::string out;
  if (!iconv_convert(utf8, "CP932", "UTF-8", out)) throw std::runtime_error("iconv to CP932");
  return out;
}
inline std::string utf8(std::string_view sjis_text) {
  std::string out;
  if (!iconv_convert(sjis_text, "UTF-8", "CP932", out)) throw std::runtime_error("iconv to UTF-8");
  return out;
}

// Before curses starts the terminal turns "\n" into "\r\n"; the program
// itself writes no "\r" before a line end.
inline std::string undo_crlf(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  return out;
}

// A text's lines as the program reads them: without their '\n', carriage
// returns dropped.  A last line without '\n' is among them only when
// open_tail is given, which then says whether there was one.
inline std::vector<std::string> split_lines(std::string_view text, bool* open_tail = nullptr) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else if (c != '\r') {
      cur.push_back(c);
    }
  }
  const bool open = !text.empty() && text.back() != '\n';
  if (open_tail != nullptr) {
    *open_tail = open;
    if (open) lines.push_back(cur);
  }
  return lines;
}

}  // namespace dulk_test
