// Message extract and the reply and post scripts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "dulk.h"

namespace dulk {

FILE* create_private(const char* path) {
  if (::unlink(path) != 0 && errno != ENOENT) return nullptr;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  FILE* fp = ::fdopen(fd, "wb");
  if (fp == nullptr) {
    int e = errno;
    ::close(fd);
    errno = e;
  }
  return fp;
}

namespace {

struct file_closer {
  void operator()(FILE* fp) const { std::fclose(fp); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

bool copy_made = false;  // the UTF-8 copy stands in /tmp from this run

}  // namespace

// In UTF-8 the pager and the editor are shown a converted copy; the extract
// itself stays Shift-JIS, as the save command appends it to a mailbox.
std::string display_copy(const char* path) {
  if (out_get_charset() != out_charset::utf8) return path;
  file_ptr in(std::fopen(path, "rb"));
  if (!in) fatal("dulk : write tmp ");
  file_ptr out(create_private(kDisplayCopy));
  if (!out) fatal("dulk : write tmp ");
  copy_made = true;
  // A line break is never the trail of a double-byte character, so lines
  // convert one by one.
  char* line = nullptr;
  size_t cap = 0;
  std::string converted;
  ssize_t n;
  while ((n = ::getline(&line, &cap, in.get())) > 0) {
    converted.clear();
    sjis_to_utf8(std::string_view(line, static_cast<size_t>(n)), converted, utf8_use::file);
    if (std::fwrite(converted.data(), 1, converted.size(), out.get()) != converted.size()) break;
  }
  std::free(line);
  bool failed = std::ferror(in.get()) != 0 || std::ferror(out.get()) != 0;
  if (std::fclose(out.release()) != 0 || failed) fatal("dulk : write tmp ");
  return kDisplayCopy;
}

void remove_display_copy() {
  if (copy_made) ::unlink(kDisplayCopy);
  copy_made = false;
}

void write_one_log(FILE* log, title_ent* table, const char* name, int mode, int index) {
  (void)log;
  (void)table;
  (void)name;
  (void)mode;
  (void)index;
}

}  // namespace dulk
