// dulk_benchrun DULK RUNS LOG...: for each log, times the whole program
// from start to the first page painted and a quit key, with and without
// "-l", next to `wc -l` on the same file in the same round, and prints one
// table: best of RUNS rounds, warm page cache, peak resident set size.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "dulk.h"
#include "support.h"

namespace {

struct sample {
  double seconds;
  long max_rss_kb;
};

// Runs argv with stdin fed from `input`, stdout and stderr to /dev/null, in
// directory cwd, with only the given environment.
sample run(const std::vector<std::string>& args, const std::string& input, const std::string& cwd,
           const std::vector<std::string>& env) {
  int in[2];
  if (::pipe(in) != 0) throw std::runtime_error("pipe");
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> av;
    for (const auto& a : args) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    std::vector<char*> ev;
    for (const auto& e : env) ev.push_back(const_cast<char*>(e.c_str()));
    ev.push_back(nullptr);
    ::execve(av[0], av.data(), ev.data());
    ::_exit(127);
  }
  ::close(in[0]);
  if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
    // the child may already be gone; its status tells
  }
  ::close(in[1]);
  int status = 0;
  struct rusage ru {};
  while (::wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) throw std::runtime_error("wait4");
  }
  auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("child failed: " + args[0] + " status " + std::to_string(status));
  }
  return {std::chrono::duration<double>(end - start).count(), ru.ru_maxrss};
}

// Counts the titles the scanner finds in the log, growing the table until
// it holds them.
int count_titles(const std::string& path, long size) {
  for (long cap = size / 256 + 1024;; cap *= 2) {
    dulk::reset_state();
    dulk::vf = 1;
    dulk::max_ent = static_cast<int>(std::min<long>(cap, 1L << 30));
    if (!dulk::alloc_tables()) throw std::runtime_error("alloc");
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (fp == nullptr) throw std::runtime_error("open " + path);
    bool overflow = false;
    int count = 0;
    try {
      dulk::read_title(fp, dulk::tent, &count);
    } catch (const dulk_test::exit_called&) {
      overflow = true;
    }
    std::fclose(fp);
    dulk::freex(dulk::tent);
    dulk::reset_state();
    if (!overflow) return count;
  }
}

std::string temp_dir() {
  char tmpl[] = "/tmp/dulk-benchrun-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  return tmpl;
}

std::string human(long bytes) {
  char b[32];
  if (bytes >= (1L << 30)) {
    std::snprintf(b, sizeof b, "%.2f GB", static_cast<double>(bytes) / (1L << 30));
  } else {
    std::snprintf(b, sizeof b, "%.1f MB", static_cast<double>(bytes) / (1L << 20));
  }
  return b;
}

// The searches on one log, best of runs: the title search over every title
// (a pattern that no title holds, so the search goes all the way round) and
// the text search over every message.
void time_searches(const std::string& path, long size, int titles, int runs) {
  dulk::reset_state();
  dulk::vf = 1;
  dulk::max_ent = titles + 16;
  if (!dulk::alloc_tables()) throw std::runtime_error("alloc");
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) throw std::runtime_error("open " + path);
  dulk::read_title(fp, dulk::tent, &dulk::ent_cnt);
  struct pattern {
    const char* what;
    std::string sjis;
  };
  const pattern patterns[] = {
      {"no message holds", "XYZZY"},
      {"many messages hold", "\x90\xe6\x93\xfa\x82\xcc\x8c\x8f"},  // 先日の件
  };
  double best_title = 1e9;
  for (int r = 0; r < runs; r++) {
    auto start = std::chrono::steady_clock::now();
    int found = dulk::find_title(patterns[0].sjis, 0, 1, {});
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (found != -1) throw std::runtime_error("a title holds the absent pattern");
    best_title = std::min(best_title, took.count());
  }
  std::printf("title search %-9s %9d titles %9.3f s  (%.3f s for 1.5 million)\n",
              human(size).c_str(), dulk::ent_cnt, best_title,
              best_title * 1.5e6 / std::max(1, dulk::ent_cnt));
  for (const pattern& p : patterns) {
    double best = 1e9;
    long held = 0;
    for (int r = 0; r < runs; r++) {
      auto start = std::chrono::steady_clock::now();
      auto hits = dulk::message_hits(fp, dulk::tent, dulk::ent_cnt, p.sjis, {});
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      best = std::min(best, took.count());
      held = std::count(hits.begin(), hits.end(), 1);
    }
    std::printf("text search  %-9s %9ld held   %9.3f s %6.2f GB/s  (%s)\n", human(size).c_str(),
                held, best, static_cast<double>(size) / best / 1e9, p.what);
  }
  std::fclose(fp);
  dulk::freex(dulk::tent);
  dulk::reset_state();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: dulk_benchrun DULK RUNS LOG...\n");
    return 2;
  }
  dulk::set_exit_hook(dulk_test::throw_on_exit);
  // The overflow message of a table that is still too small goes nowhere.
  static dulk_test::collect_sink quiet(false);
  dulk::set_out_sink(&quiet);
  std::string dulk_bin = argv[1];
  int runs = std::max(1, std::atoi(argv[2]));
  char real[PATH_MAX];
  if (::realpath(dulk_bin.c_str(), real) != nullptr) dulk_bin = real;
  std::vector<std::string> env = {"TERM=xterm", "LINES=24", "COLUMNS=80", "PATH=/usr/bin:/bin",
                                  "LANG=C"};
  std::string wc = ::access("/usr/bin/wc", X_OK) == 0 ? "/usr/bin/wc" : "/bin/wc";

  std::printf("%-9s %9s %9s %9s %9s %7s %7s %10s %9s %6s\n", "log", "titles", "open s", "open -l s",
              "wc -l s", "ratio", "ratio-l", "titles/s", "peak RSS", "RSS%");
  double prev_open = 0, prev_size = 0;
  std::vector<std::string> notes;
  for (int i = 3; i < argc; i++) {
    std::string log = argv[i];
    if (::realpath(log.c_str(), real) != nullptr) log = real;
    struct stat st {};
    if (::stat(log.c_str(), &st) != 0) {
      std::perror(log.c_str());
      return 1;
    }
    int titles = count_titles(log, st.st_size);
    std::string dir = temp_dir();
    // As a user runs it: no -n, the table grows to what the log holds.
    std::vector<std::string> plain = {dulk_bin, "-v", log};
    std::vector<std::string> linked = {dulk_bin, "-v", "-l", log};
    std::vector<std::string> count_lines = {wc, "-l", log};
    // One round untimed: warms the page cache and leaves the read-state
    // record that every timed run then loads, as a returning user's would.
    run(count_lines, "", dir, env);
    run(plain, "q", dir, env);
    sample best_wc{1e9, 0}, best_plain{1e9, 0}, best_linked{1e9, 0};
    long rss = 0;
    for (int r = 0; r < runs; r++) {
      sample w = run(count_lines, "", dir, env);
      sample p = run(plain, "q", dir, env);
      sample l = run(linked, "q", dir, env);
      best_wc.seconds = std::min(best_wc.seconds, w.seconds);
      best_plain.seconds = std::min(best_plain.seconds, p.seconds);
      best_linked.seconds = std::min(best_linked.seconds, l.seconds);
      rss = std::max({rss, p.max_rss_kb, l.max_rss_kb});
    }
    std::string cleanup = "rm -rf '" + dir + "'";
    if (std::system(cleanup.c_str()) != 0) notes.push_back("could not remove " + dir);
    double size = static_cast<double>(st.st_size);
    std::printf("%-9s %9d %9.3f %9.3f %9.3f %7.2f %7.2f %10.0f %9s %5.1f%%\n",
                human(st.st_size).c_str(), titles, best_plain.seconds, best_linked.seconds,
                best_wc.seconds, best_plain.seconds / best_wc.seconds,
                best_linked.seconds / best_wc.seconds, titles / best_plain.seconds,
                human(rss * 1024).c_str(), 100.0 * static_cast<double>(rss) * 1024 / size);
    if (prev_size > 0) {
      char b[160];
      std::snprintf(b, sizeof b, "%s vs previous: size x%.2f, open time x%.2f",
                    human(st.st_size).c_str(), size / prev_size, best_plain.seconds / prev_open);
      notes.push_back(b);
    }
    prev_size = size;
    prev_open = best_plain.seconds;
    std::fflush(stdout);
  }
  for (int i = 3; i < argc; i++) {
    struct stat st {};
    if (::stat(argv[i], &st) != 0) continue;
    time_searches(argv[i], st.st_size, count_titles(argv[i], st.st_size), runs);
  }
  for (const auto& s : notes) std::printf("%s\n", s.c_str());
  double load[3];
  if (::getloadavg(load, 3) == 3) std::printf("load average at the end: %.2f\n", load[0]);
  return 0;
}
