// Shared by the fuzz targets: a way through the fatal path that does not end
// the fuzzer, a silent terminal, logs held in memory, and a private directory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "dulk.h"
#include "support.h"

namespace dulk_fuzz {

using dulk_test::exit_called;

// Everything meant for the terminal is counted and dropped; the bytes still
// go through the output layer, so its formatting runs on the fuzzed text.
inline void init_process() {
  static dulk_test::collect_sink sink(false);
  dulk::set_out_sink(&sink);
  dulk::set_exit_hook(dulk_test::throw_on_exit);
}

// A log in an anonymous memory file: a real descriptor that can be positioned
// and read, as the scanner needs, without touching the disk.
inline FILE* memory_log(std::string_view bytes) {
  int fd = ::memfd_create("log", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  FILE* fp = ::fdopen(fd, "rb");
  if (fp == nullptr) std::abort();
  std::rewind(fp);
  return fp;
}

// A directory of this process's own, made once: in memory where there is a
// tmpfs, since the read-state file is synced to disk at every store.
inline const std::string& work_dir() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& dir = *new std::string([] {
    char tmpl[] = "/dev/shm/dulk-fuzz-XXXXXX";
    if (::access("/dev/shm", W_OK) != 0) std::memcpy(tmpl, "/tmp/dulk-fuzz-XXXXXX", 22);
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    std::atexit([] { std::filesystem::remove_all(work_dir()); });
    return std::string(tmpl);
  }());
  return dir;
}

inline std::string read_whole(const std::string& path) {
  std::string s;
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) return s;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) s.append(buf, n);
  std::fclose(fp);
  return s;
}

inline void write_whole(const std::string& path, std::string_view bytes) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), fp);
  std::fclose(fp);
}

// A broken promise of the code under test: report it and stop, so libFuzzer
// keeps the input.
#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

}  // namespace dulk_fuzz

namespace dulk_fuzz {

// What every scan must leave behind, whatever the log: the used part of the
// table ends at the count, offsets stand in log order inside the log,
// headings carry no number, group, depth or message id.
inline void check_table(long log_size) {
  using dulk::tent;
  FUZZ_CHECK(dulk::ent_cnt >= 0 && dulk::ent_cnt <= dulk::max_ent);
  long prev = 0;
  for (int i = 0; i < dulk::ent_cnt; i++) {
    const dulk::title_ent& e = tent[i];
    FUZZ_CHECK(e.title != nullptr);
    FUZZ_CHECK(e.offset > prev && e.offset <= log_size);
    prev = e.offset;
    FUZZ_CHECK(e.kind >= 0 && e.kind <= 2);
    FUZZ_CHECK(e.msghead == 0 || e.msghead == 1);
    FUZZ_CHECK(e.depth >= 0);
    if (e.kind != 0) {
      FUZZ_CHECK(e.num == 0 && e.group == 0 && e.depth == 0 && e.msgid == nullptr);
      FUZZ_CHECK(e.child == nullptr);
    }
    for (const dulk::title_ent* r = e.child; r != nullptr; r = r->next) {
      FUZZ_CHECK(r > &e && r < tent + dulk::ent_cnt);  // a reply follows its parent
      FUZZ_CHECK(r->group == e.group);
    }
  }
  if (dulk::ent_cnt < dulk::max_ent) FUZZ_CHECK(tent[dulk::ent_cnt].title == nullptr);
}

// The thread order, once built, lists every used entry exactly once.
inline void check_thread_order() {
  if (dulk::ent_cnt == 0) {
    FUZZ_CHECK(dulk::max_ent == 0 || dulk::tentp[0] == nullptr);
    return;
  }
  std::string seen(static_cast<size_t>(dulk::ent_cnt), '\0');
  for (int i = 0; i < dulk::ent_cnt; i++) {
    const dulk::title_ent* e = dulk::tentp[i];
    FUZZ_CHECK(e >= dulk::tent && e < dulk::tent + dulk::ent_cnt);
    size_t at = static_cast<size_t>(e - dulk::tent);
    FUZZ_CHECK(seen[at] == 0);
    seen[at] = 1;
  }
}

// Scans bytes as the log with the options given; false when the scan ended
// the run (the overflow message), true with ent_cnt set otherwise.  The log
// stays open as dulk::log_fp until the next scan.
inline bool scan(std::string_view bytes, int capacity, int link_mode, const std::string* group) {
  if (dulk::log_fp != nullptr) std::fclose(dulk::log_fp);
  dulk::reset_state();
  dulk::max_ent = capacity;
  dulk::vf = 0;  // the meter is drawn into the null sink
  dulk::link = link_mode;
  if (group != nullptr) {
    dulk::gf = 1;
    dulk::newsgrp = *group;
  }
  if (!dulk::alloc_tables()) std::abort();
  dulk::log_fp = memory_log(bytes);
  try {
    dulk::read_title(dulk::log_fp, dulk::tent, &dulk::ent_cnt);
  } catch (const exit_called& e) {
    FUZZ_CHECK(e.status == 1);
    return false;
  }
  return true;
}

}  // namespace dulk_fuzz
