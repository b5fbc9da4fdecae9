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
#include <unordered_map>
#include <utility>
#include <vector>

#include "dulk.h"
#include "sjis.h"

namespace dulk {

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

using sjis::kGeta;
using sjis::kHandleUnset;
using sjis::kNumberedSubjectVar;
using sjis::kNumberedSubjectVarUtf8;

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

// ---- text from the terminal -------------------------------------------------

// Text in the terminal's character set as Shift-JIS; every character that
// has no Shift-JIS form becomes 〓.  False when one did.
bool sjis_of_terminal(std::string_view in, std::string& out) {
  out.clear();
  bool whole = true;
  std::string part;
  for (;;) {
    size_t bad = 0;
    bool ok = from_terminal(in, part, &bad);
    out += part;
    if (ok) return whole;
    whole = false;
    out += kGeta;
    if (bad >= in.size()) return false;
    in.remove_prefix(bad + utf8_char_len(in.substr(bad)));
  }
}

// What the writing of scripts and copies keeps between calls; a session
// starts from a fresh value.
struct script_state {
  // What the last script's writing found worth saying on the message row.
  std::string note;
  // The pager's UTF-8 copy stands in /tmp from this run.
  bool copy_made = false;
  // The lines of the editor's copy of a script as they were written, each
  // with the Shift-JIS line it came from: a line the user left alone goes
  // back byte for byte, whatever its bytes were.
  std::unordered_map<std::string, std::string> copied_lines;
};
script_state ws;

void add_note(std::string_view text) {
  if (!ws.note.empty()) ws.note += "  ";
  ws.note += text;
}

// ---- the signature ----------------------------------------------------------

// Text formatted with strftime.  The result is whole however long it grows
// (a field width can make it longer than any fixed buffer).
std::string strftime_text(const std::string& format, const std::tm& when) {
  std::vector<char> buf(1024);
  for (;;) {
    size_t n = std::strftime(buf.data(), buf.size(), format.c_str(), &when);
    // 0 is also the length of an empty result; past 16 MiB it must be one.
    if (n != 0 || buf.size() >= (size_t{1} << 24)) return std::string(buf.data(), n);
    buf.resize(buf.size() * 4);
  }
}

using sjis::kSignError;

// The signature, written in the terminal's character set: each piece of a
// line (the line with its newline, or 1023 bytes of a longer one, what a
// 1024-byte buffer takes) is a strftime format, all of them for one moment.
// "/POST" must stand on a line of its own, so a last line without a newline
// gets one.
void put_signature(FILE* out, const char* sign, const std::string& handle) {
  std::time_t now = std::time(nullptr);
  std::tm when{};
  localtime_r(&now, &when);
  file_ptr fp(open_regular(sign));
  if (!fp) {
    int e = errno;
    put(out, kSignError);
    put(out, "\n");
    std::fprintf(out, "%70s\n", handle.c_str());
    add_note(std::string(kSignError) + " (SIGN: " + std::strerror(e) + ")");
    return;
  }
  constexpr size_t kPiece = 1023;
  char* raw = nullptr;
  size_t cap = 0;
  ssize_t n;
  size_t lineno = 0;
  size_t first_bad = 0;
  bool line_ended = true;
  std::string text;
  while ((n = ::getline(&raw, &cap, fp.get())) > 0) {
    lineno++;
    if (!sjis_of_terminal(std::string_view(raw, static_cast<size_t>(n)), text) && first_bad == 0)
      first_bad = lineno;
    for (size_t at = 0; at < text.size(); at += kPiece) {
      std::string formatted = strftime_text(text.substr(at, kPiece), when);
      put(out, formatted);
      if (!formatted.empty()) line_ended = formatted.back() == '\n';
    }
  }
  std::free(raw);
  if (!line_ended) put(out, "\n");
  if (first_bad != 0) {
    add_note("SIGN line " + std::to_string(first_bad) +
             ": a character without a Shift-JIS form is written as " + std::string(kGeta));
  }
}

}  // namespace

bool ends_message(std::string_view line, bool at_eof, int msghead, std::string_view title) {
  return ends_message(line, at_eof, msghead, style_of(title));
}

// ---- a news article's header block ------------------------------------------

namespace {

bool continues_header(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t') &&
         line.find_first_not_of(" \t") != std::string_view::npos;
}

}  // namespace

bool header_line(std::string_view line) {
  if (continues_header(line)) return true;
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  return std::all_of(line.begin(), line.begin() + static_cast<long>(colon),
                     [](char c) { return c > ' ' && c < 0x7f; });
}

long text_start(FILE* log, long offset, long floor) {
  // Header blocks are short: a look back of 4 KiB mostly holds one, and no
  // longer one than 64 KiB is looked for.
  for (long back = 4096;; back *= 4) {
    const long from = std::max({floor, offset - back, 0L});
    if (offset <= from) return offset;
    std::string bytes(static_cast<size_t>(offset - from), '\0');
    bytes.resize(read_log_at(log, from, bytes.data(), bytes.size()));
    if (bytes.size() != static_cast<size_t>(offset - from) || bytes.back() != '\n') return offset;
    // Lines backward from the title line.  The first one may be cut short
    // when the look back began inside it: the look back then grows.
    const bool whole = from == floor || from == 0;
    std::string scratch;
    long start = offset;
    size_t end = bytes.size() - 1;  // the '\n' of the line in hand
    for (bool title = true;; title = false) {
      size_t nl = end == 0 ? std::string_view::npos : bytes.rfind('\n', end - 1);
      if (nl == std::string_view::npos && !whole) break;
      size_t begin = nl == std::string_view::npos ? 0 : nl + 1;
      std::string_view line =
          shown_line(std::string_view(bytes).substr(begin, end - begin), scratch);
      if (title && !line.starts_with("Subject:")) return offset;
      if (!title && (!header_line(line) || ends_message(line, false, 1, kBoard))) return start;
      if (!continues_header(line)) start = from + static_cast<long>(begin);
      if (begin == 0) return start;
      end = begin - 1;
    }
    if (back >= (64 << 10)) return start;
  }
}

void write_one_log(FILE* log, title_ent* table, const char* name, int mode, int index) {
  ws.note.clear();
  const bool script = mode != kPlain;
  const char* sign = std::getenv("SIGN");
  const char* handle_env = std::getenv("HANDLE");
  const char* comment_env = std::getenv("COMMENT");
  // Under UTF-8 the variable may also be named in UTF-8.
  const bool numbered_subject =
      std::getenv(kNumberedSubjectVar) != nullptr ||
      (out_get_charset() == out_charset::utf8 && std::getenv(kNumberedSubjectVarUtf8) != nullptr);
  // The settings are typed in the terminal's character set.
  std::string handle = kHandleUnset;
  std::string mark = ">>";
  if (handle_env != nullptr && !sjis_of_terminal(handle_env, handle) && script) {
    add_note("HANDLE: a character without a Shift-JIS form is written as " + std::string(kGeta));
  }
  if (comment_env != nullptr && !sjis_of_terminal(comment_env, mark) && script) {
    add_note("COMMENT: a character without a Shift-JIS form is written as " + std::string(kGeta));
  }

  const title_ent& e = link ? *tentp[index] : table[index];
  const std::string_view title = e.title != nullptr ? e.title : "";
  const long floor = &e > table ? (&e - 1)->offset : 0;

  // The extract in /tmp is made so that nobody else can read it or make us
  // write through a name they planted; scripts are the user's own files,
  // but a name planted in their directory is not written through either.
  file_ptr out(std::strcmp(name, kTmpFile) == 0 ? create_private(name) : create_output(name));
  if (!out) fatal("dulk : write tmp ");
  std::clearerr(log);  // only a failure of this extract's reads counts
  if (std::fseek(log, e.offset, SEEK_SET) != 0) fatal("dulk : seek log ");

  const log_style style = style_of(title);
  const long start = text_start(log, e.offset, floor);
  const bool news = start < e.offset;
  std::string line;
  // What was appended after the scan is no part of the table's messages.
  const long limit = log_read_limit();
  auto next_line = [&] { return readline(log, line) == EOF || std::ftell(log) > limit; };
  bool at_eof = next_line();
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
      std::fprintf(o, "1\n1\nSUB: %s\n\n", sjis::kTitlePlaceholder);
      std::fprintf(o, "%s\n", sjis::kRoomTextPlaceholder);
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
      std::fprintf(o, "%s:%s\n", handle.c_str(), sjis::kTitlePlaceholder);
      put(o, "1\n\n");
      std::fprintf(o, "%s\n", sjis::kBoardTextPlaceholder);
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
      std::fprintf(o, "SUB:%s\n", sjis::kTitlePlaceholder);
      std::fprintf(o, "FROM:%s\n", handle.c_str());
      std::fprintf(o, "TO:%s\n", to.c_str());
      std::fprintf(o, "%s\n", sjis::kMailTextPlaceholder);
      put(o, "\n");
    }
  }

  auto copy = [&](std::string_view t) {
    if (mode == kPlain) {
      put(o, t);
      put(o, "\n");
    } else if (mode == kComment) {
      put(o, mark);
      put(o, " ");
      put(o, t);
      put(o, "\n");
    }
  };
  // A news article is its own header block (the lines before its Subject:
  // line as well) and its body; a reply quotes the body alone.  Header lines
  // at its end are held back: before the next Subject: line they are that
  // article's.
  if (news && mode == kPlain) {
    std::string head(static_cast<size_t>(e.offset - start), '\0');
    head.resize(read_log_at(log, start, head.data(), head.size()));
    std::string scratch;
    for (size_t k = 0, nl; (nl = head.find('\n', k)) != std::string::npos; k = nl + 1)
      copy(shown_line(std::string_view(head).substr(k, nl - k), scratch));
  }
  bool own_header = news;
  std::vector<std::string> held;
  while (!ends_message(text(), at_eof, e.msghead, style)) {
    bool quote = true;
    if (news && header_line(text())) {
      // A header run that goes on to the next Subject: line is that
      // article's, its own header lines included.
      if (mode == kPlain || !own_header) held.emplace_back(text());
      at_eof = next_line();
      continue;
    }
    if (own_header) {
      own_header = false;
      quote = !text().empty();  // the empty line that ends the header block
    }
    if (mode == kPlain || quote) {
      for (const std::string& h : held) copy(h);
      held.clear();
      copy(text());
    }
    at_eof = next_line();
  }
  size_t kept = held.size();
  if (!at_eof && text().starts_with("Subject:")) {
    kept = 0;
    while (kept < held.size() && continues_header(held[kept])) kept++;
  }
  for (size_t k = 0; k < kept; k++) copy(held[k]);

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

// ---- copies in UTF-8 for the pager and the editor ---------------------------

namespace {

// Copies in to out converted to UTF-8, line by line (a line break is never
// the trail of a double-byte character); each line and its conversion go to
// lines when it is given.  False on a read or write error.
bool copy_as_utf8(FILE* in, FILE* out, std::unordered_map<std::string, std::string>* lines) {
  char* raw = nullptr;
  size_t cap = 0;
  std::string converted;
  ssize_t n;
  bool ok = true;
  while (ok && (n = ::getline(&raw, &cap, in)) > 0) {
    std::string_view line(raw, static_cast<size_t>(n));
    converted.clear();
    sjis_to_utf8(line, converted, utf8_use::file);
    ok = std::fwrite(converted.data(), 1, converted.size(), out) == converted.size();
    if (lines != nullptr) lines->emplace(converted, line);
  }
  std::free(raw);
  return ok && std::ferror(in) == 0 && std::ferror(out) == 0;
}

// The UTF-8 copy of the Shift-JIS file from, written to the file that create
// makes at to; a failure ends the run as a failed write.
void utf8_copy(const char* from, const char* to, FILE* (*create)(const char*),
               std::unordered_map<std::string, std::string>* lines) {
  file_ptr in(open_regular(from));
  if (!in) fatal("dulk : write tmp ");
  file_ptr out(create(to));
  if (!out) fatal("dulk : write tmp ");
  bool ok = copy_as_utf8(in.get(), out.get(), lines);
  if (std::fclose(out.release()) != 0 || !ok) fatal("dulk : write tmp ");
}

}  // namespace

// In UTF-8 the pager and the editor are shown a converted copy; the extract
// itself stays Shift-JIS, as the save command appends it to a mailbox.
std::string display_copy(const char* path) {
  if (out_get_charset() != out_charset::utf8) return path;
  ws.copy_made = true;
  utf8_copy(path, kDisplayCopy, create_private, nullptr);
  return kDisplayCopy;
}

std::string script_edit_copy(const std::string& script) {
  ws.copied_lines.clear();
  if (out_get_charset() != out_charset::utf8) return script;
  std::string copy = script + kScriptCopySuffix;
  utf8_copy(script.c_str(), copy.c_str(), create_output, &ws.copied_lines);
  return copy;
}

std::string script_take_back(const std::string& script) {
  if (out_get_charset() != out_charset::utf8) return {};
  const std::string copy = script + kScriptCopySuffix;
  std::vector<std::string> lines;
  {
    file_ptr in(open_regular(copy.c_str()));
    if (!in) return copy + ": " + std::strerror(errno) + "; " + script + " is as it was written";
    char* raw = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = ::getline(&raw, &cap, in.get())) > 0)
      lines.emplace_back(raw, static_cast<size_t>(n));
    std::free(raw);
    if (std::ferror(in.get())) {
      return copy + ": " + std::strerror(errno) + "; " + script + " is as it was written";
    }
  }
  // Some editors mark a UTF-8 file with a byte order mark.
  if (!lines.empty() && lines[0].starts_with("\xEF\xBB\xBF")) lines[0].erase(0, 3);

  file_ptr out(create_output(script.c_str()));
  if (!out) fatal("dulk : write tmp ");
  size_t first_bad = 0;
  std::string text;
  for (size_t i = 0; i < lines.size(); i++) {
    auto kept = ws.copied_lines.find(lines[i]);
    if (kept != ws.copied_lines.end()) {
      put(out.get(), kept->second);
      continue;
    }
    if (!sjis_of_terminal(lines[i], text) && first_bad == 0) first_bad = i + 1;
    put(out.get(), text);
  }
  bool failed = std::ferror(out.get()) != 0;
  if (std::fclose(out.release()) != 0 || failed) fatal("dulk : write tmp ");
  ws.copied_lines.clear();
  if (first_bad == 0) {
    ::unlink(copy.c_str());
    return {};
  }
  return script + " line " + std::to_string(first_bad) + ": no Shift-JIS form, written as " +
         std::string(kGeta) + "; your text is in " + copy;
}

std::string take_script_note() { return std::exchange(ws.note, std::string()); }

void remove_display_copy() {
  if (ws.copy_made) ::unlink(kDisplayCopy);
  ws.copy_made = false;
}

void reset_script_state() { ws = script_state{}; }

std::string script_name(const char* prefix) {
  struct stat st;
  // Under UTF-8 a number whose editor's copy was kept (it holds text that
  // did not convert) is not taken again, so the copy is never overwritten.
  const bool copies = out_get_charset() == out_charset::utf8;
  for (int seq = 0;; seq++) {
    std::string name = prefix + std::to_string(seq);
    // A link counts as a file even when it leads nowhere: writing the
    // script through it would create whatever it names.
    if (::lstat(name.c_str(), &st) != 0 &&
        (!copies || ::lstat((name + kScriptCopySuffix).c_str(), &st) != 0)) {
      return name;
    }
  }
}

}  // namespace dulk
