// Start-up, the key loop and its actions, ending the process, and the usage
// text.
#include "dulk.h"

#include <curses.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

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

namespace {
// What the run has reached, for the ways it can end; a session starts from
// a fresh value.
struct run_state {
  // Set once the scan has filled the table, until the read flags are
  // stored: in between, a fatal error stores them before it ends the run.
  bool scan_done = false;
};
run_state run;
}  // namespace

// Asks for a key when a message must be read before the screen changes.
static constexpr const char* kPressAnyKey = "Press any key to go on.";

void set_scan_done(bool done) { run.scan_done = done; }

void reset_state() {
  release_tables();
  set_colours(true);
  title_store_clear();
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
  run = run_state{};
  thread_index_reset();
  reset_readed_state();
  reset_search_state();
  reset_script_state();
  reset_terminal_state();
  reset_screen_state();
  reset_reread_state();
  note_until_key(nullptr);  // no note stands on a screen not yet painted
  reset_move_state();
}

void freex(title_ent* table) {
  if (table != nullptr) {
    for (int i = 0; i < max_ent && table[i].title != nullptr; i++) {
      table[i].title = nullptr;
      table[i].msgid = nullptr;
    }
  }
  title_store_clear();
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
  if (run.scan_done && !storing && tent != nullptr) {
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

// A title count: decimal digits alone, from 1 up to the largest int.
bool title_count(std::string_view s, int& n) {
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  long long v = std::atoll(std::string(s).c_str());
  if (v < 1 || v > INT_MAX) return false;
  n = static_cast<int>(v);
  return true;
}

// Opens the log for reading.  Only a regular file will do: a directory cannot
// be read, and a FIFO or device can neither be positioned nor be counted on
// to end, so the scan would hang on it.
FILE* open_log(const char* path) { return open_regular(path); }

}  // namespace

int dulk_main(int argc, char** argv) {
  out_init_charset();  // first, so that the usage text is converted as well
  colours_from_env();
  ent_cnt = 0;
  bool have_path = false;
  bool fixed_size = false;

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
      // Without -n the table grows as the log needs; with it the table
      // holds that many titles and no more.
      if (!title_count(argv[++i], max_ent)) usage();
      fixed_size = true;
    } else {
      log_path = argv[i];
      have_path = true;
    }
  }
  if (!have_path) usage();

  if (!alloc_tables(!fixed_size)) {
    std::printf("Memory allocation failure! (tent=%d,tentp=%d)\n",
                static_cast<int>(reinterpret_cast<intptr_t>(tent)),
                static_cast<int>(reinterpret_cast<intptr_t>(tentp)));
    dk_exit(1);
  }

  size_from_environment();

  const char* ed = std::getenv("EDITOR");
  const char* pg = std::getenv("PAGER");
  editor = ed != nullptr ? ed : "vi";
  pager = pg != nullptr ? pg : "less";

  log_fp = open_log(log_path.c_str());
  if (log_fp == nullptr) fatal("dulk : open logfile ");

  term_start();
  // From here on a signal lets the terminal go back to its ordinary mode;
  // one that arrives during the scan is acted on when the key loop starts.
  catch_end_signals();
  read_title(log_fp, tent, &ent_cnt);
  run.scan_done = true;
  set_readed(tent, log_path.c_str());
  if (readed_unkept()) {  // the warning must be read before the list covers it
    out_printf("%s", kPressAnyKey);
    scr_getch();
  }
  run_viewer();
}

void run_viewer() {
  // Memory that runs out while the user reads (a long line converted for
  // the screen) ends the run the way a file failure does: what was read is
  // kept and the terminal is given back.
  cursor at;  // the key loop starts on the first title
  try {
    follow_window();  // the window may have changed while the log was scanned
    // The list at the bottom of the screen; a repaint puts the cursor's
    // title on the page of the size the page has now.
    screen_layer list([&at] {
      at.cur_row = at.cur_idx % page_rows();
      repaint(at);
    });
    disp_one_pg(tent, at.cur_idx, ent_cnt, env_y, log_path.c_str());
    if (ent_cnt == 0) {
      show_msg("Warning : There is no message.");  // below the header, clear of the end marker
    } else if (!window_too_small()) {
      tdisp(at.cur_idx, at.cur_row, 1);
    }
    key_loop(at);
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
  set({18}, key_action::reread);  // Ctrl-R
  set({' '}, key_action::next_page);
  set({'g'}, key_action::first);
  set({'G'}, key_action::last);
  set({'1', '2', '3', '4', '5', '6', '7', '8', '9'}, key_action::count_digit);
  set({'='}, key_action::where);
  set({'t'}, key_action::thread_read);
  set({'T'}, key_action::thread_unread);
  set({'m'}, key_action::page_read);
  set({'M'}, key_action::all_read);
  set({9}, key_action::read_next);  // Tab
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
    case key_action::reread:
      return false;
    default:
      return true;
  }
}

// Consecutive read errors after which the terminal is taken to be gone.
constexpr int kMaxReadErrors = 100;

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

// Runs the program on the file through the shell.  False when the shell
// could not run it (status 126 or 127): the shell's message then stays on
// the screen until a key is pressed.
bool run_command(const std::string& program, const std::string& file) {
  std::string cmd = program + " " + file;
  out_flush();
  return run_shell(cmd.c_str(), kPressAnyKey);
}

// Shows the current message in the pager or the editor; it counts as read
// whatever the program made of it, unless the program could not be run.
void read_message(const cursor& at, const std::string& program) {
  title_ent* e = entry_at(at.cur_idx);
  if (e == nullptr || e->kind != 0 || !log_usable()) return;
  write_one_log(log_fp, tent, kTmpFile, kPlain, at.cur_idx);
  scr_clear();
  if (run_command(program, display_copy(kTmpFile))) e->readed = 1;
  repaint(at);
}

// The note that a save worked, the name cut so that the note fits the row.
std::string saved_note(const std::string& name, unsigned long long bytes) {
  const std::string head = "saved to ";
  const std::string tail = " (" + std::to_string(bytes) + " bytes)";
  std::string shown = for_screen(name);
  long long room =
      static_cast<long long>(env_x) - 1 - static_cast<long long>(head.size() + tail.size());
  shown.resize(row_text_len(shown, room < 1 ? 1 : room));
  return head + shown + tail;
}

void save_message(const cursor& at) {
  const title_ent* e = entry_at(at.cur_idx);
  if (e == nullptr || e->kind != 0 || !log_usable()) return;
  write_one_log(log_fp, tent, kTmpFile, kPlain, at.cur_idx);
  // The name stays in the terminal's charset, which is the file system's.
  std::string typed;
  // ESC, input that ends before the line does, a signal that ends the run
  // and an empty line (Return pressed by mistake) cancel as "q" does.
  bool whole = prompt_line("=> save filename (cancel:'q') = ", typed);
  std::string note;
  if (!whole || typed.empty() || typed == "q" || typed == "mboxq") {
    show_msg("cancel!\n");
  } else {
    show_msg("saving!\n");
    scr_refresh();
    const std::string name = expand_home(typed);
    unsigned long long bytes = 0;
    // A name that cannot be appended to is reported, and the run goes on:
    // a mistyped name must not cost the session.
    if (const char* failed = add_file(kTmpFile, name.c_str(), &bytes)) {
      std::string why = std::string(failed) + ": " + std::strerror(errno);
      scr_refresh();
      repaint(at);
      show_msg(why);
      note_until_key(wipe_msg);
      return;
    }
    note = saved_note(name, bytes);
  }
  scr_refresh();
  repaint(at);
  if (!note.empty()) {
    show_msg(note);
    note_until_key(wipe_msg);
  }
}

void write_script(const cursor& at, const char* prefix, int mode) {
  const title_ent* e = entry_at(at.cur_idx);
  if (e == nullptr || e->kind != 0 || !log_usable()) return;
  std::string name = script_name(prefix);
  write_one_log(log_fp, tent, name.c_str(), mode, at.cur_idx);
  std::string note = take_script_note();
  std::string written, edited;
  const bool known = read_whole(name.c_str(), written);
  const bool ran = run_command(editor, script_edit_copy(name));
  std::string back = script_take_back(name);
  // A script the editor left as it was written is abandoned: kept, the
  // communication program would send it.  One that no editor saw, or whose
  // copy did not come back whole, stays.
  if (ran && known && back.empty() && read_whole(name.c_str(), edited) && edited == written &&
      ::unlink(name.c_str()) == 0) {
    back = name + ": not changed, not kept";
  }
  if (!back.empty()) note = note.empty() ? back : back + "  " + note;
  repaint(at);
  if (!note.empty()) {
    show_msg(note);
    note_until_key(wipe_msg);
  }
}

void switch_link(const cursor& at) {
  link = 1 - link;
  if (link == 1 && tentp != nullptr && tentp[0] == nullptr) make_tentp();
  out_write("\a\n");
  repaint(at);
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
    case kKeyEnd:
      return key_action::last;
    case kKeyRedraw:
      return key_action::redraw;
    default:
      break;
  }
  if (code < 0 || code >= kKeyCodes) return key_action::none;
  return kKeyTable[static_cast<size_t>(code)];
}

void key_loop(cursor& at) {
  catch_end_signals();
  int errors = 0;
  for (;;) {
    if (int sig = pending_end_signal()) end_by_signal(sig);
    if (screen_lost()) repaint(at);  // continued after a stop in a wait
    int c = scr_getch();
    if (int sig = pending_end_signal()) end_by_signal(sig);
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
    forget_note();
    if (count_key(at, c, act)) continue;
    if (ent_cnt <= 0 && needs_entry(act)) continue;

    switch (act) {
      case key_action::none:
      case key_action::count_digit:  // taken as a count above
        break;
      case key_action::read_down:
        if (title_ent* e = entry_at(at.cur_idx); e != nullptr && e->kind == 0) e->readed = 1;
        move_down(at);
        break;
      case key_action::down:
        move_down(at);
        break;
      case key_action::up:
        move_up(at);
        break;
      case key_action::next_page:
        next_page(at);
        break;
      case key_action::prev_page:
        prev_page(at);
        break;
      case key_action::first:
        at.cur_idx = 0;
        at.cur_row = 0;
        repaint(at);
        break;
      case key_action::next_unread:
        find_unread(at, 1, std::string(sjis::kNoUnreadAfter) + "\a");
        break;
      case key_action::read_next:
        if (find_unread(at, 1, std::string(sjis::kNoUnreadAfter) + "\a")) read_message(at, pager);
        break;
      case key_action::prev_unread:
        find_unread(at, -1, std::string(sjis::kNoUnreadBefore) + "\a");
        break;
      case key_action::unread:
        if (title_ent* e = entry_at(at.cur_idx); e != nullptr) e->readed = 0;
        tdisp(at.cur_idx, at.cur_row, 1);
        break;
      case key_action::read_pager:
        read_message(at, pager);
        break;
      case key_action::read_editor:
        read_message(at, editor);
        break;
      case key_action::save:
        save_message(at);
        break;
      case key_action::comment:
        write_script(at, "comt", kComment);
        break;
      case key_action::post:
        write_script(at, "say", kSay);
        break;
      case key_action::link_switch:
        switch_link(at);
        break;
      case key_action::help:
        scr_clear();
        disp_help();
        repaint(at);
        break;
      case key_action::del:
        show_msg("Delete is not support.\n");
        break;
      case key_action::redraw:
        if (!repaint_screen()) repaint(at);
        break;
      case key_action::reread:
        reread_log(at);
        break;
      case key_action::quit:
        quit();
      case key_action::title_search:
      case key_action::title_search_back:
      case key_action::text_search:
      case key_action::text_search_back:
        search_command(at, act);
        break;
      case key_action::last:
      case key_action::where:
      case key_action::thread_read:
      case key_action::thread_unread:
      case key_action::page_read:
      case key_action::all_read:
        move_command(at, act);
        break;
    }
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
