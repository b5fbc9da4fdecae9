// Start-up, the key loop, the screen painters, the read-state file and the
// mailbox, reply threads, and the usage text.
#include "dulk.h"

#include <curses.h>
#include <fcntl.h>
#include <sys/mman.h>
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
#ifdef MADV_POPULATE_WRITE
        // The block will be filled: its pages are made in one call rather
        // than one fault each (an older kernel refuses, and faults do).
        uintptr_t start = reinterpret_cast<uintptr_t>(blocks.back().get());
        uintptr_t first_page = (start + kPage - 1) & ~(kPage - 1);
        ::madvise(reinterpret_cast<void*>(first_page), size - kPage, MADV_POPULATE_WRITE);
#endif
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
  static constexpr size_t kPage = 4096;
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

class stdout_sink : public out_sink {
 public:
  void write(const char* data, size_t len) override { std::fwrite(data, 1, len, stdout); }
  void flush() override { std::fflush(stdout); }
};

stdout_sink default_sink;
out_sink* sink = &default_sink;
bool curses_on = false;

}  // namespace

out_sink* set_out_sink(out_sink* s) {
  out_sink* old = sink;
  sink = s != nullptr ? s : &default_sink;
  return old;
}

void out_write(std::string_view bytes) { sink->write(bytes.data(), bytes.size()); }

void out_vprintf(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    sink->write(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  sink->write(big.data(), static_cast<size_t>(n));
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
