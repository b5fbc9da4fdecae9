// Message extract and the reply and post scripts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dulk.h"
#include "sjis_text.h"

namespace dulk {

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
    if (fp == nullptr) {
      int e = errno;
      ::close(fd);
      errno = e;
    }
    return fp;
  }
}

namespace {

enum log_style { kForum = 0, kBoard = 1, kMail = 2 };

bool at(std::string_view text, size_t column, std::string_view what) {
  return column <= text.size() && text.substr(column).starts_with(what);
}

bool digit_at(std::string_view text, size_t column) {
  return column < text.size() && text[column] >= '0' && text[column] <= '9';
}

bool byte_at(std::string_view text, size_t column, char c) {
  return column < text.size() && text[column] == c;
}

// A forum title has its number, then '/', at column 5; a mail list line has
// the slashes of its date at columns 42 and 45; everything else is a board.
log_style style_of(std::string_view title) {
  log_style s = byte_at(title, 5, '/') ? kForum : kBoard;
  if (byte_at(title, 42, '/') && byte_at(title, 45, '/')) s = kMail;
  return s;
}

// Shift-JIS literals of the scripts.
constexpr const char* kHandleUnset =
    "\x3c\x83\x6e\x83\x93\x83\x68\x83\x8b\x96\xbc\x3e";          // <ハンドル名>
constexpr const char* kNumberedSubjectVar = "\x83\x6b\x83\x79";  // ヌペ

// True when the line begins something else than the message being copied:
// the next title line, a news article, or a prompt, menu or listing of the
// service.  at_eof: the line was ended by the end of the log, not a newline.
bool ends_message(std::string_view line, bool at_eof, int msghead, log_style style) {
  if (at_eof) return true;
  if (msghead == 0 && line.starts_with(sjis::kGreater)) return true;
  if (digit_at(line, 0) && byte_at(line, 5, '/')) return true;  // forum header
  if (digit_at(line, 2) && byte_at(line, 7, '/')) return true;  // indented forum header
  if (at(line, 4, " [") || at(line, 7, " [")) return true;      // bracket headers
  if (line.starts_with("Subject:")) return true;
  if (style != kBoard && line.starts_with(sjis::kConference)) return true;
  static constexpr std::string_view kPrompts[] = {
      "HP>",           "CCS",           sjis::kNumberOrCommand, "action:", "=== ",
      sjis::kItemMenu, sjis::kDataName, sjis::kProcessMenu,     "\033["};
  for (std::string_view p : kPrompts) {
    if (line.starts_with(p)) return true;
  }
  if (at(line, 2, sjis::kDataName)) return true;
  return line.size() > 44 && line[42] == '/' && line[45] == '/';  // mail list line
}

void put(FILE* out, std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), out); }

// Writes text formatted with strftime.  The result is written whole however
// long it grows (a field width can make it longer than any fixed buffer).
void put_strftime(FILE* out, const std::string& format, const std::tm& when) {
  std::vector<char> buf(1024);
  for (;;) {
    size_t n = std::strftime(buf.data(), buf.size(), format.c_str(), &when);
    // 0 is also the length of an empty result; past 16 MiB it must be one.
    if (n != 0 || buf.size() >= (size_t{1} << 24)) {
      put(out, std::string_view(buf.data(), n));
      return;
    }
    buf.resize(buf.size() * 4);
  }
}

// The signature: each piece of the file (a line with its newline, or 1023
// bytes of a longer one) is a strftime format, all of them for one moment.
void put_signature(FILE* out, const char* sign, const std::string& handle) {
  std::time_t now = std::time(nullptr);
  std::tm when{};
  localtime_r(&now, &when);
  file_ptr fp(std::fopen(sign, "r"));
  if (!fp) {
    // Error: 署名ファイルの読み込みに失敗しました。
    put(out,
        "Error: \x8f\x90\x96\xbc\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x93\xc7\x82\xdd\x8d\x9e"
        "\x82\xdd\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n");
    std::fprintf(out, "%70s\n", handle.c_str());
    return;
  }
  char piece[1024];
  while (std::fgets(piece, sizeof piece, fp.get()) != nullptr) {
    put_strftime(out, piece, when);
  }
}

}  // namespace

void write_one_log(FILE* log, title_ent* table, const char* name, int mode, int index) {
  const char* sign = std::getenv("SIGN");
  const char* handle_env = std::getenv("HANDLE");
  const char* comment_env = std::getenv("COMMENT");
  const bool numbered_subject = std::getenv(kNumberedSubjectVar) != nullptr;
  const std::string handle = handle_env != nullptr ? handle_env : kHandleUnset;
  const std::string mark = comment_env != nullptr ? comment_env : ">>";

  const title_ent& e = link ? *tentp[index] : table[index];
  const std::string_view title = e.title != nullptr ? e.title : "";

  // The extract in /tmp is made so that nobody else can read it or make us
  // write through a name they planted; scripts are the user's own files.
  file_ptr out(std::strcmp(name, kTmpFile) == 0 ? create_private(name) : std::fopen(name, "wb"));
  if (!out) fatal("dulk : write tmp ");
  std::clearerr(log);  // only a failure of this extract's reads counts
  if (std::fseek(log, e.offset, SEEK_SET) != 0) fatal("dulk : seek log ");

  const log_style style = style_of(title);
  std::string line;
  bool at_eof = readline(log, line) == EOF;
  // A NUL byte ends a line's text, as it ends the title's.
  auto text = [&line] { return std::string_view(line.c_str()); };
  FILE* o = out.get();

  if (mode == kPlain) {
    std::fprintf(o, "%.*s\n", static_cast<int>(title.size()), title.data());
  } else if (style == kForum) {
    int room = dk_atoi(from_column(text(), 1));
    std::string subject(from_column(title, 39));
    if (mode == kComment) {
      std::fprintf(o, "mes %d\n", room);
      std::fprintf(o, "1\n1\nSUB:RE:%s\n", subject.c_str());
      std::fprintf(o, "RE:%s\n\n", std::string(title.substr(0, 5)).c_str());
      std::fprintf(o, "%s %s\n", mark.c_str(), std::string(title).c_str());
    } else {
      std::fprintf(o, "mes %d\n", room);
      put(o, "1\n1\nSUB: \x3c\x83\x5e\x83\x43\x83\x67\x83\x8b\x3e\n\n");  // <タイトル>
      put(o,
          "\x3c\x89\xef\x8b\x63\x8e\xba\x2f\x94\xad\x8c\xbe\x93\xe0\x97\x65\x3e\n");  // <会議室/発言内容>
    }
  } else if (style == kBoard) {
    int number = dk_atoi(title);
    std::string subject(from_column(title, 37));
    put(o, "WRITE\n");
    if (mode == kComment) {
      if (numbered_subject) {
        std::fprintf(o, "%s:#%d:RE:%s\n", handle.c_str(), number, subject.c_str());
      } else {
        std::fprintf(o, "%s: RE:%s\n", handle.c_str(), subject.c_str());
      }
      put(o, "1\n\n");
      std::fprintf(o, " #%d  %s\n\n", number, subject.c_str());
      std::fprintf(o, "%s %s\n", mark.c_str(), std::string(title).c_str());
    } else {
      std::fprintf(o, "%s:\x3c\x83\x5e\x83\x43\x83\x67\x83\x8b\x3e\n",
                   handle.c_str());  // <タイトル>
      put(o, "1\n\n");
      put(o, "\x3c\x82\x67\x82\x6f\x2f\x94\xad\x8c\xbe\x93\xe0\x97\x65\x3e\n");  // <ＨＰ/発言内容>
    }
  } else {
    std::string to(title.substr(std::min<size_t>(22, title.size()), 8));
    put(o, "SMAIL\n");
    if (mode == kComment) {
      std::fprintf(o, "SUB:RE:%s\n", std::string(from_column(text(), 10)).c_str());
      std::fprintf(o, "FROM:%s\n", handle.c_str());
      std::fprintf(o, "TO:%s\n", to.c_str());
      put(o, "\n");
    } else {
      put(o, "SUB:\x3c\x83\x5e\x83\x43\x83\x67\x83\x8b\x3e\n");  // <タイトル>
      std::fprintf(o, "FROM:%s\n", handle.c_str());
      std::fprintf(o, "TO:%s\n", to.c_str());
      put(o, "\x3c\x45\x2d\x6d\x61\x69\x6c\x2f\x93\xe0\x97\x65\x3e\n");  // <E-mail/内容>
      put(o, "\n");
    }
  }

  while (!ends_message(text(), at_eof, e.msghead, style)) {
    if (mode == kPlain) {
      put(o, text());
      put(o, "\n");
    } else if (mode == kComment) {
      put(o, mark);
      put(o, " ");
      put(o, text());
      put(o, "\n");
    }
    at_eof = readline(log, line) == EOF;
  }

  if (mode != kPlain) {
    put(o, "\n");
    if (sign != nullptr) {
      put_signature(o, sign, handle);
    } else {
      std::fprintf(o, "%70s\n", handle.c_str());
    }
    put(o, "/POST\n");
  }

  // An extract cut short (a failing disk, a full one) must not pass for the
  // whole message: it is shown, and appended to mailboxes, as if complete.
  if (std::ferror(log)) fatal("dulk : read log ");
  bool failed = std::ferror(o) != 0;
  if (std::fclose(out.release()) != 0) failed = true;
  if (failed) fatal("dulk : write tmp ");
}

// ---- the pager's copy in UTF-8 ----------------------------------------------

namespace {
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

}  // namespace dulk
