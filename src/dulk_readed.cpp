// The read state kept in "dk_readed" (recovered, loaded and stored), the
// mailbox a message is appended to, and marking many titles at once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dulk.h"

namespace dulk {

// "dk_readed" holds one line per log: the path as typed, a space, then one
// '0' or '1' per title.  It is only ever replaced whole, by renaming a fully
// written and fsynced "dk_rnew" over it, so a run killed at any moment leaves
// either the old file or the new one.  While the new one is written the old
// contents also stand under "dk_rtmp" (a hard link), the name under which
// an interrupted rewrite has always left them; a "dk_rtmp" found at start-up
// is restored when "dk_readed" is missing or incomplete, and removed
// otherwise.  A rewrite never drops a line (matching lines are replaced one
// for one, and a new log's line is appended), so "dk_readed" is incomplete
// when it has fewer lines than "dk_rtmp" or its last line has no newline.

namespace {

constexpr const char* kReadedNew = "dk_rnew";

// What loading the read flags found out about storing them; a session
// starts from a fresh value.
struct readed_state {
  // Why the flags of this run could not be read from "dk_readed" (0 when
  // they were, or when there was nothing to read): storing them then would
  // put flags read from nothing over marks the file holds.
  int unread_errno = 0;
  // Set when start-up found that the read flags of this run cannot be stored.
  bool unkept = false;
  // The flags as loaded (0 or 1 per entry) for loaded_path, so that a store
  // writes only what this run changed over what others stored meanwhile.
  // Without them (nothing loaded, or a table scanned afresh) this run's
  // flags are written whole.
  bool loaded_known = false;
  std::string loaded_path;
  std::vector<int8_t> loaded;
};
readed_state rs;

// A path with a line break in it cannot have a line of its own in the file
// (and "\r" is dropped on reading): its read state is not stored.
bool storable(std::string_view path) { return path.find_first_of("\r\n") == path.npos; }

// The line of this path: the path, a space, then the flags.  Flags are never
// blanks, so a line with a further blank belongs to a longer path that has a
// blank in it ("a b 0101" is not the line of "a").
bool line_of(std::string_view line, std::string_view path) {
  return line.size() > path.size() && line.starts_with(path) && line[path.size()] == ' ' &&
         line.find(' ', path.size() + 1) == line.npos;
}

// Calls f for every line of fp, a last line without a newline included,
// until f returns false.  False when reading failed.
template <typename F>
bool each_line(FILE* fp, F f) {
  std::string line;
  for (;;) {
    int end = readline(fp, line);
    if (end == EOF && std::ferror(fp)) return false;
    if (end == EOF && line.empty()) return true;
    if (!f(line) || end == EOF) return std::ferror(fp) == 0;
  }
}

// The line of path to store: the flag of every entry this run changed since
// it loaded them, and for every other one the flag of the stored line
// (flags, after its path and space).
std::string merged_line(const title_ent* table, const char* path, int count,
                        std::string_view flags) {
  const bool merge = rs.loaded_known && rs.loaded_path == path;
  std::string mine(path);
  mine += ' ';
  for (int i = 0; i < count; i++) {
    const size_t at = static_cast<size_t>(i);
    const int8_t was = at < rs.loaded.size() ? rs.loaded[at] : 0;
    const bool own = !merge || (table[i].readed != 0) != (was != 0);
    mine += (own ? table[i].readed != 0 : at < flags.size() && flags[at] == '1') ? '1' : '0';
  }
  return mine + '\n';
}

// Entries in use: up to the first one without a title, at most max_ent.
int used_entries(const title_ent* table) {
  int n = 0;
  while (n < max_ent && table[n].title != nullptr) n++;
  return n;
}

struct line_count {
  bool exists = false;
  bool readable = false;
  size_t lines = 0;          // a last line without a newline counts
  bool ends_newline = true;  // also for an empty file
};

line_count count_lines(const char* name) {
  line_count r;
  file_ptr fp(open_regular(name, true));
  if (!fp) {
    r.exists = errno != ENOENT;
    return r;
  }
  r.exists = true;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp.get())) > 0) {
    for (size_t i = 0; i < n; i++) r.lines += buf[i] == '\n';
    r.ends_newline = buf[n - 1] == '\n';
  }
  if (!r.ends_newline) r.lines++;
  r.readable = std::ferror(fp.get()) == 0;
  return r;
}

// Puts back the old contents of an interrupted rewrite (see above).
void recover_readed() {
  line_count old = count_lines(kReadedTmp);
  if (!old.exists) return;
  line_count cur = count_lines(kReadedFile);
  if (!old.readable || (cur.exists && !cur.readable)) return;  // cannot judge: touch nothing
  bool complete = cur.exists && cur.ends_newline && cur.lines >= old.lines;
  // Renaming one hard link over another of the same file changes nothing, so
  // the name is removed in any case once the contents are in place.
  if (!complete && std::rename(kReadedTmp, kReadedFile) != 0) return;
  ::unlink(kReadedTmp);
}

// Opens "dk_rnew" locked, so that viewers quitting at the same time take
// turns; a name that changed while we waited (the other viewer renamed it
// into place) is opened afresh.  A file left by a killed run is reused.
// What someone planted under the name (a link, a FIFO, a second name of
// another file) is refused and never written.  A signal that ends the run
// ends the wait for the lock.
int open_new_locked() {
  for (int tries = 0;; tries++) {
    int fd = open_own_file(kReadedNew);
    if (fd < 0) {
      // What was opened may have become "dk_readed" under another viewer's
      // quit, and have gained the backup's second name, before it was looked
      // at: the name is opened again unless it still names a file with two.
      const int e = errno;
      struct stat now;
      if (e == EMLINK && tries < 1000 && (::lstat(kReadedNew, &now) != 0 || now.st_nlink == 1)) {
        continue;
      }
      errno = e;
      return -1;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR && !stop_requested()) {
    }
    struct stat held, named;
    if (rc == 0 && ::fstat(fd, &held) == 0 && held.st_nlink == 1 &&
        ::lstat(kReadedNew, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      if (::ftruncate(fd, 0) == 0) return fd;
      return close_keeping_errno(fd);
    }
    if (rc != 0) return close_keeping_errno(fd);
    ::close(fd);
  }
}

}  // namespace

// On failure the old file is left as it was.
const char* store_readed(const title_ent* table, const char* path, int count) {
  if (!storable(path)) return nullptr;
  if (rs.unread_errno != 0) {
    errno = rs.unread_errno;
    return "readed file open";
  }
  unique_fd lock(open_new_locked());
  if (lock.get() < 0) return "readed file open";

  const char* failed = nullptr;
  bool linked = false;
  auto fail = [&failed, &linked](const char* what) {
    int e = errno;
    if (linked) ::unlink(kReadedTmp);
    ::unlink(kReadedNew);
    errno = e;
    failed = what;
  };

  file_ptr old(open_regular(kReadedFile, true));
  if (!old && errno != ENOENT) {
    fail("readed_tmp open");
    return failed;
  }
  if (old) {
    struct stat st;
    if (::fstat(fileno(old.get()), &st) == 0 && S_ISREG(st.st_mode))
      ::fchmod(lock.get(), st.st_mode & 07777);
    ::unlink(kReadedTmp);
    // Without hard links there is no copy; the rename below still guards.
    linked = ::link(kReadedFile, kReadedTmp) == 0;
  }

  int out_fd = ::dup(lock.get());
  file_ptr out(out_fd >= 0 ? ::fdopen(out_fd, "wb") : nullptr);
  if (!out) {
    if (out_fd >= 0) ::close(out_fd);
    fail("readed file open");
    return failed;
  }

  // The stored line is read again under the lock: another viewer of the
  // log may have quit since this one loaded it.  The first one decides.
  std::string mine;
  bool matched = false;
  if (old) {
    bool read = each_line(old.get(), [&](const std::string& line) {
      if (line_of(line, path)) {
        if (!matched)
          mine = merged_line(table, path, count, from_column(line, std::strlen(path) + 1));
        std::fwrite(mine.data(), 1, mine.size(), out.get());
        matched = true;
      } else {
        std::fwrite(line.data(), 1, line.size(), out.get());
        std::fputc('\n', out.get());
      }
      return true;
    });
    if (!read) {
      fail("readed_tmp open");
      return failed;
    }
  }
  if (!matched) {
    mine = merged_line(table, path, count, {});
    std::fwrite(mine.data(), 1, mine.size(), out.get());
  }

  if (std::fflush(out.get()) != 0 || std::ferror(out.get()) || ::fsync(lock.get()) != 0 ||
      std::fclose(out.release()) != 0) {
    fail("readed file write");
    return failed;
  }
  if (std::rename(kReadedNew, kReadedFile) != 0) {
    fail("readed file rename");
    return failed;
  }
  sync_directory();
  ::unlink(kReadedTmp);
  return nullptr;
}

bool readed_unkept() { return rs.unkept; }

void readed_forget_loaded() { rs.loaded_known = false; }

void reset_readed_state() { rs = readed_state{}; }

void set_readed(title_ent* table, const char* path) {
  rs = readed_state{};
  recover_readed();
  file_ptr fp(open_regular(kReadedFile, true));
  int unkept = 0;  // why the flags of this run cannot be stored, when they cannot
  if (!fp && errno != ENOENT) {
    // There, but no file of ours to read (a directory, a FIFO, another
    // user's file behind a link): every title starts unread, and nothing is
    // ever stored over it.
    unkept = rs.unread_errno = errno;
  } else if (!fp) {
    out_printf("Warning : create %s file.\n", kReadedFile);
    // Only a missing file is made, never one planted in the meantime; a
    // link that leads nowhere is replaced by the quit's rename.
    int fd = ::open(kReadedFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
    } else if (errno != EEXIST) {
      unkept = errno;
    }
    fp.reset(open_regular(kReadedFile, true));
  }
  // Storing writes a new file beside it and renames it into place, so the
  // directory must be writable (a name that is no file was refused above).
  if (unkept == 0 && ::access(".", W_OK) != 0) unkept = errno;
  if (unkept != 0) {
    out_printf("Warning : %s cannot be written (%s): the read marks of this run will be lost.\n",
               kReadedFile, std::strerror(unkept));
    rs.unkept = true;
  }
  if (!fp) return;
  if (!storable(path)) return;
  const int n = used_entries(table);
  bool read = each_line(fp.get(), [&](const std::string& line) {
    if (!line_of(line, path)) return true;
    std::string_view flags = std::string_view(line).substr(std::strlen(path) + 1);
    for (size_t i = 0; i < flags.size() && i < static_cast<size_t>(n); i++) {
      if (flags[i] == '1') table[i].readed = 1;
    }
    return false;
  });
  if (!read) {
    rs.unread_errno = errno != 0 ? errno : EIO;
    return;  // every title starts unread, and nothing is stored over the file
  }
  rs.loaded_known = true;
  rs.loaded_path = path;
  rs.loaded.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) rs.loaded[static_cast<size_t>(i)] = table[i].readed != 0;
}

void save_readed(title_ent* table, const char* path, int count) {
  set_scan_done(false);  // stored now, or never: fatal must not try again
  const char* failed = store_readed(table, path, count);
  // The extracts go whether the flags could be stored or not.
  int saved = errno;
  ::unlink(kTmpFile);
  remove_display_copy();
  errno = saved;
  if (failed != nullptr) fatal(failed);
}

const char* add_file(const char* src, const char* dst, unsigned long long* copied) {
  if (copied != nullptr) *copied = 0;
  file_ptr in(open_regular(src));
  if (!in) return "add_file : tmpfile open";
  unique_fd out(open_append(dst));
  if (out.get() < 0) return "add_file : mbox open";
  // Only what the source held when opened is copied: appending a file to
  // itself would otherwise never reach its end.
  struct stat st;
  unsigned long long left = ~0ULL;
  if (::fstat(fileno(in.get()), &st) == 0) left = static_cast<unsigned long long>(st.st_size);
  const bool regular = ::fstat(out.get(), &st) == 0 && S_ISREG(st.st_mode);
  const off_t before = regular ? st.st_size : 0;
  char buf[65536];
  bool failed = false;
  while (left > 0 && !failed) {
    size_t want = left < sizeof buf ? static_cast<size_t>(left) : sizeof buf;
    size_t n = std::fread(buf, 1, want, in.get());
    if (n == 0) break;
    failed = !write_all(out.get(), buf, n);
    left -= n;
    if (copied != nullptr && !failed) *copied += n;
  }
  // A file system that reports a full disk only when the data goes out
  // (NFS, quotas) says so here, while the file can still be cut back.
  if (!failed && regular && ::fsync(out.get()) != 0 && errno != EINVAL) failed = true;
  // A mailbox cut short is reported, not passed off as saved, and goes back
  // to its old length: the next mail program to read it would take half a
  // message for a whole one.
  int saved = errno;
  if (failed && regular && ::ftruncate(out.get(), before) != 0) {
    // Nothing more can be done; the failure is reported all the same.
  }
  int fd = out.release();
  if (::close(fd) != 0 && !failed) {
    failed = true;
    saved = errno;
  }
  errno = saved;
  return failed ? "add_file : mbox write" : nullptr;
}

// ---- marking many at once ---------------------------------------------------

namespace {

// A flag that holds already is not written: marking a whole log dirties
// only the memory of what changes.
void mark(title_ent* e, int8_t flag) {
  if (e != nullptr && e->kind == 0 && e->readed != flag) e->readed = flag;
}

}  // namespace

void mark_thread(title_ent* e, int8_t flag) {
  for (title_ent* t : thread_of(e)) mark(t, flag);
}

void mark_positions(int from, int to, int8_t flag) {
  for (int p = std::max(from, 0); p < to && p < ent_cnt; p++) mark(entry_at(p), flag);
}

void mark_all_read() {
  for (int i = 0; i < ent_cnt; i++) mark(&tent[i], 1);
}

long long count_unread() {
  long long n = 0;
  for (int i = 0; i < ent_cnt; i++) n += tent[i].kind == 0 && tent[i].readed == 0;
  return n;
}

}  // namespace dulk
