// Start-up, the key loop, the screen painters, the read-state file and the
// mailbox, reply threads, and the usage text.
#include "dulk.h"

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace dulk {

// ---- globals ----------------------------------------------------------------

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

// Set once the scan has filled the table, until the read flags are stored:
// in between, a fatal error stores them before it ends the run.
static bool scan_done = false;
// Set when start-up found that the read flags of this run cannot be stored.
static bool readed_unkept = false;

// Asks for a key when a message must be read before the screen changes.
static constexpr const char* kPressAnyKey = "Press any key to go on.";

void set_scan_done(bool done) { scan_done = done; }

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
  readed_unkept = false;
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

// ---- ending the process -----------------------------------------------------

namespace {
exit_hook_fn exit_hook = nullptr;
}

void set_exit_hook(exit_hook_fn hook) { exit_hook = hook; }

void dk_exit(int status) {
  out_flush();
  if (exit_hook != nullptr) {
    exit_hook(status);  // a hook that returns falls through to a real exit
  }
  leave_terminal();
  std::exit(status);
}

void leave_terminal() {
  out_flush();
  term_restore();
  std::fflush(stdout);
}

void fatal(const char* what) {
  int saved = errno;
  const char* store_failed = nullptr;
  int store_errno = 0;
  static bool storing = false;  // storing ends in no fatal, but stays guarded
  if (scan_done && !storing && tent != nullptr) {
    storing = true;
    store_failed = store_readed(tent, log_path.c_str(), ent_cnt);
    store_errno = errno;
    storing = false;
    if (store_failed == nullptr) {
      ::unlink(kTmpFile);
      remove_display_copy();
    }
  }
  leave_terminal();
  errno = saved;
  std::perror(what);
  if (store_failed != nullptr) {
    errno = store_errno;
    std::perror(store_failed);
  }
  dk_exit(1);
}

// ---- start-up ---------------------------------------------------------------

namespace {

// Opens the log for reading.  Only a regular file will do: a directory cannot
// be read, and a FIFO or device can neither be positioned nor be counted on
// to end, so the scan would hang on it.
FILE* open_log(const char* path) { return open_regular(path); }

}  // namespace

namespace {
void install_signal_handlers();
void search_command(key_action act);
void forget_search_note();
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
  if (lines != nullptr) {
    // Subtracting in a wider type keeps the most negative LINES from wrapping
    // round to a huge page.
    long long y = static_cast<long long>(std::atoi(lines)) - 4;
    env_y = y < 1 ? 0 : static_cast<int>(y);
  }
  if (env_x == 0) env_x = 80;
  if (env_y < 1) env_y = 20;

  const char* ed = std::getenv("EDITOR");
  const char* pg = std::getenv("PAGER");
  editor = ed != nullptr ? ed : "vi";
  pager = pg != nullptr ? pg : "less";

  log_fp = open_log(log_path.c_str());
  if (log_fp == nullptr) fatal("dulk : open logfile ");

  term_start();
  // From here on a signal lets the terminal go back to its ordinary mode;
  // one that arrives during the scan is acted on when the key loop starts.
  install_signal_handlers();
  read_title(log_fp, tent, &ent_cnt);
  scan_done = true;
  set_readed(tent, log_path.c_str());
  if (readed_unkept) {  // the warning must be read before the list covers it
    out_printf("%s", kPressAnyKey);
    scr_getch();
  }
  run_viewer();
}

void run_viewer() {
  // Memory that runs out while the user reads (a long line converted for
  // the screen) ends the run the way a file failure does: what was read is
  // kept and the terminal is given back.
  try {
    disp_one_pg(tent, cur_idx, ent_cnt, env_y, log_path.c_str());
    if (ent_cnt == 0) {
      show_msg("Warning : There is no message.");  // below the header, clear of the end marker
    } else {
      tdisp(cur_idx, cur_row, 1);
    }
    key_loop();
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    fatal("dulk : viewer");
  }
}

// ---- the key loop -----------------------------------------------------------

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
  // A lone ESC; the keys that send a sequence come decoded (see decode_key).
  set({27, 'P', 'Q', 'p', 'q'}, key_action::quit);
  set({'/'}, key_action::title_search);
  set({'\\'}, key_action::title_search_back);
  set({'f'}, key_action::text_search);
  set({'F'}, key_action::text_search_back);
  set({12}, key_action::redraw);  // Ctrl-L
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
    case key_action::redraw:
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
  leave_terminal();
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

// Runs the program on the file through the shell.  False when the shell
// could not run it (status 126 or 127): the shell's message then stays on
// the screen until a key is pressed.
bool run_command(const std::string& program, const std::string& file) {
  std::string cmd = program + " " + file;
  out_flush();
  return run_shell(cmd.c_str(), kPressAnyKey);
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
// whatever the program made of it, unless the program could not be run.
void read_message(const std::string& program) {
  title_ent* e = entry_at(cur_idx);
  if (e == nullptr || e->kind != 0) return;
  write_one_log(log_fp, tent, kTmpFile, kPlain, cur_idx);
  scr_clear();
  if (run_command(program, display_copy(kTmpFile))) e->readed = 1;
  repaint();
}

void save_message() {
  const title_ent* e = entry_at(cur_idx);
  if (e == nullptr || e->kind != 0) return;
  write_one_log(log_fp, tent, kTmpFile, kPlain, cur_idx);
  std::string typed;
  std::string name;
  // ESC, input that ends before the line does, a signal that ends the run
  // and an empty line (Return pressed by mistake) cancel as "q" does.
  bool whole = prompt_line("=> save filename (cancel:'q') = ", typed);
  bool converts = from_terminal(typed, name);
  if (!whole || typed.empty() || name == "q" || name == "mboxq") {
    show_msg("cancel!\n");
  } else {
    show_msg("saving!\n");
    scr_refresh();
    // A name that cannot be appended to is reported, and the run goes on:
    // a mistyped name must not cost the session.
    errno = EILSEQ;  // a name with a character that has no Shift-JIS form
    if (const char* failed = converts ? add_file(kTmpFile, name.c_str()) : "add_file : mbox open") {
      show_msg(std::string(failed) + ": " + std::strerror(errno));
      scr_getch();
    }
  }
  scr_refresh();
  repaint();
}

void write_script(const char* prefix, int mode) {
  const title_ent* e = entry_at(cur_idx);
  if (e == nullptr || e->kind != 0) return;
  std::string name = script_name(prefix);
  write_one_log(log_fp, tent, name.c_str(), mode, cur_idx);
  std::string note = take_script_note();
  run_command(editor, script_edit_copy(name));
  std::string back = script_take_back(name);
  if (!back.empty()) note = note.empty() ? back : back + "  " + note;
  repaint();
  if (!note.empty()) show_msg(note);
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
  switch (code) {
    case kKeyDown:
    case kKeyPageDown:
      return key_action::next_page;
    case kKeyUp:
    case kKeyPageUp:
      return key_action::prev_page;
    case kKeyHome:
      return key_action::first;
    case kKeyRedraw:
      return key_action::redraw;
    default:
      break;
  }
  if (code < 0 || code >= kKeyCodes) return key_action::none;
  return kKeyTable[static_cast<size_t>(code)];
}

bool stop_requested() { return pending_signal != 0; }

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

void key_loop() {
  install_signal_handlers();
  int errors = 0;
  for (;;) {
    if (pending_signal != 0) end_by_signal(pending_signal);
    if (screen_lost()) repaint();  // continued after a stop in a wait
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
    forget_search_note();
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
        show_msg("Delete is not support.\n");
        break;
      case key_action::redraw:
        repaint();
        break;
      case key_action::quit:
        quit();
      case key_action::title_search:
      case key_action::title_search_back:
      case key_action::text_search:
      case key_action::text_search_back:
        search_command(act);
        break;
    }
  }
}

// ---- searching titles and message text --------------------------------------

namespace {

constexpr size_t npos = std::string_view::npos;

constexpr bool ascii_letter(unsigned char b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }

constexpr unsigned char fold(unsigned char b) { return ascii_letter(b) ? b | 0x20 : b; }

// The pattern's bytes at pos of text, whether or not a character starts
// there.
bool match_at(std::string_view text, size_t pos, std::string_view pattern) {
  if (pos > text.size() || text.size() - pos < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); i++) {
    unsigned char p = static_cast<unsigned char>(pattern[i]);
    unsigned char t = static_cast<unsigned char>(text[pos + i]);
    if (opens_pair(p)) {
      // Both bytes exactly: a trail byte that equals a letter is no letter.
      if (i + 1 == pattern.size() || p != t || pattern[i + 1] != text[pos + i + 1]) return false;
      i++;
    } else if (fold(p) != fold(t)) {
      return false;
    }
  }
  return true;
}

// A search of one text that is asked again and again from further on: the
// place it last found is kept while it lies ahead, so no byte is read twice.
struct kept_place {
  size_t at = 0;
  bool known = false;

  template <typename Find>
  size_t next(size_t from, Find find) {
    if (!known || at < from) at = find(from);
    known = true;
    return at;
  }
};

// 2 when byte i of pattern is the lead or the trail of a double-byte
// character, else 1.
size_t char_len(std::string_view pattern, size_t i) {
  size_t k = 0;
  while (true) {
    size_t len =
        opens_pair(static_cast<unsigned char>(pattern[k])) && k + 1 < pattern.size() ? 2 : 1;
    if (i < k + len) return len;
    k += len;
  }
}

// A place of pattern to look for it by: the byte there stands least often
// in sample (a single-byte letter counted in both cases).  Without a sample,
// the trail of its first double-byte character, else its first byte: most
// Japanese text is a few lead bytes (0x82 hiragana, 0x83 katakana), while
// trail bytes spread over 188 values.
size_t rarest_byte(std::string_view pattern, std::string_view sample) {
  if (sample.empty()) {
    // Every character before the first double-byte one is a single byte.
    for (size_t i = 0; i + 1 < pattern.size(); i++) {
      if (opens_pair(static_cast<unsigned char>(pattern[i]))) return i + 1;
    }
    return 0;
  }
  std::array<size_t, 256> count{};
  for (char c : sample) count[static_cast<unsigned char>(c)]++;
  size_t best = 0;
  size_t best_count = SIZE_MAX;
  for (size_t i = 0, len; i < pattern.size(); i += len) {
    len = char_len(pattern, i);
    for (size_t k = i; k < i + len; k++) {
      const unsigned char c = static_cast<unsigned char>(pattern[k]);
      size_t n = count[c] + (len == 1 && ascii_letter(c) ? count[c ^ 0x20] : 0);
      if (n < best_count) {
        best = k;
        best_count = n;
      }
    }
  }
  return best;
}

// The places of a text where a pattern's bytes stand (match_at), in order,
// whether or not a character starts there.  They are found by memchr of the
// pattern's byte at `anchor`, in both cases when it is a single-byte letter;
// the pattern is not empty.
class raw_matches {
 public:
  raw_matches(std::string_view text, std::string_view pattern, size_t anchor)
      : text_(text), pattern_(pattern), anchor_(anchor) {
    const unsigned char b = static_cast<unsigned char>(pattern[anchor]);
    bytes_[0] = bytes_[1] = static_cast<char>(b);
    if (ascii_letter(b) && char_len(pattern, anchor) == 1) bytes_[1] = static_cast<char>(b ^ 0x20);
  }

  // The first place at or after from; npos when there is none.
  size_t next(size_t from) {
    const size_t n = pattern_.size();
    if (n > text_.size() || from > text_.size() - n) return npos;
    const size_t last = text_.size() - n;  // the last place the pattern fits
    for (size_t s = from;;) {
      size_t a = hit_[0].next(s + anchor_, [this](size_t f) { return text_.find(bytes_[0], f); });
      if (bytes_[1] != bytes_[0])
        a = std::min(
            a, hit_[1].next(s + anchor_, [this](size_t f) { return text_.find(bytes_[1], f); }));
      if (a == npos || a - anchor_ > last) return npos;
      s = a - anchor_;
      if (match_at(text_, s, pattern_)) return s;
      s++;
    }
  }

 private:
  std::string_view text_;
  std::string_view pattern_;
  size_t anchor_;
  char bytes_[2];
  kept_place hit_[2];
};

// The first carriage return at or after from that does not end a line (no
// '\n' follows it); npos when there is none.  The text a line shows has it
// dropped, so a pattern may stand across it.
size_t stray_return(std::string_view text, size_t from) {
  for (size_t r = text.find('\r', from); r != npos; r = text.find('\r', r + 1)) {
    if (r + 1 == text.size() || text[r + 1] != '\n') return r;
  }
  return npos;
}

}  // namespace

size_t sjis_find(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return 0;
  raw_matches matches(text, pattern, rarest_byte(pattern, {}));
  size_t walked = 0;  // a character boundary, walked from the start of text
  for (size_t c = matches.next(0); c != npos; c = matches.next(c + 1)) {
    while (walked < c) walked += opens_pair(static_cast<unsigned char>(text[walked])) ? 2 : 1;
    if (walked == c) return c;
  }
  return npos;
}

namespace {

// The log's bytes from offset on, up to len of them: fewer at its end, none
// past it or when it cannot be read.  Every read of the text search comes
// through here.
size_t read_log_at(FILE* log, long offset, char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::pread(fileno(log), buf + got, len - got, offset + static_cast<long>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

// A line as the extract copies it: carriage returns dropped, cut at a NUL.
std::string_view shown_line(std::string_view raw, std::string& scratch) {
  raw = raw.substr(0, raw.find('\0'));
  if (raw.find('\r') == npos) return raw;
  scratch.clear();
  for (char c : raw) {
    if (c != '\r') scratch.push_back(c);
  }
  return scratch;
}

// Finds the messages whose text holds a pattern.  The log is searched in
// large blocks for the lines that hold it; only such a line is then placed:
// the message whose title comes last before it holds it unless a line that
// ends the message comes first, and so does an earlier message whose text
// runs on over the titles after it (a heading or a listing does not end a
// message).  The rest of a title's stretch of the log then decides nothing
// new, and is skipped.
class body_search {
 public:
  body_search(FILE* log, const title_ent* table, int count, std::string_view pattern,
              std::vector<uint8_t>& hits)
      : log_(log), table_(table), count_(count), pattern_(pattern), hits_(hits) {}

  bool run(const search_progress& progress) {
    struct stat st;
    long size = ::fstat(fileno(log_), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    const long first = table_[0].offset;  // nothing before the first title is a message
    std::vector<char> block(kBlock);
    std::string scratch;
    long pos = first;
    int j = 0;  // the entry whose stretch of the log the search is in
    for (;;) {
      size_t n = read_log_at(log_, pos, block.data(), kBlock);
      if (n == 0) return true;
      size_t len = n;
      if (n == kBlock) {
        // A block ends after its last whole line, so no line is cut in two
        // (a line longer than a block is searched in pieces).
        const void* nl = ::memrchr(block.data(), '\n', n);
        if (nl != nullptr)
          len = static_cast<size_t>(static_cast<const char*>(nl) - block.data()) + 1;
      }
      text_ = std::string_view(block.data(), len);
      text_pos_ = pos;
      long next = pos + static_cast<long>(len);
      size_t from = 0;
      raw_matches matches(text_, pattern_, rarest_byte(pattern_, text_.substr(0, kSample)));
      kept_place stray;
      for (;;) {
        // The next line that may hold the pattern: where its bytes stand, or
        // a line whose carriage returns, once dropped, may join it.
        size_t c = std::min(matches.next(from),
                            stray.next(from, [this](size_t f) { return stray_return(text_, f); }));
        if (c == npos) break;
        const void* before = ::memrchr(text_.data(), '\n', c);
        size_t ls = before != nullptr
                        ? static_cast<size_t>(static_cast<const char*>(before) - text_.data()) + 1
                        : 0;
        size_t le = text_.find('\n', c);
        // The log's last line, when no newline ends it, is in no message.
        if (le == npos && n < kBlock) break;
        if (le == npos) le = len;
        from = le + 1;
        long at = pos + static_cast<long>(ls);
        while (j + 1 < count_ && table_[j + 1].offset <= at) j++;
        if (sjis_find(shown_line(text_.substr(ls, le - ls), scratch), pattern_) == npos) {
          continue;
        }
        place(at, pos + static_cast<long>(std::min(le + 1, len)), j);
        if (j + 1 >= count_) return true;  // every message that could hold more is decided
        long skip = table_[j + 1].offset;
        if (skip >= next) {
          next = skip;
          break;
        }
        if (skip > at) from = static_cast<size_t>(skip - pos);
        if (from >= len) break;
      }
      pos = next;
      if (progress && size > first &&
          !progress(static_cast<double>(pos - first) / static_cast<double>(size - first))) {
        return false;
      }
    }
  }

 private:
  static constexpr size_t kBlock = 8 << 20;
  static constexpr size_t kSample = 64 << 10;  // what a block's rarest byte is counted over

  // The title line of entry m: the line that ends where its message begins.
  // A block starts at the start of a line, so one that holds the line's end
  // holds all of it.
  std::string title_line(int m) {
    long end = table_[m].offset - 1;  // its '\n'
    std::string buf;
    std::string_view bytes;
    if (end >= text_pos_ && end < text_pos_ + static_cast<long>(text_.size())) {
      bytes = text_.substr(0, static_cast<size_t>(end - text_pos_));
    } else {
      long start = std::max(0L, end - 4096);
      buf.resize(static_cast<size_t>(end - start));
      buf.resize(read_log_at(log_, start, buf.data(), buf.size()));
      bytes = buf;
    }
    size_t nl = bytes.rfind('\n');
    if (nl != npos) bytes.remove_prefix(nl + 1);
    std::string scratch;
    return std::string(shown_line(bytes, scratch));
  }

  // Whether the line from `at` to `end` (after its newline) still belongs
  // to the text of message i: no line from its beginning up to that one
  // ends it.
  bool reaches(int i, long at, long end) {
    const title_ent& e = table_[i];
    std::string_view title(e.title != nullptr ? e.title : "");
    std::string buf, scratch;
    std::string_view bytes;
    if (e.offset >= text_pos_) {
      bytes = text_.substr(static_cast<size_t>(e.offset - text_pos_),
                           static_cast<size_t>(end - e.offset));
    } else {
      buf.resize(static_cast<size_t>(end - e.offset));
      buf.resize(read_log_at(log_, e.offset, buf.data(), buf.size()));
      bytes = buf;
    }
    for (size_t k = 0; k < bytes.size();) {
      size_t nl = std::min(bytes.find('\n', k), bytes.size());
      if (ends_message(shown_line(bytes.substr(k, nl - k), scratch), false, e.msghead, title))
        return false;
      if (e.offset + static_cast<long>(k) >= at) return true;
      k = nl + 1;
    }
    return false;
  }

  // A line holding the pattern from `at` to `end`, in the stretch of entry j.
  void place(long at, long end, int j) {
    std::vector<std::string> titles;  // the title lines of j, j - 1, ..., passed so far
    for (int i = j; i >= 0; i--) {
      if (i < j) {
        const title_ent& next = table_[i + 1];
        // Message-header title lines end every message; so do some others.
        if (next.msghead != 0) return;
        titles.push_back(title_line(i + 1));
        if (ends_message(titles.back(), false, 1, "")) return;
        const title_ent& e = table_[i];
        std::string_view title(e.title != nullptr ? e.title : "");
        bool ended = false;
        for (const std::string& t : titles)
          ended = ended || ends_message(t, false, e.msghead, title);
        if (ended) continue;
      }
      if (table_[i].kind == 0 && hits_[static_cast<size_t>(i)] == 0 && reaches(i, at, end)) {
        hits_[static_cast<size_t>(i)] = 1;
      }
    }
  }

  FILE* log_;
  const title_ent* table_;
  int count_;
  std::string_view pattern_;
  std::vector<uint8_t>& hits_;
  std::string_view text_;  // the block in hand, from the log's position text_pos_
  long text_pos_ = 0;
};

}  // namespace

std::vector<uint8_t> message_hits(FILE* log, const title_ent* table, int count,
                                  std::string_view pattern, const search_progress& progress) {
  std::vector<uint8_t> hits(count > 0 ? static_cast<size_t>(count) : 0, 0);
  if (count <= 0 || pattern.empty()) return hits;
  for (int i = 0; i < count; i++) {
    const title_ent& e = table[i];
    if (e.kind == 0 && e.title != nullptr && sjis_find(e.title, pattern) != npos)
      hits[static_cast<size_t>(i)] = 1;
  }
  body_search s(log, table, count, pattern, hits);
  if (!s.run(progress)) return {};
  return hits;
}

namespace {

// The next position of the current order after from in the direction of
// step whose entry has what is asked, going round once; -1 when none has it,
// -2 when progress stopped the search.
template <typename Has>
int next_position(int from, int step, const search_progress& progress, Has has) {
  const int n = ent_cnt;
  if (n <= 0) return -1;
  int p = from < 0 || from >= n ? 0 : from;
  for (int d = 1; d <= n; d++) {
    p += step;
    if (p == n) p = 0;
    if (p < 0) p = n - 1;
    if (const title_ent* e = entry_at(p); e != nullptr && has(*e)) return p;
    if ((d & 0xffff) == 0 && progress && !progress(static_cast<double>(d) / n)) return -2;
  }
  return -1;
}

}  // namespace

int find_title(std::string_view pattern, int from, int step, const search_progress& progress) {
  return next_position(from, step, progress, [pattern](const title_ent& e) {
    return sjis_find(e.title, pattern) != npos;
  });
}

namespace {

// 先頭から検索し直しました。 and 末尾から検索し直しました。
constexpr const char* kWentRoundForward =
    "\x90\xe6\x93\xaa\x82\xa9\x82\xe7\x8c\x9f\x8d\xf5\x82\xb5\x92\xbc\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81\x42";
constexpr const char* kWentRoundBackward =
    "\x96\x96\x94\xf6\x82\xa9\x82\xe7\x8c\x9f\x8d\xf5\x82\xb5\x92\xbc\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81\x42";
constexpr const char* kOpenQuote = "\x81\x75";   // 「
constexpr const char* kCloseQuote = "\x81\x76";  // 」
constexpr const char* kNotFound =                // は見つかりません。
    "\x82\xcd\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// 検索文字列の%d文字目はシフトJISで表せません。
constexpr const char* kNoSjisForm =
    "\x8c\x9f\x8d\xf5\x95\xb6\x8e\x9a\x97\xf1\x82\xcc%d\x95\xb6\x8e\x9a\x96\xda\x82\xcd\x83\x56"
    "\x83\x74\x83\x67JIS\x82\xc5\x95\x5c\x82\xb9\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// 検索中 %d%%（何かキーで中止）
constexpr const char* kSearching =
    "\x8c\x9f\x8d\xf5\x92\x86 %d%%\x81\x69\x89\xbd\x82\xa9\x83\x4c\x81\x5b\x82\xc5\x92\x86\x8e"
    "\x7e\x81\x6a";

struct last_pattern {
  std::string sjis;
  bool set = false;
};
last_pattern last_title, last_text;

// The text search's answer for the last pattern, kept for the run: the log
// and the table do not change under the viewer.
std::string hits_pattern;
std::vector<uint8_t> hits_cache;

bool note_shown = false;  // the message row says that a search went round

void wipe_msg_row() { show_msg(std::string(static_cast<size_t>(std::max(env_x - 1, 40)), ' ')); }

// A one-line message, cut to the row.
void show_note(const std::string& text) {
  show_msg(std::string_view(text).substr(0, row_text_len(text, env_x - 1)));
}

// A message that stays until a key, which does nothing else.
void show_until_key(const std::string& text) {
  show_note(text);
  out_write("\a");
  scr_getch();
  wipe_msg_row();
}

bool key_waiting() {
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// After a third of a second a search shows how far it has come, and a key
// (read and dropped, with whatever else is waiting) stops it.
class search_clock {
 public:
  bool operator()(double done) {
    auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::milliseconds(333)) return true;
    int percent = static_cast<int>(done * 100);
    if (percent != shown_) {
      char buf[128];
      std::snprintf(buf, sizeof buf, kSearching, percent);
      show_msg(buf);
      shown_ = percent;
    }
    if (!key_waiting()) return true;
    while (key_waiting() && scr_getch() != ERR) {
    }
    return false;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  int shown_ = -1;
};

// Moves the cursor bar to position p: two rows on the same page, else the
// page of p.
void move_to(int p) {
  int old = cur_idx;
  cur_idx = p;
  cur_row = p % page_rows();
  if (old / page_rows() == p / page_rows()) {
    tdisp(old, old % page_rows(), 0);
    tdisp(cur_idx, cur_row, 1);
  } else {
    repaint();
  }
}

// The characters typed before byte `at`, counted from 1 for the one there.
int typed_chars_before(std::string_view typed, size_t at) {
  if (out_get_charset() != out_charset::utf8) return static_cast<int>(at) + 1;
  int n = 1;
  for (size_t i = 0; i < at && i < typed.size(); i++) n += (typed[i] & 0xc0) != 0x80;
  return n;
}

// The four search keys: a pattern typed at a prompt (an empty one repeats
// the last search of the same kind), then the title found is shown.
void search_command(key_action act) {
  const bool titles = act == key_action::title_search || act == key_action::title_search_back;
  const int step = act == key_action::title_search || act == key_action::text_search ? 1 : -1;
  const char* prompt = titles ? (step > 0 ? "/" : "\\") : (step > 0 ? "f:" : "F:");
  last_pattern& last = titles ? last_title : last_text;

  std::string typed;
  bool entered = prompt_line(prompt, typed);
  wipe_msg_row();
  if (!entered) return;
  if (typed.empty()) {
    if (!last.set) return;
  } else {
    std::string sjis;
    size_t bad = 0;
    if (!from_terminal(typed, sjis, &bad)) {
      char buf[160];
      std::snprintf(buf, sizeof buf, kNoSjisForm, typed_chars_before(typed, bad));
      show_until_key(buf);
      return;
    }
    last.sjis = sjis;
    last.set = true;
  }
  const std::string& pattern = last.sjis;

  search_clock clock;
  search_progress progress = std::ref(clock);
  int found;
  if (titles) {
    found = find_title(pattern, cur_idx, step, progress);
  } else {
    if (hits_pattern != pattern || hits_cache.size() != static_cast<size_t>(ent_cnt)) {
      hits_cache = message_hits(log_fp, tent, ent_cnt, pattern, progress);
      hits_pattern = hits_cache.empty() ? std::string() : pattern;
    }
    found = hits_cache.empty() ? -2 : next_position(cur_idx, step, {}, [](const title_ent& e) {
      return hits_cache[static_cast<size_t>(&e - tent)] != 0;
    });
  }
  wipe_msg_row();
  if (found == -2) return;  // stopped by a key: the cursor stays
  if (found < 0) {
    show_until_key(kOpenQuote + pattern + kCloseQuote + kNotFound);
    return;
  }
  bool went_round = step > 0 ? found <= cur_idx : found >= cur_idx;
  move_to(found);
  if (went_round) {
    show_note(step > 0 ? kWentRoundForward : kWentRoundBackward);
    note_shown = true;
  }
}

// The note that a search went round lasts until the next key.
void forget_search_note() {
  if (note_shown) wipe_msg_row();
  note_shown = false;
}

}  // namespace

// ---- screen painters --------------------------------------------------------

namespace {

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

namespace {

// Columns of text a row in link mode keeps however deep its entry lies.
constexpr long long kMinRowText = 20;

// The tree marks of a row in link mode: "|" per level and "+" for the last.
// When they would leave fewer than kMinRowText columns of text, they end in
// the level's number instead ("||||58+"), kept to the width that leaves
// kMinRowText columns (or the number's own, on a narrow row), so that deep
// rows show their text and stay in line with each other.
std::string tree_marks(int depth, int width) {
  if (depth <= 0) return "";
  const long long room = static_cast<long long>(width) - 3;  // marks and text
  auto tree = [](long long n) {
    std::string t(static_cast<size_t>(n), '|');
    t.back() = '+';
    return t;
  };
  if (room - depth >= kMinRowText) return tree(depth);
  const std::string number = std::to_string(depth) + "+";
  const long long digits = static_cast<long long>(number.size());
  if (depth > digits) {
    const long long budget = std::max(room - kMinRowText, digits);
    if (budget < room) return std::string(static_cast<size_t>(budget - digits), '|') + number;
  }
  // A tree no longer than the number, or a row too narrow for the number:
  // the tree, cut to the row when it leaves no column of text.
  if (depth < room) return tree(depth);
  return room > 0 ? tree(room) : "";
}

}  // namespace

void disp(const char* text, int depth, int row, int highlighted, char readed, char kind) {
  const row_colour& rc = kind == 1 ? kSectionColour : kind == 2 ? kSubColour : kTitleColour;
  const char* colour = highlighted ? rc.bar : rc.plain;
  const char* mark = kind == 1 ? "" : kReadMark[readed == 1 ? 1 : 0];

  out_printf("\033[%d;%dH", row + 1, 1);
  out_printf("%c(B", 27);
  out_printf("%s%s%s", colour, mark, "\033[0m");

  // Two columns for the mark, one per tree level, the text, one blank.
  const std::string tree = tree_marks(depth, env_x);
  long long limit = static_cast<long long>(env_x) - static_cast<long long>(tree.size()) - 3;
  std::string_view shown(text != nullptr ? text : "");
  shown = shown.substr(0, row_text_len(shown, limit));

  out_printf("\033[%d;%dH", row + 1, 3);
  out_write(tree);
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

// ---- read state and mailbox -------------------------------------------------

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

// Why the flags of this run could not be read from "dk_readed" (0 when they
// were, or when there was nothing to read): storing them then would put
// flags read from nothing over marks the file holds.
int flags_unread_errno = 0;

struct fd_closer {
  int fd = -1;
  ~fd_closer() {
    if (fd >= 0) ::close(fd);
  }
};

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

// Calls f for every line of fp, a last line without a newline included.
template <typename F>
void each_line(FILE* fp, F f) {
  std::string line;
  for (;;) {
    int end = readline(fp, line);
    if (end == EOF && line.empty()) return;
    f(line);
    if (end == EOF) return;
  }
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
  for (;;) {
    int fd = open_own_file(kReadedNew);
    if (fd < 0) return -1;
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR && !stop_requested()) {
    }
    struct stat held, named;
    if (rc == 0 && ::fstat(fd, &held) == 0 && held.st_nlink == 1 &&
        ::lstat(kReadedNew, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      if (::ftruncate(fd, 0) == 0) return fd;
      int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
    if (rc != 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      return -1;
    }
    ::close(fd);
  }
}

void sync_directory() {
  int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

// On failure the old file is left as it was.
const char* store_readed(const title_ent* table, const char* path, int count) {
  if (!storable(path)) return nullptr;
  if (flags_unread_errno != 0) {
    errno = flags_unread_errno;
    return "readed file open";
  }
  fd_closer lock{open_new_locked()};
  if (lock.fd < 0) return "readed file open";

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
      ::fchmod(lock.fd, st.st_mode & 07777);
    ::unlink(kReadedTmp);
    // Without hard links there is no copy; the rename below still guards.
    linked = ::link(kReadedFile, kReadedTmp) == 0;
  }

  int out_fd = ::dup(lock.fd);
  file_ptr out(out_fd >= 0 ? ::fdopen(out_fd, "wb") : nullptr);
  if (!out) {
    if (out_fd >= 0) ::close(out_fd);
    fail("readed file open");
    return failed;
  }

  std::string mine(path);
  mine += ' ';
  for (int i = 0; i < count; i++) mine += table[i].readed ? '1' : '0';
  mine += '\n';

  bool matched = false;
  if (old) {
    each_line(old.get(), [&](const std::string& line) {
      if (line_of(line, path)) {
        std::fwrite(mine.data(), 1, mine.size(), out.get());
        matched = true;
      } else {
        std::fwrite(line.data(), 1, line.size(), out.get());
        std::fputc('\n', out.get());
      }
    });
    if (std::ferror(old.get())) {
      fail("readed_tmp open");
      return failed;
    }
  }
  if (!matched) std::fwrite(mine.data(), 1, mine.size(), out.get());

  if (std::fflush(out.get()) != 0 || std::ferror(out.get()) || ::fsync(lock.fd) != 0 ||
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

void set_readed(title_ent* table, const char* path) {
  flags_unread_errno = 0;
  recover_readed();
  file_ptr fp(open_regular(kReadedFile, true));
  int unkept = 0;  // why the flags of this run cannot be stored, when they cannot
  if (!fp && errno != ENOENT) {
    // There, but no file of ours to read (a directory, a FIFO, another
    // user's file behind a link): every title starts unread, and nothing is
    // ever stored over it.
    unkept = flags_unread_errno = errno;
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
    readed_unkept = true;
  }
  if (!fp) return;
  if (!storable(path)) return;
  const int n = used_entries(table);
  std::string line;
  for (;;) {
    int end = readline(fp.get(), line);
    if (end == EOF && std::ferror(fp.get())) {
      flags_unread_errno = errno != 0 ? errno : EIO;
      return;  // every title starts unread, and nothing is stored over the file
    }
    if (line_of(line, path)) {
      std::string_view flags = std::string_view(line).substr(std::strlen(path) + 1);
      for (size_t i = 0; i < flags.size() && i < static_cast<size_t>(n); i++) {
        if (flags[i] == '1') table[i].readed = 1;
      }
      return;
    }
    if (end == EOF) return;
  }
}

void save_readed(title_ent* table, const char* path, int count) {
  scan_done = false;  // stored now, or never: fatal must not try again
  const char* failed = store_readed(table, path, count);
  // The extracts go whether the flags could be stored or not.
  int saved = errno;
  ::unlink(kTmpFile);
  remove_display_copy();
  errno = saved;
  if (failed != nullptr) fatal(failed);
}

namespace {

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

}  // namespace

const char* add_file(const char* src, const char* dst) {
  file_ptr in(open_regular(src));
  if (!in) return "add_file : tmpfile open";
  fd_closer out{open_append(dst)};
  if (out.fd < 0) return "add_file : mbox open";
  // Only what the source held when opened is copied: appending a file to
  // itself would otherwise never reach its end.
  struct stat st;
  unsigned long long left = ~0ULL;
  if (::fstat(fileno(in.get()), &st) == 0) left = static_cast<unsigned long long>(st.st_size);
  const bool regular = ::fstat(out.fd, &st) == 0 && S_ISREG(st.st_mode);
  const off_t before = regular ? st.st_size : 0;
  char buf[65536];
  bool failed = false;
  while (left > 0 && !failed) {
    size_t want = left < sizeof buf ? static_cast<size_t>(left) : sizeof buf;
    size_t n = std::fread(buf, 1, want, in.get());
    if (n == 0) break;
    failed = !write_all(out.fd, buf, n);
    left -= n;
  }
  // A file system that reports a full disk only when the data goes out
  // (NFS, quotas) says so here, while the file can still be cut back.
  if (!failed && regular && ::fsync(out.fd) != 0 && errno != EINVAL) failed = true;
  // A mailbox cut short is reported, not passed off as saved, and goes back
  // to its old length: the next mail program to read it would take half a
  // message for a whole one.
  int saved = errno;
  if (failed && regular && ::ftruncate(out.fd, before) != 0) {
    // Nothing more can be done; the failure is reported all the same.
  }
  int fd = out.fd;
  out.fd = -1;
  if (::close(fd) != 0 && !failed) {
    failed = true;
    saved = errno;
  }
  errno = saved;
  return failed ? "add_file : mbox write" : nullptr;
}

// ---- reply threads ----------------------------------------------------------

namespace {

// The parent searches would scan every earlier entry and walk the parent's
// chain of replies to its end.  This index gives the same answers at once:
// for each number and group the oldest and the newest entry, for each
// message id (letters in any case) and group the oldest, and for each
// parent the last reply of its chain.  It holds the entries before
// `covered`: the scan asks for the parent of each new entry in turn, and a
// search for an earlier index (asked only by hand) builds it afresh.

struct num_entries {
  int oldest;
  int newest;
};

// FNV-1a over the id with ASCII letters folded to lower case.
uint64_t msgid_hash(std::string_view id, uint8_t group) {
  uint64_t h = 0xcbf29ce484222325ULL ^ group;
  for (char c : id) {
    h ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

// Message ids and groups to the oldest entry: open addressing over a
// power-of-two array of slots, at most half of them used.  A slot holds the
// hash and the entry, so the id stored with the entry is compared only when
// the hashes agree.
class msgid_table {
 public:
  int find(std::string_view id, uint8_t group) const {
    if (slots_.empty()) return -1;
    uint64_t h = msgid_hash(id, group);
    for (size_t i = h & mask_; slots_[i].index >= 0; i = (i + 1) & mask_) {
      if (slots_[i].hash == h && holds(slots_[i].index, id, group)) return slots_[i].index;
    }
    return -1;
  }

  // The first entry with an id stays: later ones never become parents.
  void enter(std::string_view id, uint8_t group, int index) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    uint64_t h = msgid_hash(id, group);
    size_t i = h & mask_;
    for (; slots_[i].index >= 0; i = (i + 1) & mask_) {
      if (slots_[i].hash == h && holds(slots_[i].index, id, group)) return;
    }
    slots_[i] = {h, index};
    used_++;
  }

 private:
  struct slot {
    uint64_t hash;
    int index;  // -1: the slot is free
  };

  static bool holds(int index, std::string_view id, uint8_t group) {
    std::string_view stored = tent[index].msgid;
    return tent[index].group == group && stored.size() == id.size() &&
           starts_with_nocase(stored, id);
  }

  void grow() {
    std::vector<slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, slot{0, -1});
    mask_ = slots_.size() - 1;
    for (const slot& s : old) {
      if (s.index < 0) continue;
      size_t i = s.hash & mask_;
      while (slots_[i].index >= 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
};

// Numbers and groups to entries: open addressing over a power-of-two array
// of slots, at most three quarters of them used.  Every title is entered here, and a
// slot is one memory access where a node of a std::unordered_map is two or
// three (with a division by a prime on the way): at a million titles that
// is most of the cost of the index.
class num_table {
 public:
  const num_entries* find(uint64_t key) const {
    if (slots_.empty()) return nullptr;
    size_t i = start(key);
    while (slots_[i].at.oldest >= 0 && slots_[i].key != key) i = (i + 1) & mask_;
    return slots_[i].at.oldest >= 0 ? &slots_[i].at : nullptr;
  }

  // Room for about n keys without growing.
  void reserve(size_t n) {
    size_t want = 1024;
    while (want / 4 * 3 < n) want *= 2;
    if (want > slots_.size()) rehash(want);
  }

  void enter(uint64_t key, int index) {
    if ((used_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 1024 : slots_.size() * 2);
    size_t i = start(key);
    while (slots_[i].at.oldest >= 0 && slots_[i].key != key) i = (i + 1) & mask_;
    if (slots_[i].at.oldest < 0) {
      slots_[i] = {key, {index, index}};
      used_++;
    } else {
      slots_[i].at.newest = index;
    }
  }

 private:
  struct slot {
    uint64_t key;
    num_entries at;  // oldest -1: the slot is free
  };

  // Message numbers in a room mostly rise one by one, and a reply mostly
  // names a recent message: runs of 64 numbers of a room share a stretch of
  // slots, so entering and finding them stays within memory just touched.
  // Where a run lies is mixed from the rest of the key.
  static constexpr int kRun = 6;
  size_t start(uint64_t key) const {
    uint64_t run = (key >> (8 + kRun)) << 8 | (key & 0xff);
    uint64_t at = ((run * 0x9e3779b97f4a7c15ULL) >> 32) + ((key >> 8) & ((1 << kRun) - 1));
    return static_cast<size_t>(at) & mask_;
  }

  void rehash(size_t size) {
    std::vector<slot> old = std::move(slots_);
    slots_.assign(size, slot{0, {-1, -1}});
    mask_ = slots_.size() - 1;
    for (const slot& s : old) {
      if (s.at.oldest < 0) continue;
      size_t i = start(s.key);
      while (slots_[i].at.oldest >= 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
};

struct reply_index {
  num_table by_num;
  msgid_table by_msgid;
  std::vector<int> last_reply;  // by the parent's index: the last reply's index + 1, or 0
  int covered = 0;
};

reply_index rix;

uint64_t num_key(int num, uint8_t group) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(num)) << 8) | group;
}

// Makes the index hold exactly the entries before index.
void cover(int index) {
  if (index < rix.covered) {
    rix.by_num = num_table{};
    rix.by_msgid = msgid_table{};
    rix.covered = 0;
  }
  for (; rix.covered < index; rix.covered++) {
    const int i = rix.covered;
    const title_ent& e = tent[i];
    rix.by_num.enter(num_key(e.num, e.group), i);
    if (e.msgid != nullptr) rix.by_msgid.enter(e.msgid, e.group, i);
  }
}

// Links the entry at index under the one at parent, at the end of its chain.
int link_under(int parent, int index) {
  title_ent* p = &tent[parent];
  title_ent* reply = &tent[index];
  size_t k = static_cast<size_t>(parent);
  if (rix.last_reply.size() <= k) rix.last_reply.resize(std::max(k + 1, 2 * rix.last_reply.size()));
  int& last = rix.last_reply[k];
  if (p->child == nullptr) {
    p->child = reply;
  } else {
    title_ent* end = last != 0 ? &tent[last - 1] : p->child;
    while (end->next != nullptr) end = end->next;
    end->next = reply;
  }
  last = index + 1;
  return 1;
}

int link_by_num(int index, int key, bool newest) {
  if (index <= 0) return 0;
  cover(index);
  const num_entries* found = rix.by_num.find(num_key(key, tent[index].group));
  if (found == nullptr) return 0;
  return link_under(newest ? found->newest : found->oldest, index);
}

}  // namespace

void thread_index_reset(long log_size) {
  rix = reply_index{};
  // A title stands in every few hundred bytes of a busy log.
  if (log_size > 0) rix.by_num.reserve(static_cast<size_t>(log_size / 512));
}

// Forum headers name their parent by number: the oldest earlier entry with
// that number in the same group.
int search_and_add(int index, int key) { return link_by_num(index, key, false); }

// Escape-marked titles name their parent by number: the newest earlier
// entry with that number in the same group.
int search_and_add4sx(int index, int key) { return link_by_num(index, key, true); }

// A news article's parent is the oldest earlier entry whose message id is
// the reference up to its first '>', whatever the case of either.
int search_and_add4news(int index, char* ref) {
  if (index <= 0) return 0;
  if (char* gt = std::strchr(ref, '>')) gt[1] = '\0';
  cover(index);
  int found = rix.by_msgid.find(ref, tent[index].group);
  if (found < 0) return 0;
  return link_under(found, index);
}

namespace {

// A level is 8 bits wide: threads deeper than 127 levels stay at 127, so a
// level never wraps to 0 (a root) or below.
constexpr int kMaxLevel = 127;

int8_t chain_level(int parent_level) {
  int l = parent_level + 1;
  if (l < 1) l = 1;
  if (l > kMaxLevel) l = kMaxLevel;
  return static_cast<int8_t>(l);
}

}  // namespace

// Roots in table order, each followed depth-first by its replies.
void make_tentp() {
  int out = 0;
  for (int i = 0; i < max_ent && tent[i].title != nullptr; i++) {
    if (tent[i].depth != 0) continue;  // a chain of its parent reaches it
    if (out >= max_ent) return;
    tentp[out++] = &tent[i];
    if (tent[i].child != nullptr) scan_comt(&out, tent[i].child, 0);
  }
}

// Lists a chain of replies and, right under each reply, its own replies.
// Threads can be thousands of levels deep, so the descent keeps its own
// stack of the chains it has yet to finish.
void scan_comt(int* out, title_ent* first, int8_t level) {
  struct pending {
    title_ent* entry;
    int8_t level;
  };
  std::vector<pending> stack;
  title_ent* e = first;
  int8_t lv = chain_level(level);
  for (;;) {
    while (e != nullptr) {
      if (*out >= max_ent) return;
      e->depth = lv;
      tentp[(*out)++] = e;
      if (e->child != nullptr) {
        if (e->next != nullptr) stack.push_back({e->next, lv});
        e = e->child;
        lv = chain_level(lv);
      } else {
        e = e->next;
      }
    }
    if (stack.empty()) return;
    e = stack.back().entry;
    lv = stack.back().level;
    stack.pop_back();
  }
}

// ---- usage ------------------------------------------------------------------

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

}  // namespace dulk
