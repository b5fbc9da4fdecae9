// Start-up, the key loop, the screen painters, the read-state file and the
// mailbox, reply threads, and the usage text.
#include "dulk.h"

#include <curses.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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

namespace {

// A Shift-JIS byte in these ranges starts a two-byte character.
constexpr bool is_lead_byte(unsigned char c) {
  return (c >= 0x80 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfe);
}

struct row_colour {
  const char* plain;
  const char* bar;
};

constexpr row_colour kSectionColour = {"\033[35m", "\033[45m"};
constexpr row_colour kSubColour = {"\033[32m", "\033[42m"};
constexpr row_colour kTitleColour = {"\033[37m", "\033[41m"};

constexpr const char* kReadMark[2] = {"  ", "\x81\x99"};  // "  ", ☆

}  // namespace

size_t row_text_len(std::string_view text, long long limit) {
  // A decoded news subject keeps the line end it was decoded with; the row
  // must not break on it.
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (limit < 1) return 0;
  if (static_cast<unsigned long long>(limit) > text.size()) return text.size();
  size_t n = static_cast<size_t>(limit);
  // Only the last byte that fits is looked at: a lead byte there would leave
  // half a character at the row's edge.
  return is_lead_byte(static_cast<unsigned char>(text[n - 1])) ? n - 1 : n;
}

void disp(const char* text, int depth, int row, int highlighted, char readed, char kind) {
  const row_colour& rc = kind == 1 ? kSectionColour : kind == 2 ? kSubColour : kTitleColour;
  const char* colour = highlighted ? rc.bar : rc.plain;
  const char* mark = kind == 1 ? "" : kReadMark[readed == 1 ? 1 : 0];

  out_printf("\033[%d;%dH", row + 1, 1);
  out_printf("%c(B", 27);
  out_printf("%s%s%s", colour, mark, "\033[0m");

  // Two columns for the mark, one per tree level, the text, one blank.  When
  // the tree alone fills the row the text is dropped and the tree is cut so
  // that the row still ends inside the width.
  long long width = env_x;
  long long marks = depth > 0 ? depth : 0;
  long long limit = width - marks - 3;
  if (limit < 1 && marks > 0) marks = width - 3 > 0 ? width - 3 : 0;
  std::string_view shown(text != nullptr ? text : "");
  shown = shown.substr(0, row_text_len(shown, limit));

  out_printf("\033[%d;%dH", row + 1, 3);
  if (marks > 0) {
    std::string tree(static_cast<size_t>(marks), '|');
    tree.back() = '+';
    out_write(tree);
  }
  out_write(colour);
  out_write(shown);
  out_write(" \033[0m\n");
  out_printf("\033[%d;%dH\n", 0, 0);
  scr_refresh();
}

// The entry at a position of the current order, or null when that position
// holds none (outside the table, or a thread order that was never built).
title_ent* entry_at(int position) {
  if (position < 0 || position >= ent_cnt || tent == nullptr) return nullptr;
  title_ent* e = link ? (tentp != nullptr ? tentp[position] : nullptr) : &tent[position];
  return e != nullptr && e->title != nullptr ? e : nullptr;
}

void tdisp(int position, int page_row, int highlighted) {
  const title_ent* e = entry_at(position);
  if (e == nullptr) return;
  disp(e->title, link ? e->depth : 0, page_row + 2, highlighted, e->readed, e->kind);
}

void disp_one_pg(title_ent* table, int cursor, int count, int per_page, const char* log_name) {
  (void)table;  // rows come from the current order through tdisp
  if (per_page < 1) per_page = 1;
  scr_clear();
  int page = cursor / per_page;
  long long top = static_cast<long long>(page) * per_page;
  // 【 and 】 around the program's name.
  out_printf("LOG FILE : %s      PAGE : %d/%d    \x81\x79 DULK Ver %s \x81\x7a %s\n",
             log_name != nullptr ? log_name : "", page + 1, (count - 1) / per_page + 1, kVersion,
             link ? "<LINK mode>" : " ");
  for (int i = 0; i < per_page; i++) {
    if (top + i < count) {
      tdisp(static_cast<int>(top + i), i, 0);
    } else {
      disp("<<< END >>>", 0, i + 2, 0, 0, 0);
      break;
    }
  }
}

void disp_meter(int squares, int filled) {
  std::string line = "START ";
  for (int i = 0; i < squares; i++) line += i <= filled ? "\x81\xa1" : "\x81\xa0";  // ■ □
  line += " END";
  disp(line.c_str(), 0, 0, 0, 0, 0);
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

namespace {

constexpr std::array<key_action, kKeyCodes> make_key_table() {
  std::array<key_action, kKeyCodes> t{};
  auto set = [&t](std::initializer_list<int> codes, key_action a) {
    for (int c : codes) t[static_cast<size_t>(c)] = a;
  };
  set({'J'}, key_action::read_down);
  set({24, 'j'}, key_action::down);
  set({5, 'K', 'k'}, key_action::up);
  set({6, 'B'}, key_action::next_page);
  set({2, 'A'}, key_action::prev_page);
  set({'0'}, key_action::first);
  set({'n'}, key_action::next_unread);
  set({'N'}, key_action::prev_unread);
  set({'U', 'u'}, key_action::unread);
  set({10, 13}, key_action::read_pager);
  set({'v'}, key_action::read_editor);
  set({'S', 's'}, key_action::save);
  set({'C', 'R', 'c', 'r'}, key_action::comment);
  set({'W', 'w'}, key_action::post);
  set({'L', 'l'}, key_action::link_switch);
  set({'H', '?'}, key_action::help);
  set({'D'}, key_action::del);
  // ESC ends the run at once: escape sequences are not decoded, so a cursor
  // key that sends one quits as well.
  set({27, 'P', 'Q', 'p', 'q'}, key_action::quit);
  return t;
}

constexpr std::array<key_action, kKeyCodes> kKeyTable = make_key_table();

// Keys that address the current entry or move over entries; with an empty
// table there is nothing for them to act on.
constexpr bool needs_entry(key_action a) {
  switch (a) {
    case key_action::none:
    case key_action::link_switch:
    case key_action::help:
    case key_action::del:
    case key_action::quit:
      return false;
    default:
      return true;
  }
}

// 最後のメッセージまでに未読はありません。
constexpr const char* kNoUnreadAfter =
    "\x8d\xc5\x8c\xe3\x82\xcc\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\x82\xdc\x82\xc5\x82\xc9"
    "\x96\xa2\x93\xc7\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42\a";
// 最初のメッセージまでに未読はありません。
constexpr const char* kNoUnreadBefore =
    "\x8d\xc5\x8f\x89\x82\xcc\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\x82\xdc\x82\xc5\x82\xc9"
    "\x96\xa2\x93\xc7\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42\a";
constexpr const char* kBlankRow = "                                        ";  // 40 blanks

// Consecutive read errors after which the terminal is taken to be gone.
constexpr int kMaxReadErrors = 100;

volatile sig_atomic_t pending_signal = 0;

extern "C" void note_signal(int sig) { pending_signal = sig; }

// Without SA_RESTART a key read blocked in the terminal returns at once, so
// the loop sees the signal without waiting for another key.
void install_signal_handlers() {
  struct sigaction sa {};
  sa.sa_handler = note_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaction(sig, &sa, nullptr);
}

// Hands the terminal back in its ordinary mode and ends the way the signal's
// default action would.  A hang-up means the terminal is gone while the user
// may have read much: the read flags are stored first.
[[noreturn]] void end_by_signal(int sig) {
  if (sig == SIGHUP) save_readed(tent, log_path.c_str(), ent_cnt);
  out_flush();
  term_restore();
  std::fflush(stdout);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  dk_exit(128 + sig);  // only when the signal is blocked
}

int page_rows() { return env_y > 0 ? env_y : 1; }

// The page of the cursor, then the cursor bar over its row.
void repaint() {
  disp_one_pg(tent, cur_idx, ent_cnt, page_rows(), log_path.c_str());
  if (entry_at(cur_idx) != nullptr) tdisp(cur_idx, cur_row, 1);
}

void run_command(const std::string& program, const std::string& file) {
  std::string cmd = program + " " + file;
  out_flush();
  int rc = std::system(cmd.c_str());
  (void)rc;  // a failing pager or editor is the shell's to report
}

void move_down() {
  bool pg_redraw = false;
  tdisp(cur_idx, cur_row, 0);
  if (++cur_row >= page_rows()) {
    cur_row = 0;
    pg_redraw = true;
  }
  if (++cur_idx >= ent_cnt) {
    cur_idx = 0;
    cur_row = 0;
    pg_redraw = true;
  }
  if (pg_redraw) disp_one_pg(tent, cur_idx, ent_cnt, page_rows(), log_path.c_str());
  tdisp(cur_idx, cur_row, 1);
}

void move_up() {
  bool pg_redraw = false;
  tdisp(cur_idx, cur_row, 0);
  if (--cur_row < 0) {
    cur_row = page_rows() - 1;
    pg_redraw = true;
  }
  if (--cur_idx < 0) {
    cur_idx = ent_cnt - 1;
    cur_row = (ent_cnt - 1) % page_rows();
    pg_redraw = true;
  }
  if (pg_redraw) disp_one_pg(tent, cur_idx, ent_cnt, page_rows(), log_path.c_str());
  tdisp(cur_idx, cur_row, 1);
}

// Page arithmetic in 64 bits: a huge LINES must not overflow the position.
void next_page() {
  long long rows = page_rows();
  cur_row = 0;
  long long next = cur_idx + rows - cur_idx % rows;
  if (next >= ent_cnt) {
    next = 0;
    out_write("\a\n");
  }
  cur_idx = static_cast<int>(next);
  repaint();
}

void prev_page() {
  long long rows = page_rows();
  cur_row = 0;
  long long prev = cur_idx - cur_idx % rows - rows;
  if (prev < 0) {
    prev = ent_cnt - (ent_cnt - 1) % rows - 1;
    out_write("\a\n");
  }
  cur_idx = static_cast<int>(prev);
  repaint();
}

bool is_unread(const title_ent* e) { return e != nullptr && e->kind == 0 && e->readed == 0; }

// The next (step 1) or previous (step -1) unread message, never wrapping.
void find_unread(int step, const char* none_msg) {
  int save_idx = cur_idx;
  tdisp(cur_idx, cur_row, 0);
  int i = cur_idx + step;
  while (i >= 0 && i < ent_cnt && !is_unread(entry_at(i))) i += step;
  if (i >= 0 && i < ent_cnt) {
    cur_idx = i;
  } else {
    disp(none_msg, 0, env_y + 2, 1, 0, 0);
    out_flush();
    scr_getch();  // any key only takes the message away
    disp(kBlankRow, 0, env_y + 2, 0, 0, 0);
    cur_idx = save_idx;
  }
  cur_row = cur_idx % page_rows();
  if (save_idx / page_rows() != cur_idx / page_rows()) {
    disp_one_pg(tent, cur_idx, ent_cnt, page_rows(), log_path.c_str());
  }
  tdisp(cur_idx, cur_row, 1);
}

// Shows the current message in the pager or the editor; it counts as read
// whatever the program made of it.
void read_message(const std::string& program) {
  title_ent* e = entry_at(cur_idx);
  if (e == nullptr || e->kind != 0) return;
  write_one_log(log_fp, tent, kTmpFile, kPlain, cur_idx);
  scr_clear();
  run_command(program, display_copy(kTmpFile));
  e->readed = 1;
  repaint();
}

void save_message() {
  const title_ent* e = entry_at(cur_idx);
  if (e == nullptr || e->kind != 0) return;
  write_one_log(log_fp, tent, kTmpFile, kPlain, cur_idx);
  out_printf("=> save filename (cancel:'q') = ");
  out_flush();
  scr_refresh();
  std::string name;
  // Input that ends before the line does (or a signal that ends the run)
  // cancels: a half-typed name is no answer.
  bool whole = read_save_name(STDIN_FILENO, name);
  if (!whole || name == "q" || name == "mboxq") {
    out_printf("cancel!\n");
  } else {
    out_printf("saving!\n");
    scr_refresh();
    add_file(kTmpFile, name.c_str());
  }
  scr_refresh();
  repaint();
}

void write_script(const char* prefix, int mode) {
  const title_ent* e = entry_at(cur_idx);
  if (e == nullptr || e->kind != 0) return;
  std::string name = script_name(prefix);
  write_one_log(log_fp, tent, name.c_str(), mode, cur_idx);
  run_command(editor, name);
  repaint();
}

void switch_link() {
  link = 1 - link;
  if (link == 1 && tentp != nullptr && tentp[0] == nullptr) make_tentp();
  out_write("\a\n");
  repaint();
}

[[noreturn]] void quit() {
  scr_clear();
  save_readed(tent, log_path.c_str(), ent_cnt);
  freex(tent);
  dk_exit(0);
}

}  // namespace

key_action decode_key(int code) {
  if (code < 0 || code >= kKeyCodes) return key_action::none;
  return kKeyTable[static_cast<size_t>(code)];
}

bool stop_requested() { return pending_signal != 0; }

bool read_save_name(int fd, std::string& name) {
  name.clear();
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);  // one byte at a time: keys after the line stay unread
    if (n == 1) {
      if (c == '\n') return true;
      name.push_back(c);
    } else if (n < 0 && errno == EINTR && !stop_requested()) {
      continue;
    } else {
      return false;
    }
  }
}

std::string script_name(const char* prefix) {
  struct stat st;
  for (int seq = 0;; seq++) {
    std::string name = prefix + std::to_string(seq);
    if (::stat(name.c_str(), &st) != 0) return name;
  }
}

void key_loop() {
  install_signal_handlers();
  int errors = 0;
  for (;;) {
    if (pending_signal != 0) end_by_signal(pending_signal);
    int c = scr_getch();
    if (pending_signal != 0) end_by_signal(pending_signal);
    if (c == ERR) {
      // Input that keeps failing means the terminal is gone: keep what the
      // user read and end instead of spinning.
      if (++errors >= kMaxReadErrors) {
        save_readed(tent, log_path.c_str(), ent_cnt);
        freex(tent);
        dk_exit(1);
      }
      continue;
    }
    errors = 0;
    key_action act = decode_key(c);
    if (ent_cnt <= 0 && needs_entry(act)) continue;

    switch (act) {
      case key_action::none:
        break;
      case key_action::read_down:
        if (title_ent* e = entry_at(cur_idx); e != nullptr && e->kind == 0) e->readed = 1;
        move_down();
        break;
      case key_action::down:
        move_down();
        break;
      case key_action::up:
        move_up();
        break;
      case key_action::next_page:
        next_page();
        break;
      case key_action::prev_page:
        prev_page();
        break;
      case key_action::first:
        cur_idx = 0;
        cur_row = 0;
        repaint();
        break;
      case key_action::next_unread:
        find_unread(1, kNoUnreadAfter);
        break;
      case key_action::prev_unread:
        find_unread(-1, kNoUnreadBefore);
        break;
      case key_action::unread:
        if (title_ent* e = entry_at(cur_idx); e != nullptr) e->readed = 0;
        tdisp(cur_idx, cur_row, 1);
        break;
      case key_action::read_pager:
        read_message(pager);
        break;
      case key_action::read_editor:
        read_message(editor);
        break;
      case key_action::save:
        save_message();
        break;
      case key_action::comment:
        write_script("comt", kComment);
        break;
      case key_action::post:
        write_script("say", kSay);
        break;
      case key_action::link_switch:
        switch_link();
        break;
      case key_action::help:
        scr_clear();
        disp_help();
        repaint();
        break;
      case key_action::del:
        out_printf("Delete is not support.\n");
        break;
      case key_action::quit:
        quit();
    }
  }
}

// ---- usage ---------------------------------------------------------------------

void usage() {
  out_printf("\nDULK Ver%s   by the dulk developers\n\n", kVersion);
  // タイトル数
  out_printf("usage : dulk [-l] [-n <\x83^\x83\x43\x83g\x83\x8b\x90\x94>] <filename>\n");
  // コメントリンクモードで起動
  out_printf(
      "        -l  : \x83R\x83\x81\x83\x93\x83g\x83\x8a\x83\x93\x83N\x83\x82\x81[\x83h\x82\xc5"
      "\x8bN\x93\xae\n");
  // タイトル数 (デフォルトは2000)
  out_printf(
      "        -n  : \x83^\x83\x43\x83g\x83\x8b\x90\x94 (\x83\x66\x83t\x83H\x83\x8b\x83g\x82\xcd"
      "2000)\n");
  // newsgroup名(記事#特定用)
  out_printf("        -g  : newsgroup\x96\xbc(\x8bL\x8e\x96#\x93\xc1\x92\xe8\x97p)\n");
  // 環境変数
  out_printf("\n\x8a\xc2\x8b\xab\x95\xcf\x90\x94\n");
  print_env_help(out_printf);
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
