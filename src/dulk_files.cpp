// The safe openers every file dulk reads or writes goes through, an owning
// file descriptor, and the small system-call steps around them.  The
// current directory may be shared: nothing here follows or writes through
// a name someone planted there, nor waits on a FIFO or device.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dulk.h"

namespace dulk {

int close_keeping_errno(int fd, int reason) {
  int e = reason != 0 ? reason : errno;
  ::close(fd);
  errno = e;
  return -1;
}

unique_fd::~unique_fd() {
  if (fd_ >= 0) ::close(fd_);
}

FILE* create_private(const char* path) {
  // Someone may plant a new name between our unlink and our open; O_EXCL then
  // fails with EEXIST and we clear the name again, a few times at most.
  for (int attempt = 0;; attempt++) {
    if (::unlink(path) != 0 && errno != ENOENT) return nullptr;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST && attempt < 8) continue;
      return nullptr;
    }
    FILE* fp = ::fdopen(fd, "wb");
    if (fp == nullptr) close_keeping_errno(fd);
    return fp;
  }
}

namespace {

// Why a name that is not a regular file is refused.
int not_regular(mode_t mode) { return S_ISDIR(mode) ? EISDIR : ESPIPE; }

// Closes fd and returns null with errno kept (or set to reason).
FILE* give_up(int fd, int reason = 0) {
  close_keeping_errno(fd, reason);
  return nullptr;
}

}  // namespace

// Both look at the name before opening it, so that a FIFO or device is not
// opened at all; the check of what was opened covers a name swapped in
// between.  Regular files ignore O_NONBLOCK, so it stays set.
FILE* open_regular(const char* path, bool own_links_only) {
  struct stat st;
  bool via_link = own_links_only && ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
  if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    errno = not_regular(st.st_mode);
    return nullptr;
  }
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (own_links_only && !via_link) flags |= O_NOFOLLOW;
  int fd = ::open(path, flags);
  if (fd < 0) return nullptr;
  if (::fstat(fd, &st) != 0) return give_up(fd);
  if (!S_ISREG(st.st_mode)) return give_up(fd, not_regular(st.st_mode));
  if (via_link && st.st_uid != ::geteuid()) return give_up(fd, EACCES);
  FILE* fp = ::fdopen(fd, "rb");
  return fp != nullptr ? fp : give_up(fd);
}

int open_own_file(const char* path) {
  struct stat st;
  if (::lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    errno = S_ISLNK(st.st_mode) ? ELOOP : not_regular(st.st_mode);
    return -1;
  }
  int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  int reason = 0;
  if (::fstat(fd, &st) != 0) {
    reason = errno;
  } else if (!S_ISREG(st.st_mode)) {
    reason = not_regular(st.st_mode);
  } else if (st.st_nlink > 1) {
    reason = EMLINK;
  }
  if (reason == 0) return fd;
  return close_keeping_errno(fd, reason);
}

FILE* create_output(const char* path) {
  int fd = open_own_file(path);
  if (fd < 0) return nullptr;
  if (::ftruncate(fd, 0) != 0) return give_up(fd);
  FILE* fp = ::fdopen(fd, "wb");
  return fp != nullptr ? fp : give_up(fd);
}

void sync_directory() {
  int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// The mailbox the user named, a link of theirs followed.  A FIFO without a
// reader is refused (ENXIO) instead of waited on; one with a reader is then
// written as any pipe is.
int open_append(const char* path) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// Writes all of data; false with errno set when the file takes no more.
bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool read_whole(const char* path, std::string& bytes) {
  bytes.clear();
  file_ptr fp(open_regular(path));
  if (!fp) return false;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp.get())) > 0) bytes.append(buf, n);
  return std::ferror(fp.get()) == 0;
}

std::string expand_home(const std::string& typed) {
  if (typed.empty() || typed[0] != '~' || (typed.size() > 1 && typed[1] != '/')) return typed;
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    const passwd* pw = ::getpwuid(::getuid());
    if (pw == nullptr || pw->pw_dir == nullptr) return typed;
    home = pw->pw_dir;
  }
  return home + typed.substr(1);
}

}  // namespace dulk
