// Hostile inputs through the real program: each row ends either in a normal
// run (the list is shown and a quit key ends it with status 0) or in a clear
// message and status 1.  In every row the program must not die by a signal,
// hang, or make a sanitizer or valgrind complain, and the read-state file and
// any mailbox must not be damaged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pty_driver.h"

using namespace dulk_test;

namespace {

// Shift-JIS spellings used in the logs below.
const std::string kAngleHeading =
    "\x81\x83\x83\x74\x83\x48\x81\x5b\x83\x89\x83\x80\x81\x84";  // ＜フォーラム＞
const std::string kKanji = "\x93\xfa\x96\x7b";                   // 日本

std::string forum_title(int num, const std::string& subject) {
  char head[32];
  std::snprintf(head, sizeof head, "%05d/%05d ", num, num);
  return head + std::string("ABC00001 name                ") + subject + "\r\n";
}

// The follow-up line of a forum header: room 1, and a parent when not 0.
std::string follow_up(int parent) {
  std::string s = " 1 room               ";  // 22 bytes before column 23
  if (parent != 0) s += std::to_string(parent);
  return s + "\r\n";
}

std::string forum_message(int num, int parent, const std::string& subject) {
  return forum_title(num, subject) + follow_up(parent) + "body of " + subject + "\r\n";
}

// Bytes that look like nothing in particular, the same on every run.
std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

enum class outcome {
  normal,  // the list comes up; the quit key ends the run with status 0
  failure  // a message naming the trouble, status 1
};

struct bad_case {
  const char* name;
  std::function<void(temp_dir&, run_options&)> setup;  // writes files, sets args
  std::string keys;                                    // sent after start-up
  outcome expect;
  std::string message;  // a failure: text the output must hold
  // Files whose bytes must be the same after the run as before it.
  std::vector<std::string> unchanged;
  // Anything else to check afterwards.
  std::function<void(const temp_dir&, const run_result&)> check;
  int timeout_ms = 60000;
};

void expect_clean(const bad_case& c, const run_result& r) {
  EXPECT_NE(r.status, -1) << c.name << ": did not end in time";
  EXPECT_LT(r.status, 128) << c.name << ": ended by signal " << r.status - 128;
  EXPECT_NE(r.status, 99) << c.name << ": valgrind found errors";
  for (const char* bad :
       {"Sanitizer", "runtime error:", "==ERROR", "Invalid read", "Invalid write"}) {
    EXPECT_EQ(r.output.find(bad), std::string::npos) << c.name << ": " << bad << "\n"
                                                     << r.output.substr(0, 4000);
  }
}

void run_case(const bad_case& c) {
  SCOPED_TRACE(c.name);
  temp_dir dir;
  run_options o;
  o.cwd = dir.path();
  c.setup(dir, o);
  std::vector<std::string> before;
  for (const auto& f : c.unchanged) before.push_back(read_file(dir.file(f)));

  run_result r;
  {
    pty_session s(o);
    s.settle(300, c.timeout_ms);
    s.send(c.keys);
    r.status = s.wait_exit(c.timeout_ms);
    r.output = s.output();
  }
  expect_clean(c, r);
  if (c.expect == outcome::normal) {
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("LOG FILE : "), std::string::npos);
  } else {
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output.substr(0, 2000);
  }
  for (size_t i = 0; i < c.unchanged.size(); i++) {
    EXPECT_EQ(read_file(dir.file(c.unchanged[i])), before[i]) << c.unchanged[i] << " changed";
  }
  if (c.check) c.check(dir, r);
}

void log_only(temp_dir& d, run_options& o, const std::string& bytes) {
  d.write("a.log", bytes);
  o.args = {"-v", "a.log"};
}

bool shows(const run_result& r, const std::string& text) {
  return r.output.find(text) != std::string::npos;
}

// A mailbox that cannot be appended to is reported on the message row; the
// next key goes back to the list and the quit stores the flags as usual.
std::function<void(const temp_dir&, const run_result&)> stays_after(const std::string& old,
                                                                    const std::string& message) {
  return [old, message](const temp_dir& d, const run_result& r) {
    EXPECT_NE(r.output.find("\033[2;1H\033[K" + message), std::string::npos)
        << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
    EXPECT_EQ(d.read("dk_readed"), old + "a.log 0\n");
  };
}

// Lines of other logs in a read-state file: nothing this run may touch.
std::string other_logs(size_t bytes) {
  std::string s;
  for (int i = 0; s.size() < bytes; i++) s += "other" + std::to_string(i) + ".log 0101101\n";
  return s;
}

// An editor that changes the script, so that it is kept.
constexpr const char* kEditingEditor = "sed -i 1s/^/x/";

}  // namespace

// Inputs the scanner must take in its stride.
TEST(E2eBadInput, HostileLogs) {
  const std::vector<bad_case> cases = {
      {"a 10 MB title line",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, forum_title(1, std::string(10 << 20, 'a')) + follow_up(0) + "body\r\n");
         o.env["EDITOR"] = kEditingEditor;
       },
       "\rcq",
       outcome::normal,
       "",
       {},
       [](const temp_dir& d, const run_result& r) {
         EXPECT_TRUE(shows(r, "00001/00001 ABC00001"));
         std::string script = d.read("comt0");  // the whole title quoted
         EXPECT_GT(script.size(), size_t{10} << 20);
         EXPECT_EQ(script.substr(script.size() - 6), "/POST\n");
       }},
      {"a 10 MB line that is no title",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, std::string(10 << 20, 'x') + "\n" + forum_message(2, 0, "after"));
       },
       "q",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) { EXPECT_TRUE(shows(r, "00002/00002 ABC00001")); }},
      {"a line of NUL bytes",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, std::string(4096, '\0') + "\n" + forum_message(3, 0, "after nul"));
       },
       "\rcwq",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) { EXPECT_TRUE(shows(r, "after nul")); }},
      {"random binary",
       [](temp_dir& d, run_options& o) { log_only(d, o, noise(1 << 20, 7)); },
       "\rcwjjjj\rcwq",
       outcome::normal,
       "",
       {},
       nullptr},
      {"a log that ends inside a double-byte character",
       [](temp_dir& d, run_options& o) { log_only(d, o, forum_message(4, 0, kKanji) + "\x93"); },
       "q",
       outcome::normal,
       "",
       {},
       nullptr},
      {"a log that ends inside an encoded word",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(5, 0, "first") + "Subject: =?ISO-2022-JP?B?GyRCRnxLXBsoQg");
       },
       "q",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) { EXPECT_TRUE(shows(r, "00005/00005")); }},
      {"an encoded word cut by the end of its header block",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, "Subject: =?ISO-2022-JP?B?GyRCRnxL\nMessage-ID: <a@b>\nXref: h g:1");
       },
       "q",
       outcome::normal,
       "",
       {},
       nullptr},
      {"10,000 headings in a row under a small table",
       [](temp_dir& d, run_options& o) {
         std::string s;
         for (int i = 0; i < 10000; i++) s += kAngleHeading + std::to_string(i) + "\r\n";
         d.write("a.log", s + forum_message(6, 0, "under the headings"));
         o.args = {"-v", "-n", "3", "a.log"};
       },
       "q",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) {
         EXPECT_FALSE(shows(r, "overflow"));
         EXPECT_TRUE(shows(r, "under the headings"));
       }},
      {"a reply chain 200 levels deep, in link mode",
       [](temp_dir& d, run_options& o) {
         std::string s = forum_message(1, 0, "root");
         for (int i = 2; i <= 200; i++) s += forum_message(i, i - 1, "re" + std::to_string(i));
         d.write("a.log", s);
         o.args = {"-v", "-l", "a.log"};
       },
       "lBBq",
       outcome::normal,
       "",
       {},
       nullptr},
      {"an Xref: line of 100,000 fields",
       [](temp_dir& d, run_options& o) {
         std::string x = "Xref: host g1:7";
         for (int i = 2; i <= 100000; i++) x += " g" + std::to_string(i) + ":" + std::to_string(i);
         log_only(d, o, "Subject: wide\n" + x + "\n\nbody\n");
       },
       "q",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) { EXPECT_TRUE(shows(r, "00007: wide")); }},
      {"an Xref: line of 100,000 fields, -g naming the last",
       [](temp_dir& d, run_options& o) {
         std::string x = "Xref: host g1:7";
         for (int i = 2; i <= 100000; i++) x += " g" + std::to_string(i) + ":" + std::to_string(i);
         d.write("a.log", "Subject: wide\n" + x + "\n\nbody\n");
         o.args = {"-v", "-g", "g99999:", "a.log"};
       },
       "q",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) { EXPECT_TRUE(shows(r, "99999: wide")); }},
      {"a References: header of 10,000 continuation lines",
       [](temp_dir& d, run_options& o) {
         std::string s =
             "Subject: parent\nMessage-ID: <p@x>\n\nbody\nSubject: child\nReferences: <z@x>\n";
         for (int i = 0; i < 9999; i++) s += " <q" + std::to_string(i) + "@x>\n";
         s += " <p@x>\nMessage-ID: <c@x>\n\nbody\n";
         d.write("a.log", s);
         o.args = {"-v", "-l", "a.log"};
       },
       "q",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) {
         EXPECT_TRUE(shows(r, "00000: parent"));
         EXPECT_TRUE(shows(r, "00000: child"));
       }},
      {"a -g name of 100 kB",
       [](temp_dir& d, run_options& o) {
         d.write("a.log", "Subject: s\nXref: host g:3\n\nbody\n");
         o.args = {"-v", "-g", std::string(100000, 'g'), "a.log"};
       },
       "q",
       outcome::normal,
       "",
       {},
       [](const temp_dir&, const run_result& r) {
         EXPECT_TRUE(shows(r, "00000: s"));  // the name occurs nowhere
       }},
      {"a signature of long lines full of conversions",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "signed"));
         d.write("sig", std::string(5000, '%') + "Y%c%" + std::string(3000, 'x') + "\n%%\n%");
         o.env["SIGN"] = d.file("sig");
         o.env["EDITOR"] = kEditingEditor;
       },
       "cwq",
       outcome::normal,
       "",
       {},
       [](const temp_dir& d, const run_result&) {
         for (const char* script : {"comt0", "say0"}) {
           std::string s = d.read(script);
           ASSERT_GE(s.size(), size_t{6}) << script;
           EXPECT_EQ(s.substr(s.size() - 6), "/POST\n") << script;
         }
       }},
      {"a log that is a directory",
       [](temp_dir& d, run_options& o) {
         ::mkdir(d.file("a.log").c_str(), 0755);
         o.args = {"-v", "a.log"};
       },
       "q",
       outcome::failure,
       "dulk : open logfile : Is a directory",
       {},
       nullptr},
  };
  for (const auto& c : cases) run_case(c);
}

// The files the viewer writes, where writing fails or the ground shifts.
TEST(E2eBadInput, HostileFiles) {
  const std::string readed = other_logs(3000);
  const std::vector<bad_case> cases = {
      {"a save name of 10 kB",
       [&](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "save me"));
         d.write("dk_readed", readed);
       },
       "s" + std::string(10000, 'a') + "\r q",
       outcome::normal,
       "",
       {},
       stays_after(readed, "add_file : mbox open: File name too long")},
      {"a mailbox that is a directory",
       [&](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "save me"));
         ::mkdir(d.file("box").c_str(), 0755);
         d.write("box/inside", "kept\n");
         d.write("dk_readed", readed);
       },
       "sbox\r q",
       outcome::normal,
       "",
       {"box/inside"},
       [&](const temp_dir& d, const run_result& r) {
         struct stat st;
         EXPECT_TRUE(::stat(d.file("box").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
         stays_after(readed, "add_file : mbox open: Is a directory")(d, r);
       }},
      {"a read-only current directory without a read-state file",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "read only"));
         ::chmod(d.path().c_str(), 0555);
         o.drop_root = true;
       },
       "jq",
       outcome::failure,
       "readed file open: Permission denied",
       {},
       [](const temp_dir& d, const run_result&) { EXPECT_FALSE(d.exists("dk_readed")); }},
      {"a read-only current directory with a read-state file",
       [&](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "read only"));
         d.write("dk_readed", readed + "a.log 1\n");
         ::chmod(d.path().c_str(), 0555);
         o.drop_root = true;
       },
       "jq",
       outcome::failure,
       "readed file open: Permission denied",
       {"dk_readed"},
       nullptr},
      {"a full disk when the read state is stored",
       [&](temp_dir& d, run_options& o) {
         std::string s;
         for (int i = 1; i <= 300; i++) s += forum_message(i, 0, "m" + std::to_string(i));
         log_only(d, o, s);
         d.write("dk_readed", readed);
         o.file_size_limit = static_cast<long>(readed.size()) + 100;
       },
       "q",
       outcome::failure,
       "readed file write: File too large",
       {"dk_readed"},
       nullptr},
      {"a symbolic link planted as the new read-state file",
       [&](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "planted"));
         d.write("victim", "precious\n");
         ::symlink("victim", d.file("dk_rnew").c_str());
         d.write("dk_readed", readed + "a.log 1\n");
       },
       "jq",
       outcome::failure,
       "readed file open: Too many levels of symbolic links",
       {"victim", "dk_readed"},
       nullptr},
      {"a second name of another file planted as the new read-state file",
       [&](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "planted"));
         d.write("victim", "precious\n");
         ::link(d.file("victim").c_str(), d.file("dk_rnew").c_str());
         d.write("dk_readed", readed + "a.log 1\n");
       },
       "jq",
       outcome::failure,
       "readed file open: Too many links",
       {"victim", "dk_readed"},
       nullptr},
      {"a FIFO as the read-state file",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "fifo"));
         ::mkfifo(d.file("dk_readed").c_str(), 0600);
       },
       " q",  // a key for the start-up warning, then the quit
       outcome::failure,
       "readed file open: Illegal seek",
       {},
       nullptr,
       5000},
      {"a link planted as the next script name that leads nowhere",
       [](temp_dir& d, run_options& o) {
         log_only(d, o, forum_message(1, 0, "script"));
         ::symlink("made-by-dulk", d.file("comt0").c_str());
         o.env["EDITOR"] = kEditingEditor;
       },
       "cq",
       outcome::normal,
       "",
       {},
       [](const temp_dir& d, const run_result&) {
         EXPECT_FALSE(d.exists("made-by-dulk"));
         EXPECT_TRUE(d.read("comt1").ends_with("/POST\n"));
       }},
      {"a full disk when a long message is extracted",
       [](temp_dir& d, run_options& o) {
         std::string body;
         while (body.size() < 200000) body += "a line of the body that goes on and on\r\n";
         log_only(d, o, forum_title(1, "long") + follow_up(0) + body);
         o.file_size_limit = 4096;
       },
       "\rq",
       outcome::failure,
       "dulk : write tmp : File too large",
       {},
       nullptr},
  };
  for (const auto& c : cases) run_case(c);
}

// A mailbox on a file system with 8 KiB free takes part of a 21 KiB message,
// then no more: it must be left as long as it was.
TEST(E2eBadInput, MailboxOnAFullFileSystemKeepsItsLength) {
  temp_dir dir;
  const std::string mount_point = dir.file("small");
  ASSERT_EQ(::mkdir(mount_point.c_str(), 0755), 0);
  if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
  }
  struct unmount {
    std::string at;
    ~unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount_at_end{mount_point};
  const std::string mailbox = "From a\n\n";
  dir.write("small/mbox", mailbox);
  dir.write("small/filler", std::string(4096, 'f'));
  std::string body;
  while (body.size() < 21000) body += "a line of a long message that fills the disk\r\n";
  dir.write("a.log", forum_title(1, "long") + follow_up(0) + body);
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  pty_session s(o);
  s.settle(300, 10000);
  s.send("ssmall/mbox\r");
  // The failure is shown and the run goes on: a key, then the quit.
  EXPECT_TRUE(s.wait_for("add_file : mbox write: No space left on device", 10000)) << s.output();
  s.send(" q");
  run_result r{s.wait_exit(20000), s.output()};
  expect_clean({"full file system", nullptr, "", outcome::normal, "", {}, nullptr}, r);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir.read("small/mbox"), mailbox);
}

// Another viewer that never lets go of the read-state lock: a signal still
// ends the quit that waits for it.
TEST(E2eBadInput, SignalEndsTheWaitForTheReadStateLock) {
  temp_dir dir;
  dir.write("a.log", forum_message(1, 0, "locked"));
  dir.write("dk_rnew", "");
  int held = ::open(dir.file("dk_rnew").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  pty_session s(o);
  ASSERT_TRUE(s.wait_for("locked", 10000));
  s.send("q");
  s.settle(500, 5000);
  ::kill(s.pid(), SIGTERM);
  int status = s.wait_exit(5000);
  ::close(held);
  EXPECT_EQ(status, 1) << s.output();
  EXPECT_TRUE(s.output().find("readed file open: Interrupted system call") != std::string::npos);
}

// The log is cut short while the list is up; reading it then must not crash.
TEST(E2eBadInput, LogShrinksBetweenScanAndRead) {
  temp_dir dir;
  std::string s;
  for (int i = 1; i <= 50; i++) s += forum_message(i, 0, "msg" + std::to_string(i));
  dir.write("a.log", s);
  run_options o;
  o.cwd = dir.path();
  o.args = {"-v", "a.log"};
  pty_session p(o);
  ASSERT_TRUE(p.wait_for("msg1", 10000));
  ASSERT_EQ(::truncate(dir.file("a.log").c_str(), 10), 0);
  p.send("jjj\r");
  p.settle(300, 5000);
  p.send("Gk\rq");
  run_result r{p.wait_exit(20000), p.output()};
  bad_case c{"log shrinks", nullptr, "", outcome::normal, "", {}, nullptr};
  expect_clean(c, r);
  EXPECT_EQ(r.status, 0);
}
