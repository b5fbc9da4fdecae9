// A tmux server of a test's own, to drive the real program as a person
// would: keys by their names in, the pane's rows out.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty_driver.h"

namespace dulk_test {

struct cmd_result {
  int status = -1;  // -1: the command could not be started
  std::string out;
};

inline cmd_result run_cmd(const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  cmd_result r;
  int fds[2];
  if (::pipe(fds) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  posix_spawn_file_actions_addclose(&fa, fds[1]);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  if (rc == 0) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    int st = 0;
    ::waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  }
  ::close(fds[0]);
  return r;
}

// Reads with get until done holds of what it gave or time runs out.
template <class Get, class Pred>
auto poll(Get get, Pred done, int timeout_ms) -> decltype(get()) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto got = get();
  while (!done(got) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    got = get();
  }
  return got;
}

// A tmux server of the test's own, on a socket in the test's directory, in a
// UTF-8 locale; killed with everything in it at the end.
class tmux_server {
 public:
  explicit tmux_server(const temp_dir& dir)
      : socket_(dir.file("tmux.sock")),
        env_{"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + dir.path(), "LANG=C.UTF-8",
             "TERM=xterm"} {
    dir.write("tmux.conf",
              "set -g status off\n"
              "set -g default-terminal screen\n"
              "set -g remain-on-exit on\n");
    conf_ = dir.file("tmux.conf");
  }
  ~tmux_server() {
    if (started_) run({"kill-server"});
  }
  tmux_server(const tmux_server&) = delete;
  tmux_server& operator=(const tmux_server&) = delete;

  static bool available() {
    return run_cmd({"tmux", "-V"}, {"PATH=/usr/local/bin:/usr/bin:/bin"}).status == 0;
  }

  cmd_result run(std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-u", "-S", socket_, "-f", conf_});
    return run_cmd(args, env_);
  }

  bool start(const std::string& cwd, const std::string& command, int cols, int rows) {
    started_ = true;
    return run({"new-session", "-d", "-s", "t", "-x", std::to_string(cols), "-y",
                std::to_string(rows), "-c", cwd, command})
               .status == 0;
  }

  // Polls the pane until it shows want (its rows from the top, one per line;
  // tmux drops trailing blanks) or time runs out; returns what it showed last.
  std::string wait_screen(const std::string& want, int timeout_ms = 5000) {
    return poll([this] { return capture(); }, [&](const std::string& s) { return s == want; },
                timeout_ms);
  }

  void keys(const std::string& key) { run({"send-keys", "-t", "t", key}); }
  // Text typed as it is, each character its own key.
  void type(const std::string& text) { run({"send-keys", "-t", "t", "-l", text}); }

  // The pane's rows from the top, trailing blanks and empty rows dropped.
  std::string capture() {
    std::string got = run({"capture-pane", "-p", "-t", "t"}).out;
    while (got.size() >= 2 && got.compare(got.size() - 2, 2, "\n\n") == 0) got.pop_back();
    return got;
  }
  std::vector<std::string> rows() {
    std::vector<std::string> r;
    std::string s = capture();
    for (size_t start = 0, nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
      r.push_back(s.substr(start, nl - start));
    return r;
  }

  // Polls the pane until done(rows) holds or time runs out; the rows seen
  // last either way.
  template <class Pred>
  std::vector<std::string> wait_rows(Pred done, int timeout_ms = 5000) {
    return poll([this] { return rows(); }, done, timeout_ms);
  }
  // Polls until some row holds text.
  bool wait_text(const std::string& text, int timeout_ms = 5000) {
    auto got = wait_rows(
        [&](const std::vector<std::string>& r) {
          for (const auto& row : r)
            if (row.find(text) != std::string::npos) return true;
          return false;
        },
        timeout_ms);
    for (const auto& row : got)
      if (row.find(text) != std::string::npos) return true;
    return false;
  }

  std::string pane(const char* format) {
    std::string s = run({"display-message", "-p", "-t", "t", format}).out;
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

  // The screen rows where a red background starts (the cursor bar), polled
  // like the screen until they are want.
  std::vector<int> wait_bar(const std::vector<int>& want, int timeout_ms = 5000) {
    return poll([this] { return bar_rows(); }, [&](const std::vector<int>& r) { return r == want; },
                timeout_ms);
  }

  std::vector<int> bar_rows() {
    std::string out = run({"capture-pane", "-p", "-e", "-t", "t"}).out;
    std::vector<int> rows;
    int row = 0;
    for (size_t start = 0, nl; (nl = out.find('\n', start)) != std::string::npos;
         start = nl + 1, row++) {
      if (out.substr(start, nl - start).find("\033[41m") != std::string::npos) rows.push_back(row);
    }
    return rows;
  }

 private:
  std::string socket_;
  std::string conf_;
  std::vector<std::string> env_;
  bool started_ = false;
};

inline std::string quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace dulk_test
