// Start-up, the key loop, the screen painters, the read-state file and the
// mailbox, reply threads, and the usage text.
#include "dulk.h"

#include <curses.h>
#include <fcntl.h>
#include <iconv.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace dulk {

// ---- globals ---------------------------------------------------------------

title_ent* tent = nullptr;
title_ent** tentp = nullptr;
int ent_cnt = 0;
int max_ent = 5000;
int link = 0;
int vf = 0;
int gf = 0;
char ng = 0;
std::string newsgrp;
int env_x = 0;
int env_y = 0;

std::string log_path;
FILE* log_fp = nullptr;
std::string editor;
std::string pager;
int cur_idx = 0;
int cur_row = 0;

// Set once the scan has filled the table: from then on a fatal error stores
// the read flags before it ends the run.
static bool scan_done = false;

namespace {

// Titles and message ids are many small strings that live until quit; they
// are carved out of large blocks instead of one heap block each.
struct arena {
  std::vector<std::unique_ptr<char[]>> blocks;
  char* cur = nullptr;
  size_t left = 0;

  char* take(size_t n) {
    if (n > left) {
      size_t size = n > kBlock / 4 ? n : kBlock;
      blocks.emplace_back(new char[size]);
      if (size == kBlock) {
        cur = blocks.back().get();
        left = size;
      } else {
        return blocks.back().get();  // a big string gets a block of its own
      }
    }
    char* p = cur;
    cur += n;
    left -= n;
    return p;
  }
  void clear() {
    blocks.clear();
    cur = nullptr;
    left = 0;
  }
  static constexpr size_t kBlock = 1 << 20;
};

arena strings;

}  // namespace

char* title_store(std::string_view text, size_t extra) {
  char* p = strings.take(text.size() + extra + 1);
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

void reset_state() {
  std::free(tent);
  std::free(tentp);
  tent = nullptr;
  tentp = nullptr;
  strings.clear();
  ent_cnt = 0;
  max_ent = 5000;
  link = 0;
  vf = 0;
  gf = 0;
  ng = 0;
  newsgrp.clear();
  env_x = 0;
  env_y = 0;
  log_path.clear();
  log_fp = nullptr;
  editor.clear();
  pager.clear();
  cur_idx = 0;
  cur_row = 0;
  scan_done = false;
  thread_index_reset();
}

bool alloc_tables() {
  std::free(tent);
  std::free(tentp);
  tent = nullptr;
  tentp = nullptr;
  if (max_ent < 0) return false;
  // calloc checks the size product and leaves untouched pages unmapped, so a
  // generous -n costs address space, not memory.
  size_t n = max_ent > 0 ? static_cast<size_t>(max_ent) : 1;
  tent = static_cast<title_ent*>(std::calloc(n, sizeof(title_ent)));
  tentp = static_cast<title_ent**>(std::calloc(n, sizeof(title_ent*)));
  return tent != nullptr && tentp != nullptr;
}

void freex(title_ent* table) {
  if (table != nullptr) {
    for (int i = 0; i < max_ent && table[i].title != nullptr; i++) {
      table[i].title = nullptr;
      table[i].msgid = nullptr;
    }
  }
  strings.clear();
}

// ---- ending the process ----------------------------------------------------

namespace {
exit_hook_fn exit_hook = nullptr;
}

void set_exit_hook(exit_hook_fn hook) { exit_hook = hook; }

void dk_exit(int status) {
  out_flush();
  if (exit_hook != nullptr) {
    exit_hook(status);  // a hook that returns falls through to a real exit
  }
  term_restore();
  std::fflush(stdout);
  std::exit(status);
}

void fatal(const char* what) {
  int saved = errno;
  static bool in_fatal = false;
  if (scan_done && !in_fatal && tent != nullptr) {
    in_fatal = true;
    save_readed(tent, log_path.c_str(), ent_cnt);
    in_fatal = false;
  }
  out_flush();
  term_restore();
  errno = saved;
  std::perror(what);
  dk_exit(1);
}

// ---- terminal output layer -------------------------------------------------

namespace {

// A Shift-JIS lead byte opens a two-byte character whose trail byte lies in
// 0x40-0x7E or 0x80-0xFC; 0xA1-0xDF are one-column katakana.
constexpr bool sjis_lead(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
constexpr bool sjis_trail(unsigned char b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}
constexpr int lead_index(unsigned char b) { return b <= 0x9F ? b - 0x81 : b - 0xE0 + 31; }
constexpr int kLeads = 60;

// Code points a terminal shows two columns wide (East Asian Wide and
// Fullwidth, as far as the characters of CP932 go).  The rest of what a
// double-byte character converts to (Greek, Cyrillic, box drawing, "☆",
// circled digits) is ambiguous, which today's terminals show one column wide.
constexpr bool wide_code(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
         (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6);
}

// User-defined characters convert into the private use area: no terminal has
// a glyph for them, nor a width it agrees on.
constexpr bool private_code(char32_t c) { return c >= 0xE000 && c <= 0xF8FF; }

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The UTF-8 of every Shift-JIS character, worked out once through iconv.
struct sjis_table {
  struct entry {
    char bytes[4];
    uint8_t len;  // 0: the character does not convert
    bool wide;
    bool private_use;
  };
  entry single[256];
  entry pair[kLeads * 256];
  bool ok = false;

  sjis_table() : single{}, pair{} {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;
    ok = true;
    unsigned char in[2];
    for (int b = 0x80; b <= 0xFF; b++) {
      if (sjis_lead(static_cast<unsigned char>(b))) continue;
      in[0] = static_cast<unsigned char>(b);
      single[b] = convert(cd, in, 1);
    }
    for (int lead = 0x81; lead <= 0xFC; lead++) {
      if (!sjis_lead(static_cast<unsigned char>(lead))) continue;
      for (int trail = 0x40; trail <= 0xFC; trail++) {
        if (!sjis_trail(static_cast<unsigned char>(trail))) continue;
        in[0] = static_cast<unsigned char>(lead);
        in[1] = static_cast<unsigned char>(trail);
        pair[lead_index(in[0]) * 256 + trail] = convert(cd, in, 2);
      }
    }
    iconv_close(cd);
  }

  // One character through iconv; a result of more than one code point
  // counts as not converting.
  static entry convert(iconv_t cd, unsigned char* in, size_t n) {
    entry e{};
    char* src = reinterpret_cast<char*>(in);
    char* dst = e.bytes;
    size_t src_left = n;
    size_t dst_left = sizeof e.bytes;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1) || src_left != 0) {
      return entry{};
    }
    size_t len = sizeof e.bytes - dst_left;
    char32_t c = decode(e.bytes, len);
    if (c == 0) return entry{};
    e.len = static_cast<uint8_t>(len);
    e.wide = wide_code(c);
    e.private_use = private_code(c);
    return e;
  }

  // The code point of exactly one UTF-8 character, else 0.
  static char32_t decode(const char* s, size_t len) {
    auto u = [s](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[i])); };
    if (len == 1 && u(0) < 0x80) return u(0);
    if (len == 2 && (u(0) & 0xE0) == 0xC0) return (u(0) & 0x1F) << 6 | (u(1) & 0x3F);
    if (len == 3 && (u(0) & 0xF0) == 0xE0) {
      return (u(0) & 0x0F) << 12 | (u(1) & 0x3F) << 6 | (u(2) & 0x3F);
    }
    if (len == 4 && (u(0) & 0xF8) == 0xF0) {
      return (u(0) & 0x07) << 18 | (u(1) & 0x3F) << 12 | (u(2) & 0x3F) << 6 | (u(3) & 0x3F);
    }
    return 0;
  }
};

const sjis_table& conversion_table() {
  static const auto table = std::make_unique<sjis_table>();
  return *table;
}

}  // namespace

out_charset charset_from_name(const char* name) {
  if (name != nullptr && (strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "utf8") == 0)) {
    return out_charset::utf8;
  }
  return out_charset::sjis;
}

void sjis_to_utf8(std::string_view in, std::string& out, utf8_use use) {
  const sjis_table& table = conversion_table();
  const bool screen = use == utf8_use::screen;
  size_t i = 0;
  while (i < in.size()) {
    auto b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {  // ASCII, escape sequences included, passes as it is
      size_t j = i + 1;
      while (j < in.size() && static_cast<unsigned char>(in[j]) < 0x80) j++;
      out.append(in.substr(i, j - i));
      i = j;
      continue;
    }
    if (sjis_lead(b) && i + 1 < in.size() && sjis_trail(static_cast<unsigned char>(in[i + 1]))) {
      const auto& e = table.pair[lead_index(b) * 256 + static_cast<unsigned char>(in[i + 1])];
      if (e.len == 0 || (screen && e.private_use)) {
        out.append(kReplacement);
        out.append(kReplacement);
      } else {
        out.append(e.bytes, e.len);
        if (screen && !e.wide) out += ' ';
      }
      i += 2;
      continue;
    }
    // A katakana byte, or one that is no character of its own: 0x80, 0xA0,
    // 0xFD-0xFF, and a lead byte without its trail (the painter's cut may end
    // a row there, and a write never carries it over to the next one).
    const auto& e = table.single[b];
    if (e.len == 0 || (screen && e.private_use)) {
      out.append(kReplacement);
    } else {
      out.append(e.bytes, e.len);
    }
    i++;
  }
}

namespace {

class stdout_sink : public out_sink {
 public:
  void write(const char* data, size_t len) override { std::fwrite(data, 1, len, stdout); }
  void flush() override { std::fflush(stdout); }
};

stdout_sink default_sink;
out_sink* sink = &default_sink;
bool curses_on = false;
out_charset charset = out_charset::sjis;
std::string converted;  // reused by every write in UTF-8

void emit(const char* data, size_t len) {
  if (charset == out_charset::utf8) {
    converted.clear();
    sjis_to_utf8(std::string_view(data, len), converted, utf8_use::screen);
    sink->write(converted.data(), converted.size());
  } else {
    sink->write(data, len);
  }
}

}  // namespace

void out_init_charset() { out_set_charset(charset_from_name(std::getenv("DULK_CHARSET"))); }

// Without a CP932 converter every Japanese character would turn into U+FFFD;
// the Shift-JIS bytes are then written as they are.
void out_set_charset(out_charset cs) {
  if (cs == out_charset::utf8 && !conversion_table().ok) cs = out_charset::sjis;
  charset = cs;
}

out_charset out_get_charset() { return charset; }

out_sink* set_out_sink(out_sink* s) {
  out_sink* old = sink;
  sink = s != nullptr ? s : &default_sink;
  return old;
}

void out_write(std::string_view bytes) { emit(bytes.data(), bytes.size()); }

void out_vprintf(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    emit(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  emit(big.data(), static_cast<size_t>(n));
}

void out_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  out_vprintf(fmt, ap);
  va_end(ap);
}

void out_flush() { sink->flush(); }

void term_start() {
  initscr();
  cbreak();
  noecho();
  curses_on = true;
  scr_clear();
}

void term_restore() {
  if (curses_on) {
    out_flush();
    endwin();
    curses_on = false;
  }
}

bool term_started() { return curses_on; }

void scr_clear() {
  out_flush();
  if (curses_on) {
    wclear(stdscr);
    wrefresh(stdscr);
  }
}

void scr_refresh() {
  out_flush();
  if (curses_on) wrefresh(stdscr);
}

int scr_getch() {
  out_flush();
  if (curses_on) return wgetch(stdscr);
  int c = std::getchar();
  return c == EOF ? ERR : c;
}

// ---- screen painters --------------------------------------------------------

void disp(const char* text, int depth, int row, int highlighted, char readed, char kind) {
  (void)depth;
  (void)highlighted;
  (void)readed;
  (void)kind;
  out_printf("\033[%d;%dH%s\n", row + 1, 3, text);
  scr_refresh();
}

void tdisp(int position, int page_row, int highlighted) {
  const title_ent* e = link ? tentp[position] : &tent[position];
  disp(e->title, link ? e->depth : 0, page_row + 2, highlighted, e->readed, e->kind);
}

void disp_one_pg(title_ent* table, int cursor, int count, int per_page, const char* log_name) {
  (void)table;
  scr_clear();
  int page = cursor / per_page;
  int top = page * per_page;
  out_printf("LOG FILE : %s      PAGE : %d/%d    \xA1\x79 DULK Ver %s \xA1\x7A %s\n", log_name,
             page + 1, (count - 1) / per_page + 1, kVersion, link ? "<LINK mode>" : " ");
  for (int i = 0; i < per_page; i++) {
    if (top + i < count) {
      tdisp(top + i, i, 0);
    } else {
      disp("<<< END >>>", 0, i + 2, 0, 0, 0);
      break;
    }
  }
}

void disp_meter(int squares, int filled) {
  (void)squares;
  (void)filled;
}

// ---- start-up -------------------------------------------------------------------

namespace {

// Opens the log for reading.  Only a regular file will do: a directory cannot
// be read, and a FIFO or device can neither be positioned nor be counted on
// to end, so the scan would hang on it.
FILE* open_log(const char* path) {
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
    return nullptr;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* fp = ::fdopen(fd, "rb");
  if (fp == nullptr) {
    int e = errno;
    ::close(fd);
    errno = e;
  }
  return fp;
}

}  // namespace

int dulk_main(int argc, char** argv) {
  out_init_charset();  // first, so that the usage text is converted as well
  cur_idx = 0;
  cur_row = 0;
  ent_cnt = 0;
  bool have_path = false;

  for (int i = 1; i < argc; i++) {
    std::string_view a = argv[i];
    if (a == "-h") {
      usage();
    } else if (a == "-l") {
      link = 1;
    } else if (a == "-v") {
      vf = 1;
    } else if (a == "-ng") {
      ng = 1;
    } else if (a == "-g") {
      // With nothing after it the newsgroup is empty: every Xref: line then
      // matches at its start, and a path is still required.
      if (i + 1 < argc) newsgrp = argv[++i];
      gf = 1;
    } else if (a == "-n" && i + 1 < argc) {
      max_ent = std::atoi(argv[++i]);
    } else {
      log_path = argv[i];
      have_path = true;
    }
  }
  if (!have_path) usage();

  if (!alloc_tables()) {
    std::printf("Memory allocation failure! (tent=%d,tentp=%d)\n",
                static_cast<int>(reinterpret_cast<intptr_t>(tent)),
                static_cast<int>(reinterpret_cast<intptr_t>(tentp)));
    dk_exit(1);
  }

  const char* cols = std::getenv("COLUMNS");
  const char* lines = std::getenv("LINES");
  if (cols != nullptr) env_x = std::atoi(cols);
  if (lines != nullptr) env_y = std::atoi(lines) - 4;
  if (env_x == 0) env_x = 80;
  if (env_y < 1) env_y = 20;

  const char* ed = std::getenv("EDITOR");
  const char* pg = std::getenv("PAGER");
  editor = ed != nullptr ? ed : "vi";
  pager = pg != nullptr ? pg : "less";

  log_fp = open_log(log_path.c_str());
  if (log_fp == nullptr) {
    std::perror("dulk : open logfile ");
    dk_exit(1);
  }

  term_start();
  read_title(log_fp, tent, &ent_cnt);
  scan_done = true;
  set_readed(tent, log_path.c_str());
  disp_one_pg(tent, cur_idx, ent_cnt, env_y, log_path.c_str());
  if (ent_cnt == 0) {
    out_printf("\nWarning : There is no message.\n");
  } else {
    tdisp(cur_idx, cur_row, 1);
  }
  key_loop();
}

// ---- the key loop -------------------------------------------------------------

void key_loop() {
  int errors = 0;
  for (;;) {
    int c = scr_getch();
    if (c == ERR) {
      if (++errors >= 100) break;
      continue;
    }
    errors = 0;
    if (c == 'q' || c == 'Q' || c == 'p' || c == 'P' || c == 27) {
      scr_clear();
      save_readed(tent, log_path.c_str(), ent_cnt);
      freex(tent);
      dk_exit(0);
    }
  }
  save_readed(tent, log_path.c_str(), ent_cnt);
  freex(tent);
  dk_exit(1);
}

// ---- usage ---------------------------------------------------------------------

void usage() {
  std::printf("usage : dulk [-l] [-n <titles>] <filename>\n");
  dk_exit(1);
}

// ---- read state and mailbox ---------------------------------------------------

void set_readed(title_ent* table, const char* path) {
  (void)table;
  (void)path;
}

void save_readed(title_ent* table, const char* path, int count) {
  (void)table;
  (void)path;
  (void)count;
}

void add_file(const char* src, const char* dst) {
  (void)src;
  (void)dst;
}

// ---- reply threads -------------------------------------------------------

void thread_index_reset() {}
void thread_index_add(int index) { (void)index; }
int search_and_add(int index, int key) {
  (void)index;
  (void)key;
  return 0;
}
int search_and_add4sx(int index, int key) {
  (void)index;
  (void)key;
  return 0;
}
int search_and_add4news(int index, char* ref) {
  (void)index;
  (void)ref;
  return 0;
}
void make_tentp() {
  int out = 0;
  for (int i = 0; i < max_ent && tent[i].title != nullptr; i++) tentp[out++] = &tent[i];
}
void scan_comt(int* out, title_ent* first, int8_t level) {
  (void)out;
  (void)first;
  (void)level;
}

}  // namespace dulk
