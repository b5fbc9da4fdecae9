// Runs build/dulk in a pseudo-terminal: keys in, the byte stream, the files
// it leaves and its exit status out.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace dulk_test {

// A fresh directory under /tmp, removed with everything in it.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  void write(std::string_view name, std::string_view bytes) const;
  std::string read(std::string_view name) const;
  bool exists(std::string_view name) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);

// Path of the program under test (the build this test binary belongs to).
std::string dulk_binary();
// The source tree (for examples/ and ../shared).
std::string source_dir();
// A path under ../shared/realdata, the texts written elsewhere.
std::string realdata_path(const std::string& rel);
// Every real mail under realdata/mail, sorted; empty when the folder is absent.
std::vector<std::string> real_mail_files();
// True under CI (CI=true), where the real texts must be there.
bool under_ci();

// A test of real texts skips, with a message, where they are absent, and
// fails where they must be there.
#define SKIP_OR_FAIL_WITHOUT_REALDATA(absent, message)             \
  do {                                                             \
    if (absent) {                                                  \
      if (dulk_test::under_ci()) FAIL() << message << " under CI"; \
      GTEST_SKIP() << message;                                     \
    }                                                              \
  } while (0)

struct run_options {
  std::vector<std::string> args;           // after the program name
  std::string cwd;                         // working directory
  std::map<std::string, std::string> env;  // added to the fixed base
  int rows = 24;
  int cols = 80;
  // Largest file the program may write (RLIMIT_FSIZE), 0 for no limit.  The
  // signal a write past it would raise is ignored, so the write fails the
  // way it does on a full disk.
  long file_size_limit = 0;
  // Run as an unprivileged user when the tests run as root, so that file
  // permissions count.
  bool drop_root = false;
  // A command the program is run under (valgrind, say).  When empty, the
  // words of DULK_TEST_WRAPPER are used, if that is set; every wait of the
  // session then grows tenfold.
  std::vector<std::string> wrapper;
};

// The wrapper a run will use: options.wrapper, or DULK_TEST_WRAPPER's words.
std::vector<std::string> effective_wrapper(const run_options& options);
// How much slower a run under a wrapper is allowed to be.
int timeout_scale(const run_options& options);
// The user a dropped run becomes (nobody).
inline constexpr unsigned kNobody = 65534;

class pty_session {
 public:
  // The environment holds only TERM=xterm, HOME=cwd, PATH, LANG=C, EDITOR and
  // PAGER set to "true", plus what options.env adds or overrides; an entry
  // with an empty name is ignored, one whose value is "\x01unset" is removed.
  explicit pty_session(const run_options& options);
  ~pty_session();
  pty_session(const pty_session&) = delete;
  pty_session& operator=(const pty_session&) = delete;

  void send(std::string_view keys);
  // Reads until the output from `from` on holds needle; false on timeout.
  bool wait_for(std::string_view needle, int timeout_ms = 5000, size_t from = 0);
  // Reads until nothing arrives for quiet_ms.
  void settle(int quiet_ms = 150, int timeout_ms = 5000);
  // Waits for the process to end; its exit status, 128+signal when killed by
  // one, or -1 when it did not end in time (it is then killed).
  int wait_exit(int timeout_ms = 10000);
  const std::string& output() const { return out_; }
  size_t mark() const { return out_.size(); }
  pid_t pid() const { return pid_; }

 private:
  bool pump(int timeout_ms);  // false when nothing came in that time
  int fd_ = -1;
  pid_t pid_ = -1;
  int status_ = -2;
  int scale_ = 1;  // every wait is this many times longer under a wrapper
  std::string out_;
};

// The bytes a terminal that turns every line end into "\r\n" passes on for
// what the program wrote.
inline std::string crlf(std::string_view written) {
  std::string out;
  for (char c : written) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Runs to completion with the given keys sent after start; returns status.
struct run_result {
  int status;
  std::string output;
};
run_result run_dulk(const run_options& options, std::string_view keys, int timeout_ms = 10000);

}  // namespace dulk_test
