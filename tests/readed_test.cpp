// The read-state file and the mailbox append, in a temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dulk.h"
#include "pty_driver.h"
#include "support.h"

using dulk_test::read_file;
using dulk_test::temp_dir;
using dulk_test::write_file;

namespace {

using dulk_test::collect_sink;
using dulk_test::exit_called;
using dulk_test::throw_on_exit;

// A table of n entries with the given capacity, every entry unread.
void make_table(int n, int capacity = 5000) {
  dulk::reset_state();
  dulk::max_ent = capacity;
  dulk::alloc_tables();
  for (int i = 0; i < n; i++) dulk::tent[i].title = dulk::title_store("t");
  dulk::ent_cnt = n;
}

std::string flags_of_table() {
  std::string s;
  for (int i = 0; i < dulk::ent_cnt; i++) s += dulk::tent[i].readed ? '1' : '0';
  return s;
}

void set_flags(const std::string& flags) {
  for (size_t i = 0; i < flags.size(); i++) dulk::tent[i].readed = flags[i] == '1';
}

bool exists(const char* name) {
  struct stat st;
  return ::lstat(name, &st) == 0;
}

// Runs in the test's own directory, which it enters and leaves.
class Readed : public ::testing::Test {
 protected:
  void SetUp() override {
    dulk::set_exit_hook(throw_on_exit);
    old_sink_ = dulk::set_out_sink(&sink_);
  }
  void TearDown() override {
    dulk::set_out_sink(old_sink_);
    dulk::set_exit_hook(nullptr);
    dulk::set_scan_done(false);
    dulk::reset_state();
  }

  // Stores and expects success.
  void store(const char* path) {
    errno = 0;
    const char* failed = dulk::store_readed(dulk::tent, path, dulk::ent_cnt);
    EXPECT_EQ(failed, nullptr) << failed << ": " << std::strerror(errno);
  }

  temp_dir dir_;
  dulk_test::in_directory in_dir_{dir_.path()};
  collect_sink sink_;
  dulk::out_sink* old_sink_ = nullptr;
};

TEST_F(Readed, FirstRunWarnsCreatesTheFileAndStoresOneLine) {
  make_table(3);
  dulk::set_readed(dulk::tent, "a.log");
  EXPECT_EQ(sink_.bytes, "Warning : create dk_readed file.\n");
  EXPECT_EQ(flags_of_table(), "000");
  EXPECT_EQ(read_file("dk_readed"), "");
  dulk::tent[1].readed = 1;
  store("a.log");
  EXPECT_EQ(read_file("dk_readed"), "a.log 010\n");
  EXPECT_FALSE(exists("dk_rtmp"));
}

struct state_case {
  const char* name;
  std::string before;  // dk_readed before the run
  const char* path;
  int entries;
  std::string loaded;          // flags after loading
  std::string after;           // dk_readed after the first flag is flipped and stored
  std::string meanwhile = {};  // dk_readed as another viewer of the log left it, if it did
};

TEST_F(Readed, LoadAndStoreOneLogAmongOthers) {
  const std::vector<state_case> cases = {
      {"known_log_keeps_its_place", "x 01\nlog 10\ny 1\n", "log", 2, "10", "x 01\nlog 00\ny 1\n"},
      {"new_log_appended", "x 01\n", "log", 2, "00", "x 01\nlog 10\n"},
      {"first_of_two_lines_loads_both_replaced", "log 01\nx 1\nlog 11\n", "log", 2, "01",
       "log 11\nx 1\nlog 11\n"},
      {"shorter_flags_leave_the_rest_unread", "log 1\n", "log", 3, "100", "log 000\n"},
      {"longer_flags_ignored_and_cut", "log 0101111\n", "log", 3, "010", "log 110\n"},
      {"other_characters_are_unread", "log 1x1\n", "log", 3, "101", "log 001\n"},
      {"empty_table", "log 1\n", "log", 0, "", "log \n"},
      {"longer_path_with_this_prefix", "log.old 111\nlog 01\n", "log", 2, "01",
       "log.old 111\nlog 11\n"},
      {"path_with_blank_not_taken_for_shorter", "a b 11\n", "a", 2, "00", "a b 11\na 10\n"},
      {"path_with_blank_finds_its_own", "a 01\na b 11\n", "a b", 2, "11", "a 01\na b 01\n"},
      {"path_ending_in_blank", "a  11\n", "a ", 2, "11", "a  01\n"},
      {"shorter_path_than_one_ending_in_blank", "a  11\n", "a", 2, "00", "a  11\na 10\n"},
      {"empty_table_line_of_longer_path", "a b \n", "a", 1, "0", "a b \na 1\n"},
      {"own_last_line_without_newline", "x 1\nlog 11", "log", 2, "11", "x 1\nlog 01\n"},
      {"other_last_line_without_newline", "log 1\nx 1", "log", 1, "1", "log 0\nx 1\n"},
      {"carriage_returns_dropped", "log 11\r\nx 0\r\n", "log", 2, "11", "log 01\nx 0\n"},
      {"empty_line_kept", "x 1\n\nlog 1\n", "log", 1, "1", "x 1\n\nlog 0\n"},
      {"others_marks_kept", "log 0000\n", "log", 4, "0000", "log 1011\n", "log 0011\n"},
      {"own_unread_wins_only_for_its_title", "log 1100\n", "log", 4, "1100", "log 0111\n",
       "log 1111\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file("dk_readed", c.before);
    make_table(c.entries);
    dulk::set_readed(dulk::tent, c.path);
    EXPECT_EQ(flags_of_table(), c.loaded);
    if (c.entries > 0) dulk::tent[0].readed ^= 1;
    if (!c.meanwhile.empty()) write_file("dk_readed", c.meanwhile);
    store(c.path);
    EXPECT_EQ(read_file("dk_readed"), c.after);
    EXPECT_FALSE(exists("dk_rtmp"));
  }
  EXPECT_EQ(sink_.bytes, "");
}

TEST_F(Readed, LinesOfAnyLengthHandledWhole) {
  const std::string other = "other " + std::string(100000, '1') + "\n";
  const std::string path(300, 'p');
  std::string flags(9000, '0');
  for (size_t i = 0; i < flags.size(); i += 7) flags[i] = '1';
  write_file("dk_readed", other + path + " " + flags + "\n" + other);
  make_table(8000, 8000);  // a run with a smaller table than the file was written by
  dulk::set_readed(dulk::tent, path.c_str());
  EXPECT_EQ(flags_of_table(), flags.substr(0, 8000));
  store(path.c_str());
  EXPECT_EQ(read_file("dk_readed"), other + path + " " + flags.substr(0, 8000) + "\n" + other);
}

TEST_F(Readed, PathWithLineBreakIsNotStored) {
  write_file("dk_readed", "a\n");
  make_table(1);
  dulk::set_readed(dulk::tent, "a\nb");
  dulk::tent[0].readed = 1;
  store("a\nb");
  EXPECT_EQ(read_file("dk_readed"), "a\n");
}

struct recovery_case {
  const char* name;
  std::optional<std::string> readed;  // nullopt: missing
  std::string rtmp;
  std::string expected;
  const char* loaded;  // the flags of "b" then
};

TEST_F(Readed, InterruptedRewriteRecoveredAtStart) {
  const std::vector<recovery_case> cases = {
      {"readed_missing", std::nullopt, "a 1\nb 01\n", "a 1\nb 01\n", "01"},
      {"readed_empty", "", "a 1\n", "a 1\n", "00"},
      {"readed_cut_mid_line", "a 1\nb 0", "a 1\nb 01\n", "a 1\nb 01\n", "01"},
      {"readed_cut_at_line_end", "a 1\n", "a 1\nb 01\n", "a 1\nb 01\n", "01"},
      {"readed_complete_same_lines", "a 0\nb 11\n", "a 1\nb 01\n", "a 0\nb 11\n", "11"},
      {"readed_complete_with_appended_line", "a 1\nb 01\nc 1\n", "a 1\nb 01\n", "a 1\nb 01\nc 1\n",
       "01"},
      {"both_empty", "", "", "", "00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink("dk_readed");
    if (c.readed) write_file("dk_readed", *c.readed);
    write_file("dk_rtmp", c.rtmp);
    make_table(2);
    dulk::set_readed(dulk::tent, "b");
    EXPECT_EQ(read_file("dk_readed"), c.expected);
    EXPECT_FALSE(exists("dk_rtmp"));
    EXPECT_EQ(flags_of_table(), c.loaded);
  }
  // The old copy left as a second name of the file itself is just removed.
  write_file("dk_readed", "b 1");
  ASSERT_EQ(::link("dk_readed", "dk_rtmp"), 0);
  make_table(1);
  dulk::set_readed(dulk::tent, "b");
  EXPECT_EQ(read_file("dk_readed"), "b 1");
  EXPECT_FALSE(exists("dk_rtmp"));
  EXPECT_EQ(flags_of_table(), "1");
}

// Runs body in a child process with standard output and error in files;
// returns the wait status.  The child ends through the program's own exit.
int in_child(const std::string& out, const std::string& err, void (*body)()) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::alarm(10);  // a start-up that loops forever shows as SIGALRM
    dulk::set_exit_hook(nullptr);
    dulk::set_out_sink(nullptr);
    body();
    ::_exit(99);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

TEST_F(Readed, DirectoryWithoutWriteAccessWarnsOnceAndQuitReportsIt) {
  temp_dir logs;
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
  int status = in_child(logs.file("out"), logs.file("err"), [] {
    // root may write anywhere: the test takes an unprivileged user's place
    if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(98);
    make_table(2);
    dulk::set_readed(dulk::tent, "a.log");
    if (flags_of_table() != "00") ::_exit(97);
    dulk::save_readed(dulk::tent, "a.log", 2);
  });
  ::chmod(dir_.path().c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(read_file(logs.file("out")),
            "Warning : create dk_readed file.\nWarning : dk_readed cannot be written (Permission "
            "denied): the read marks of this run will be lost.\n");
  EXPECT_EQ(read_file(logs.file("err")), "readed file open: Permission denied\n");
  EXPECT_FALSE(exists("dk_readed"));
}

TEST_F(Readed, WriteErrorIsReportedAndOldStateKept) {
  temp_dir logs;
  write_file("dk_readed", "x 1\nlog 1\n");
  int status = in_child(logs.file("out"), logs.file("err"), [] {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &lim);  // a file may not grow past 4 KiB: a full disk
    make_table(20000, 20000);
    dulk::save_readed(dulk::tent, "log", 20000);
  });
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(read_file(logs.file("err")), "readed file write: File too large\n");
  EXPECT_EQ(read_file("dk_readed"), "x 1\nlog 1\n");
  EXPECT_FALSE(exists("dk_rtmp"));
  EXPECT_FALSE(exists("dk_rnew"));
}

TEST_F(Readed, FlagsFileThatFailedToReadIsNeverStoredOver) {
  make_table(3);
  ASSERT_EQ(::mkdir("dk_readed", 0755), 0);  // it opens, and every read fails
  dulk::set_readed(dulk::tent, "log");
  EXPECT_EQ(flags_of_table(), "000");
  // Not taken for a missing file: said to be unkept, not created.
  EXPECT_EQ(sink_.bytes,
            "Warning : dk_readed cannot be written (Is a directory): the read marks of this run "
            "will be lost.\n");

  // The failure passes (a disk that recovers) and the file holds earlier
  // marks: this run's flags, read from nothing, must not replace them.
  ASSERT_EQ(::rmdir("dk_readed"), 0);
  write_file("dk_readed", "log 111\nother 01\n");
  set_flags("100");
  errno = 0;
  EXPECT_STREQ(dulk::store_readed(dulk::tent, "log", 3), "readed file open");
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(read_file("dk_readed"), "log 111\nother 01\n");

  // Once the file has been read, storing works again.
  dulk::set_readed(dulk::tent, "log");
  EXPECT_EQ(flags_of_table(), "111");
  set_flags("110");
  store("log");
  EXPECT_EQ(read_file("dk_readed"), "log 110\nother 01\n");
}

TEST_F(Readed, FatalAfterTheScanStoresTheFlagsFirst) {
  write_file("dk_readed", "x 1\n");
  make_table(3);
  dulk::log_path = "log";
  dulk::set_scan_done(true);
  set_flags("101");
  testing::internal::CaptureStderr();
  try {
    errno = ENOSPC;
    dulk::fatal("dulk : write tmp ");
  } catch (const exit_called& e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "dulk : write tmp : No space left on device\n");
  EXPECT_EQ(read_file("dk_readed"), "x 1\nlog 101\n");

  // When the flags cannot be stored either, both failures are reported.
  ::unlink("dk_readed");
  ASSERT_EQ(::mkdir("dk_readed", 0755), 0);
  testing::internal::CaptureStderr();
  try {
    errno = ENOENT;
    dulk::fatal("add_file : mbox open");
  } catch (const exit_called& e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "add_file : mbox open: No such file or directory\nreaded_tmp open: Is a directory\n");
}

struct planted_case {
  const char* name;
  void (*plant)();     // run after "dk_readed" was written as "b 01\n"
  const char* loaded;  // the flags of "b" after loading
  const char* stored;  // what storing reports: null when stored, else the failure and reason
};

// Names others can plant in a shared directory: nothing is followed to a
// file that is not the user's, nothing waits on a FIFO, and whatever is
// written lands in a new regular "dk_readed" alone.
TEST_F(Readed, PlantedNamesAreNeitherFollowedNorWaitedOn) {
  const planted_case cases[] = {
      {"new_file_is_a_fifo", [] { ::mkfifo("dk_rnew", 0600); }, "01",
       "readed file open: Illegal seek"},
      {"leftover_copy_is_a_fifo", [] { ::mkfifo("dk_rtmp", 0600); }, "01", nullptr},
      {"readed_links_to_own_file",
       [] {
         ::rename("dk_readed", "mine");
         ::symlink("mine", "dk_readed");
       },
       "01", nullptr},
      {"readed_links_to_a_fifo",
       [] {
         ::unlink("dk_readed");
         ::mkfifo("f", 0600);
         ::symlink("f", "dk_readed");
       },
       "00", "readed file open: Illegal seek"},
      {"readed_links_to_another_users_file",
       [] {
         // root owns everything it makes: the file is given away instead
         if (::geteuid() == 0) {
           if (::chown("dk_readed", dulk_test::kNobody, dulk_test::kNobody) != 0) ::_exit(96);
           ::rename("dk_readed", "theirs");
           ::symlink("theirs", "dk_readed");
         } else {
           ::unlink("dk_readed");
           ::symlink("/etc/passwd", "dk_readed");
         }
       },
       "00", "readed file open: Permission denied"},
  };
  temp_dir logs;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : {"dk_readed", "dk_rtmp", "dk_rnew", "mine", "f", "theirs"}) {
      ::unlink(name);
    }
    write_file("dk_readed", "b 01\n");
    c.plant();
    struct stat before, after;
    ASSERT_EQ(::lstat("dk_readed", &before), 0);
    static const planted_case* current;
    current = &c;
    int status = in_child(logs.file("out"), logs.file("err"), [] {
      make_table(2);
      dulk::set_readed(dulk::tent, "b");
      if (flags_of_table() != current->loaded) ::_exit(97);
      dulk::tent[0].readed = 1;
      const char* failed = dulk::store_readed(dulk::tent, "b", 2);
      if (failed != nullptr) std::printf("%s: %s", failed, std::strerror(errno));
      std::fflush(stdout);
      ::_exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;  // SIGALRM: it waited
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::string out = read_file(logs.file("out"));
    const std::string warning = "Warning : create dk_readed file.\n";
    if (out.starts_with(warning)) out.erase(0, warning.size());
    ASSERT_EQ(::lstat("dk_readed", &after), 0);
    if (c.stored == nullptr) {
      EXPECT_EQ(out, "");
      EXPECT_TRUE(S_ISREG(after.st_mode));
      EXPECT_EQ(read_file("dk_readed"), "b 11\n");
    } else {
      // Before it, only start-up's word that the marks cannot be kept.
      ASSERT_TRUE(out.ends_with(c.stored)) << out;
      const std::string before_it = out.substr(0, out.size() - std::strlen(c.stored));
      if (!before_it.empty()) {
        EXPECT_TRUE(before_it.starts_with("Warning : dk_readed cannot be written (")) << out;
      }
      EXPECT_EQ(after.st_ino, before.st_ino) << "dk_readed was replaced";
    }
    for (const char* target : {"mine", "theirs"}) {
      if (exists(target)) {
        EXPECT_EQ(read_file(target), "b 01\n") << target;
      }
    }
  }
}

// A screen write that finds no memory, as a long line converted for the
// screen might.
class no_memory_sink : public dulk::out_sink {
 public:
  void write(const char*, size_t) override { throw std::bad_alloc(); }
  void flush() override {}
};

TEST_F(Readed, MemoryRunningOutInTheViewerStoresTheFlagsFirst) {
  write_file("dk_readed", "x 1\n");
  make_table(3);
  dulk::log_path = "log";
  dulk::env_y = 20;
  dulk::set_scan_done(true);
  set_flags("011");
  no_memory_sink full;
  dulk::set_out_sink(&full);
  testing::internal::CaptureStderr();
  int status = -1;
  try {
    dulk::run_viewer();
  } catch (const exit_called& e) {
    status = e.status;
  }
  dulk::set_out_sink(&sink_);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "dulk : viewer: Cannot allocate memory\n");
  EXPECT_EQ(read_file("dk_readed"), "x 1\nlog 011\n");
}

TEST_F(Readed, AddFileAppendsBytesExactly) {
  const std::string message("title\nbody\0with nul\r\nno newline at end", 37);
  write_file("extract", message);
  dulk::add_file("extract", "mbox");
  dulk::add_file("extract", "mbox");
  EXPECT_EQ(read_file("mbox"), message + message);
  // Appending a file to itself ends, with two copies.
  dulk::add_file("mbox", "mbox");
  EXPECT_EQ(read_file("mbox"), message + message + message + message);
}

TEST_F(Readed, AddFileFailures) {
  write_file("extract", "x\n");
  std::string long_message;
  while (long_message.size() < 100000) long_message += "a line of a long message\n";
  write_file("long", long_message);
  write_file("mbox", "From a\n\n");
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  const std::string long_name(300, 'm');
  struct failure_case {
    const char* name;
    const char* src;
    const char* dst;
    const char* message;
    rlim_t file_limit = RLIM_INFINITY;  // largest file that may be written
  };
  const failure_case cases[] = {
      {"source_missing", "missing", "mbox", "add_file : tmpfile open: No such file or directory\n"},
      {"empty_target", "extract", "", "add_file : mbox open: No such file or directory\n"},
      {"full_disk", "extract", "/dev/full", "add_file : mbox write: No space left on device\n"},
      {"name_too_long", "extract", long_name.c_str(), "add_file : mbox open: File name too long\n"},
      {"fifo_without_reader", "extract", "pipe",
       "add_file : mbox open: No such device or address\n"},
      // The message fits in part: the mailbox goes back to its old length.
      {"full_in_the_middle", "long", "mbox", "add_file : mbox write: File too large\n", 4096},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = read_file("mbox");
    struct rlimit old_limit;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = c.file_limit;
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    errno = 0;
    const char* failed = dulk::add_file(c.src, c.dst);
    const int why = errno;
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::signal(SIGXFSZ, old_handler);
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(std::string(failed) + ": " + std::strerror(why) + "\n", c.message);
    EXPECT_EQ(read_file("mbox"), before);
  }
}

// Viewers of different logs quitting at the same time each keep the lines
// the others stored: the rewrites take turns instead of undoing each other.
TEST_F(Readed, ConcurrentQuitsLoseNoLine) {
  write_file("dk_readed", "old 1\n");
  make_table(500);
  std::vector<pid_t> children;
  for (int c = 0; c < 6; c++) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      std::string path = "log" + std::to_string(c);
      for (int round = 0; round < 15; round++) {
        if (dulk::store_readed(dulk::tent, path.c_str(), 500) != nullptr) ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string got = read_file("dk_readed");
  EXPECT_EQ(got.substr(0, 6), "old 1\n");
  for (int c = 0; c < 6; c++) {
    std::string line = "log" + std::to_string(c) + " " + std::string(500, '0') + "\n";
    size_t at = got.find(line);
    EXPECT_NE(at, std::string::npos) << c;
    EXPECT_EQ(got.find(line, at + 1), std::string::npos) << c;
  }
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 7);
}

// Kills a process at random moments while it rewrites a large file again and
// again, alternating two states of one log; after every kill a new start must
// find one of the two whole files.  DULK_KILLS sets the number of kills.
TEST_F(Readed, KilledRewriteLeavesOldOrNewState) {
  int kills = 200;
  if (const char* k = std::getenv("DULK_KILLS")) kills = std::atoi(k);
  constexpr int kEntries = 2000;
  std::string flags_a(kEntries, '0'), flags_b(kEntries, '0');
  for (int i = 0; i < kEntries; i++) {
    if (i % 3 == 0) flags_a[i] = '1';
    if (i % 5 == 0) flags_b[i] = '1';
  }
  std::string before, after;
  for (int i = 0; i < 3000; i++) {
    before +=
        "logs/other" + std::to_string(i) + ".log " + std::string(60, i % 2 ? '1' : '0') + "\n";
    if (i == 1500) before += "log " + flags_a + "\n";
  }
  after = before;
  after.replace(after.find("log " + flags_a), 4 + kEntries, "log " + flags_b);
  write_file("dk_readed", before);

  make_table(kEntries);
  auto t0 = std::chrono::steady_clock::now();
  set_flags(flags_a);
  store("log");
  long save_us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  ASSERT_EQ(read_file("dk_readed"), before);

  std::mt19937 rng(20261208);
  int saw_old = 0, saw_new = 0, saw_backup = 0;
  for (int k = 0; k < kills; k++) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      for (;;) {
        set_flags(flags_b);
        if (dulk::store_readed(dulk::tent, "log", kEntries) != nullptr) ::_exit(2);
        set_flags(flags_a);
        if (dulk::store_readed(dulk::tent, "log", kEntries) != nullptr) ::_exit(2);
      }
    }
    ::usleep(static_cast<useconds_t>(rng() % (3 * save_us + 1000)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "kill " << k << ": the writer failed";
    saw_backup += exists("dk_rtmp");

    make_table(kEntries);
    dulk::set_readed(dulk::tent, "log");
    std::string got = read_file("dk_readed");
    std::string loaded = flags_of_table();
    ASSERT_TRUE(got == before || got == after)
        << "kill " << k << ": file of " << got.size() << " bytes";
    ASSERT_EQ(loaded, got == before ? flags_a : flags_b) << "kill " << k;
    ASSERT_FALSE(exists("dk_rtmp")) << "kill " << k;
    (got == before ? saw_old : saw_new)++;
    // The next round starts from the old state again.
    if (got == after) write_file("dk_readed", before);
  }
  RecordProperty("save_us", static_cast<int>(save_us));
  RecordProperty("kills", kills);
  std::printf("%d kills (one save %ld us): %d left the old state, %d the new, %d a backup\n", kills,
              save_us, saw_old, saw_new, saw_backup);
}

}  // namespace
