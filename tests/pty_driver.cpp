#include "pty_driver.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dulk_test {

namespace fs = std::filesystem;

temp_dir::temp_dir() {
  char tmpl[] = "/tmp/dulk-test-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  // A test may have made the directory read-only; give it back first.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void temp_dir::write(std::string_view name, std::string_view bytes) const {
  write_file(file(name), bytes);
}

std::string temp_dir::read(std::string_view name) const { return read_file(file(name)); }

bool temp_dir::exists(std::string_view name) const {
  struct stat st;
  return ::lstat(file(name).c_str(), &st) == 0;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string dulk_binary() { return DULK_BINARY; }
std::string source_dir() { return DULK_SOURCE_DIR; }

std::string realdata_path(const std::string& rel) {
  return source_dir() + "/../shared/realdata/" + rel;
}

bool under_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

std::vector<std::string> real_mail_files() {
  std::vector<std::string> files;
  std::error_code ec;
  fs::path dir = realdata_path("mail");
  if (!fs::is_directory(dir, ec)) return files;
  for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
    if (e.is_regular_file() && e.path().filename() != "LICENSE") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

pty_session::pty_session(const run_options& options) {
  std::map<std::string, std::string> env = {
      {"TERM", "xterm"}, {"HOME", options.cwd}, {"PATH", "/usr/local/bin:/usr/bin:/bin"},
      {"LANG", "C"},     {"EDITOR", "true"},    {"PAGER", "true"},
  };
  // Sanitizer settings of the test run reach the program under test.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* v = std::getenv(name)) env[name] = v;
  }
  for (const auto& [k, v] : options.env) {
    if (k.empty()) continue;
    if (v == "\x01unset") {
      env.erase(k);
    } else {
      env[k] = v;
    }
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::string prog = dulk_binary();
  std::vector<std::string> words = effective_wrapper(options);
  words.push_back(prog);
  for (const auto& a : options.args) words.push_back(a);
  std::vector<char*> argv;
  for (auto& a : words) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string exe = words.front();
  long fsize = options.file_size_limit;
  bool drop = options.drop_root && ::geteuid() == 0;

  struct winsize ws {};
  ws.ws_row = static_cast<unsigned short>(options.rows);
  ws.ws_col = static_cast<unsigned short>(options.cols);
  pid_ = ::forkpty(&fd_, nullptr, nullptr, &ws);
  if (pid_ < 0) throw std::runtime_error("forkpty failed");
  if (pid_ == 0) {
    if (fsize > 0) {
      ::signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec
      const rlimit rl = {static_cast<rlim_t>(fsize), static_cast<rlim_t>(fsize)};
      if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(125);
    }
    if (drop &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      _exit(124);
    }
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) _exit(126);
    ::execvpe(exe.c_str(), argv.data(), envp.data());  // a wrapper may be a bare name
    _exit(127);
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  scale_ = timeout_scale(options);
}

pty_session::~pty_session() {
  if (pid_ > 0 && status_ == -2) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  if (fd_ >= 0) ::close(fd_);
}

void pty_session::send(std::string_view keys) {
  size_t done = 0;
  while (done < keys.size()) {
    ssize_t n = ::write(fd_, keys.data() + done, keys.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pump(10);
    } else {
      return;
    }
  }
}

bool pty_session::pump(int timeout_ms) {
  struct pollfd p {
    fd_, POLLIN, 0
  };
  int r = ::poll(&p, 1, timeout_ms);
  if (r <= 0) return false;
  char buf[65536];
  bool got = false;
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
      out_.append(buf, static_cast<size_t>(n));
      got = true;
      continue;
    }
    break;
  }
  if (!got && (p.revents & (POLLHUP | POLLERR))) {
    // The other side is gone; wait a little so callers do not spin.
    ::usleep(static_cast<useconds_t>(timeout_ms > 20 ? 20000 : timeout_ms * 1000));
  }
  return got;
}

bool pty_session::wait_for(std::string_view needle, int timeout_ms, size_t from) {
  timeout_ms *= scale_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (out_.size() >= from && out_.find(needle, from) != std::string::npos) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pump(static_cast<int>(left > 50 ? 50 : left));
  }
}

void pty_session::settle(int quiet_ms, int timeout_ms) {
  quiet_ms *= scale_;
  timeout_ms *= scale_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!pump(quiet_ms)) return;
  }
}

int pty_session::wait_exit(int timeout_ms) {
  if (status_ != -2) return status_;
  timeout_ms *= scale_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pump(20);
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      while (pump(20)) {
      }
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &st, 0);
      status_ = -1;
      return status_;
    }
  }
}

std::vector<std::string> effective_wrapper(const run_options& options) {
  if (!options.wrapper.empty()) return options.wrapper;
  std::vector<std::string> words;
  const char* w = std::getenv("DULK_TEST_WRAPPER");
  if (w == nullptr) return words;
  std::istringstream in(w);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

int timeout_scale(const run_options& options) {
  return effective_wrapper(options).empty() ? 1 : 10;
}

run_result run_dulk(const run_options& options, std::string_view keys, int timeout_ms) {
  pty_session s(options);
  s.settle(200, timeout_ms);
  for (char k : keys) {
    s.send(std::string_view(&k, 1));
    s.settle(30, timeout_ms);
  }
  int status = s.wait_exit(timeout_ms);
  return {status, s.output()};
}

}  // namespace dulk_test
