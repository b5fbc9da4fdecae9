// dulk: a full-screen viewer for the capture logs of a Japanese online
// conferencing service.  One header for the whole program: the title record,
// the globals every part shares, and the routines one source file calls in
// another.  All text handled here is Shift-JIS bytes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sjis.h"

namespace dulk {

inline constexpr const char* kVersion = "1.71";
// A fuzz build moves the extract file aside, so that millions of runs never
// remove the one a viewer or a test in progress is using.
#ifndef DULK_TMP_FILE
#define DULK_TMP_FILE "/tmp/dulk_tmp"
#endif
inline constexpr const char* kTmpFile = DULK_TMP_FILE;
inline constexpr const char* kReadedFile = "dk_readed";
inline constexpr const char* kReadedTmp = "dk_rtmp";

// ---- shared helpers (inline) ------------------------------------------------

// A FILE* that is closed whatever way its scope is left.
struct file_closer {
  void operator()(FILE* fp) const { std::fclose(fp); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// The text of a line from column n on; empty when the line is shorter.
inline std::string_view from_column(std::string_view text, size_t n) {
  return n < text.size() ? text.substr(n) : std::string_view();
}

// True when s begins with prefix, ASCII letters compared without regard to
// case (the names of news headers).
inline bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); i++) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(s[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// ---- the title table (dulk.cpp) ---------------------------------------------

struct title_ent;
extern title_ent* tent;  // max_ent entries, log order

// A reply link from one entry to another of tent, used as a pointer.  It is
// kept as the other entry's place in the table: four bytes where a pointer
// takes eight, and still right when the table is moved to grow.  Zero, as
// every entry starts, is null.
class entry_link {
 public:
  entry_link() = default;
  entry_link(title_ent* e);
  operator title_ent*() const;
  title_ent* operator->() const { return *this; }

 private:
  uint32_t at_ = 0;  // place in tent + 1; 0: none
};

// One title of the log: a message, or a heading that groups messages.
struct title_ent {
  entry_link next;        // next reply to the same parent
  entry_link child;       // first reply to this entry
  char* title;            // text shown in the list; null marks an unused entry
  long offset;            // log position right after the title line
  int num;                // message number read at the title column
  entry_link parent;      // the entry this one is linked under
  char* msgid;            // news articles: the Message-ID: value
  entry_link last_reply;  // the end of the chain that child begins
  int8_t depth;           // 0 root; 1 linked (during the scan); level once ordered
  uint8_t group;          // a reply links only under a parent of the same group
  // Three small values share a byte, so that the links fit in the record.
  int8_t readed : 2;   // 1 read, 0 unread
  int8_t kind : 3;     // 0 message, 1 section header, 2 sub-header
  int8_t msghead : 2;  // 1 when the title line had a message-header form
};
// A title costs its record and its text: the record stays within 48 bytes.
static_assert(sizeof(void*) > 8 || sizeof(title_ent) <= 48);

inline entry_link::entry_link(title_ent* e)
    : at_(e == nullptr ? 0 : static_cast<uint32_t>(e - tent + 1)) {}
inline entry_link::operator title_ent*() const { return at_ == 0 ? nullptr : tent + (at_ - 1); }

extern title_ent** tentp;  // max_ent pointers, thread order once built
extern int ent_cnt;
extern int max_ent;
extern int link;  // 1: the list shows tentp (thread order)
extern int vf;    // 1: no progress meter during the scan
extern int gf;    // 1: "-g" named a newsgroup
extern char ng;   // "-ng"; read by nothing
extern std::string newsgrp;
extern int env_x;  // row width in columns
extern int env_y;  // title rows on a page

// Viewer state set up by start-up and worked on by the key loop.
extern std::string log_path;
extern FILE* log_fp;
extern std::string editor;
extern std::string pager;

// The key loop's cursor over the current order.  Start-up puts it on the
// first title and hands it to the key loop, which hands it to what moves it.
struct cursor {
  int cur_idx = 0;  // position in the current order
  int cur_row = 0;  // the cursor's row on the page
};

// Back to the values a fresh process starts with (tests start from here).
void reset_state();
// Each file's own state back to a fresh value; reset_state calls them all.
void reset_readed_state();    // dulk_readed.cpp
void reset_search_state();    // dulk_search.cpp
void reset_script_state();    // dulk_w.cpp
void reset_terminal_state();  // dulk_tty.cpp
void reset_screen_state();    // dulk_screen.cpp
void reset_reread_state();    // dulk_reread.cpp
void reset_move_state();      // dulk_move.cpp

// Release every title and message id (the table itself stays).
void freex(title_ent* table);

// Title and message-id strings are carved out of large blocks that freex
// releases together.
char* title_store(std::string_view text, size_t extra = 0);
// Releases every string of the store at once (title_store.cpp).
void title_store_clear();

// ---- the table's memory (title_table.cpp) -----------------------------------

// Allocates tent and tentp zeroed for max_ent entries; false when either
// fails.  A growing table starts so and takes more room as grow_tables asks,
// without moving: pointers into it stay good.
bool alloc_tables(bool grows = false);
// Room for more entries: max_ent doubles (up to what the memory holds) and
// true is returned; false for a table of a fixed size; std::bad_alloc when
// no more memory is to be had.
bool grow_tables();
// Gives both arrays back; tent and tentp are null after it.
void release_tables();

// ---- ending the process (dulk.cpp) ------------------------------------------

// Every end of the process goes through here: the terminal is restored when
// curses was started.  Tests and fuzzers may install a hook that does not
// return (it throws); the hook sees the status.
[[noreturn]] void dk_exit(int status);
// Flushes what is still to be written and gives the terminal back in its
// ordinary mode (dk_exit does this; the signal path too, before the signal
// ends the run).
void leave_terminal();
using exit_hook_fn = void (*)(int status);
void set_exit_hook(exit_hook_fn hook);

// A file failure: the read flags of the run are stored first when the scan is
// over (so nothing the user did is lost), then perror(what) and status 1.
[[noreturn]] void fatal(const char* what);
// Start-up marks the scan over; tests set it to reach fatal's storing path.
void set_scan_done(bool done);

// ---- terminal output layer (dulk_tty.cpp) -----------------------------------

// Every byte meant for the terminal goes through one sink.  The default sink
// writes to standard output; tests install one that collects bytes.
class out_sink {
 public:
  virtual ~out_sink() = default;
  virtual void write(const char* data, size_t len) = 0;
  virtual void flush() = 0;
};
out_sink* set_out_sink(out_sink* sink);  // returns the previous sink
void out_write(std::string_view bytes);
void out_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void out_vprintf(const char* fmt, va_list ap);
void out_flush();

// What the output layer writes to the terminal: the Shift-JIS bytes as they
// are, or the same text in UTF-8 for today's terminals.
enum class out_charset { sjis, utf8 };
// Reads DULK_CHARSET ("UTF-8" or "utf8", any case, chooses UTF-8; anything
// else Shift-JIS), or when it is unset the character set of the locale
// (LC_ALL, LC_CTYPE, LANG).  Called once at start-up (term_charset.cpp).
void out_init_charset();
out_charset charset_from_name(const char* name);  // null: Shift-JIS
void out_set_charset(out_charset cs);
out_charset out_get_charset();

// Shift-JIS to UTF-8 through iconv from CP932, appended to out.  For the
// screen every character keeps the columns it takes in Shift-JIS (narrow
// double-byte characters get a blank after them, and what does not convert
// becomes one U+FFFD per column), so rows keep their layout.  For a file the
// text is converted as it is, one U+FFFD per byte that does not convert.
// (sjis.cpp)
enum class utf8_use { screen, file };
void sjis_to_utf8(std::string_view in, std::string& out, utf8_use use);
// False when the C library has no CP932 converter.
bool utf8_conversion_ok();

// What the user typed or wrote in the terminal's character set, as the
// Shift-JIS the program works in: under UTF-8 the text is converted through
// iconv to CP932, otherwise it is taken as it is.  out holds the whole
// conversion of what did convert; false when some character has no Shift-JIS
// form (or the input is no UTF-8), and then *bad_at, when given, is the byte
// offset in `in` where the first such character starts.
bool from_terminal(std::string_view in, std::string& out, size_t* bad_at = nullptr);
// Typed text to show on the screen: what from_terminal makes of it, with a
// '?' for each character that has no Shift-JIS form (term_charset.cpp).
std::string for_screen(std::string_view typed);

// Thin wrappers over the few curses calls the viewer makes; they do nothing
// until curses has been started, so painters can run in tests.
void term_start();
void term_restore();
void scr_clear();    // wclear + wrefresh
void scr_refresh();  // wrefresh
// One whole key: its byte (0 .. 255), or for a key that sends an escape
// sequence the code below (a lone ESC stays 27); kKeyRedraw once the run was
// continued after a stop; ERR (-1) when input is gone or a signal came.
int scr_getch();
inline constexpr int kKeyUp = 0x101;
inline constexpr int kKeyDown = 0x102;
inline constexpr int kKeyPageUp = 0x103;
inline constexpr int kKeyPageDown = 0x104;
inline constexpr int kKeyHome = 0x105;
inline constexpr int kKeyOther = 0x106;  // any other sequence, read whole
inline constexpr int kKeyRedraw = 0x107;
inline constexpr int kKeyEnd = 0x108;
// The key of an escape sequence from the bytes that follow its ESC.
int decode_escape(std::string_view tail);
// True from a stop and continue until the screen is next cleared.
bool screen_lost();
// Tells curses the screen's new size; 0 keeps a dimension as curses has it.
void term_resize(int rows, int cols);
// Acts on a stop, a continue or a window change that came since the last
// look, and paints the screen again from its layers.  kKeyRedraw when the
// run was continued and nothing stands on the screen yet (the caller
// paints), else 0.
int take_screen_events();

// Runs a command line through the shell with the terminal as the shell had
// it (line mode, echo, its own screen) and takes the viewer's mode back.
// False when the shell could not run it (status 126 or 127): failure_note,
// when given, is then shown below the shell's message and a key waited for
// before the viewer's screen comes back.
bool run_shell(const char* cmd, const char* failure_note = nullptr);

// One message on the row below the header, from column 1, over what stood
// there.
void show_msg(std::string_view sjis_text);
// The same for a one-line note, cut to the row; wipe_msg empties the row.
void show_note(std::string_view sjis_text);
void wipe_msg();
// Text as the user typed it, in the terminal's charset already: written
// past the conversion.
void out_write_typed(std::string_view typed);

// ---- screen painters (dulk_paint.cpp) ---------------------------------------

void disp(const char* text, int depth, int row, int highlighted, char readed, char kind);
void tdisp(int position, int page_row, int highlighted);
void disp_one_pg(title_ent* table, int cursor, int count, int per_page, const char* log_name);
void disp_meter(int squares, int filled);

// Rows in their colours (on) or in none, the cursor bar in reverse video.
void set_colours(bool on);
// Colours unless NO_COLOR is set and not empty.  Called once at start-up.
void colours_from_env();

// How many bytes of text a row shows when limit bytes fit: the whole text
// (less a trailing line end) when it is shorter, else limit bytes, or one
// fewer when the last byte that fits is a Shift-JIS lead byte; 0 when
// limit < 1.
size_t row_text_len(std::string_view text, long long limit);

// The entry at a position of the current order; null when there is none.
title_ent* entry_at(int position);

// Title rows on a page, at least one.
int page_rows();
// The page of the cursor, then the cursor bar over its row.
void repaint(const cursor& at);
// Moves the cursor bar to position p: two rows on the same page, else the
// page of p.
void move_to(cursor& at, int p);
// A note on the screen lasts until the next key, which has wipe paint it
// away and then does what it does: no key is spent on a note.
void note_until_key(void (*wipe)());
void forget_note();  // the key loop, for every key

// ---- the screen's size and what stands on it (dulk_screen.cpp) -------------

// The page's size: LINES and COLUMNS where they are exported as positive
// numbers, as they always counted; a dimension without one follows the
// window, and only where the terminal tells no size do 20 title rows and 80
// columns stand in.  Start-up calls it once.
void size_from_environment();
// After a window change: the new size where the page follows the window,
// curses told.  The list's layer puts the cursor's row right.
void follow_window();
// True while the window is too small for a page (fewer than 5 rows or 10
// columns where the page follows it): one notice stands on the screen and
// keys do nothing until it grows.
bool window_too_small();
void paint_small_notice();

// One thing that stands on the screen, from the list at the bottom to a
// prompt or a message over it, or a screen of its own (cover) that hides
// what lies below.  While it lives, a window change, a continue or Ctrl-L
// paints it again with the rest.
class screen_layer {
 public:
  explicit screen_layer(std::function<void()> paint, bool cover = false);
  ~screen_layer();
  screen_layer(const screen_layer&) = delete;
  screen_layer& operator=(const screen_layer&) = delete;

 private:
  friend bool repaint_screen();
  std::function<void()> paint_;
  bool cover_;
};
// The whole screen painted again from its layers; false when none stands.
bool repaint_screen();
// A key for a wait on something shown: Ctrl-L paints the screen again and
// is not taken as the key.
int wait_key();
// Shows prompt on that row and reads a line, echoed in the terminal's
// charset: Backspace (DEL, Ctrl-H) deletes the last character, Ctrl-U the
// line.  True when Return or Ctrl-J ends it; false on ESC, the end of input
// or a signal that ends the run.  typed is in the terminal's charset
// (from_terminal converts it).  Too long for the row, the prompt and the
// text show their end behind a "<".
bool prompt_line(const char* prompt, std::string& typed);

// ---- start-up and the key loop (dulk.cpp) -----------------------------------

int dulk_main(int argc, char** argv);  // does not return normally
// The first page, then the key loop; the scan must be done.
[[noreturn]] void run_viewer();
[[noreturn]] void key_loop(cursor& at);
[[noreturn]] void usage();

// What a key does; codes 0 .. kKeyCodes - 1 are looked up in one table,
// every other code does nothing.
inline constexpr int kKeyCodes = 120;
enum class key_action : uint8_t {
  none,
  down,
  read_down,  // mark read, then down
  up,
  next_page,
  prev_page,
  first,
  next_unread,
  prev_unread,
  unread,
  read_pager,
  read_editor,
  save,
  comment,
  post,
  link_switch,
  help,
  del,
  quit,
  title_search,       // forward over the titles
  title_search_back,  // backward over the titles
  text_search,        // forward over the messages' text
  text_search_back,   // backward over the messages' text
  redraw,
  reread,         // the log again, after it changed on disk
  last,           // the last title
  count_digit,    // 1 .. 9: the first digit of a count
  where,          // the cursor's position, the titles, the unread, the log
  thread_read,    // the cursor's thread marked read
  thread_unread,  // the same, marked unread
  page_read,      // the titles of the page marked read
  all_read,       // every title marked read, once the user agrees
  read_next,      // the next unread message, read as Return reads
};
key_action decode_key(int code);

// ---- moving through a long list (dulk_move.cpp) -----------------------------

// One title down or up, wrapping round the list; two rows are painted, or
// the page when the move leaves it.
void move_down(cursor& at);
void move_up(cursor& at);
// The next or previous page (a bell and round at either end).
void next_page(cursor& at);
void prev_page(cursor& at);
// The next (step 1) or previous (step -1) unread message, never wrapping;
// false when there is none: the cursor stays and a note says so.
bool find_unread(cursor& at, int step, const std::string& none_msg);

// A count typed before g, G or Return goes to that title (from 1), before
// % that far into the list.  Called with every key before it acts: true
// when the key belonged to the count (its digits, Backspace, ESC, the key
// that uses it); false when the key is to act, a count typed before it
// being dropped.  A note of these keys stays until that next key.
bool count_key(cursor& at, int c, key_action act);
// The keys of a long list that need no more than their action.
void move_command(cursor& at, key_action act);
// "1,234,567": the digits of n in groups of three.
std::string grouped(long long n);

// Signals are caught in the terminal layer, beside the stop and continue:
// a hang-up, terminate or interrupt is only noted, and the key loop ends the
// run by it (0 while none has come).
void catch_end_signals();
int pending_end_signal();
// True once a signal that ends the run has arrived; waits for keys give up.
bool stop_requested();

// ---- searching (dulk_search.cpp) --------------------------------------------

// The first character boundary of text where pattern stands as whole
// Shift-JIS characters, ASCII letters in either case; npos if none.  A
// pattern that ends in the middle of a double-byte character matches nothing.
size_t sjis_find(std::string_view text, std::string_view pattern);
// Called now and then by a long search with the share of it done (0 to 1);
// the search stops when it returns false.
using search_progress = std::function<bool(double done)>;
// The next position of the current order after from (step 1) or before it
// (step -1) whose title holds pattern, going round once (from itself last):
// -1 when no title holds it, -2 when progress stopped the search.
// The next position of the current order after from (step 1) or before it
// (step -1) whose entry has what is asked: going round once when wrap (from
// itself last), else up to the end of the order.  -1 when none has it, -2
// when progress stopped the search.
int next_position(int from, int step, bool wrap, const search_progress& progress,
                  const std::function<bool(const title_ent&)>& has);
int find_title(std::string_view pattern, int from, int step, const search_progress& progress);
// The log's bytes from offset on, up to len of them: fewer at its end, none
// past it or when it cannot be read; the log's position does not move.
size_t read_log_at(FILE* log, long offset, char* buf, size_t len);
// A line as the extract copies it: carriage returns dropped, cut at a NUL
// (scratch holds it when it must be copied).
std::string_view shown_line(std::string_view raw, std::string& scratch);
// For each of the count entries of table, 1 when its message as the pager
// shows it (the title line, then the lines before the one that ends it)
// holds pattern; 0 for headings.  Empty when progress stopped the search.
std::vector<uint8_t> message_hits(FILE* log, const title_ent* table, int count,
                                  std::string_view pattern, const search_progress& progress);
// The four search keys: a pattern typed at a prompt (an empty one repeats
// the last search of the same kind), then the title found is shown.
void search_command(cursor& at, key_action act);

// ---- files (dulk_files.cpp) -------------------------------------------------

// Creates path afresh for writing, readable by its owner alone: whatever
// stood there (a file or a symbolic link someone planted) is removed first
// or, when that is not allowed, the creation fails.  Null with errno set.
FILE* create_private(const char* path);

// Opens path for reading when it is a regular file.  A directory, FIFO or
// device is refused (EISDIR, ESPIPE) without being waited on.  With
// own_links_only a symbolic link is followed only to a file of this user
// (EACCES otherwise), for names others may plant.  Null with errno set.
FILE* open_regular(const char* path, bool own_links_only = false);

// Opens path for writing, created when missing and not truncated.  What
// someone may have planted there is refused unwritten: a symbolic link
// (ELOOP), a directory (EISDIR), a FIFO or device (ESPIPE), or a second name
// of a file elsewhere (EMLINK).  -1 with errno set.
int open_own_file(const char* path);

// An output file of the user's other than the extract (a script): created,
// or emptied when it is a file of its own; never written through a name
// someone planted.  Null with errno set.
FILE* create_output(const char* path);

// The mailbox the user named, a link of theirs followed.  A FIFO without a
// reader is refused (ENXIO) instead of waited on.  -1 with errno set.
int open_append(const char* path);

// A file name as the user typed it, with a leading "~" or "~/" standing for
// the home directory (HOME, else the user's entry) as in the shell.
std::string expand_home(const std::string& typed);

// Writes all of data; false with errno set when the file takes no more.
bool write_all(int fd, const char* data, size_t len);

// The whole of a regular file; false when it cannot be read.
bool read_whole(const char* path, std::string& bytes);

// Makes a rename in the current directory durable.
void sync_directory();

// Closes fd with errno kept (or set to reason when not 0); returns -1.
int close_keeping_errno(int fd, int reason = 0);

// A file descriptor closed whatever way its scope is left.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd();
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// ---- read state and mailbox (dulk_readed.cpp) -------------------------------

void set_readed(title_ent* table, const char* path);
void save_readed(title_ent* table, const char* path, int count);
// Null when appended, else the text to report (errno says why); copied,
// when given, is the number of bytes appended.
const char* add_file(const char* src, const char* dst, unsigned long long* copied = nullptr);
// What save_readed does to "dk_readed", without removing the extract or
// ending the run: null when stored, else the text to report (errno says why).
const char* store_readed(const title_ent* table, const char* path, int count);
// True when start-up (set_readed) found that this run's flags cannot be
// stored; the warning it printed waits for a key.
bool readed_unkept();
// The table was scanned afresh: its flags are no longer those loaded, and
// this run's flags are stored whole.
void readed_forget_loaded();

// Marking many titles at once; headings keep their flags, since they are
// never unread.  The messages of the thread the entry stands in (its root
// and every reply under that root) get flag; so do those at positions from
// .. to - 1 of the current order; every message of the table is marked read.
void mark_thread(title_ent* e, int8_t flag);
void mark_positions(int from, int to, int8_t flag);
void mark_all_read();
// The messages of the table not yet read, headings never among them.
long long count_unread();

// ---- log scanning (dulk_r.cpp; the line source in log_lines.h) -------------

// One line without its '\n', every '\r' dropped; returns '\n' or EOF.
int readline(FILE* fp, std::string& buf);
void read_title(FILE* log, title_ent* table, int* count);
// The scan of read_title from the log's position; growing: the titles after
// the *count ones in the table, stopping (false) when the table is full.
bool scan_titles(FILE* log, title_ent* table, int* count, long size, bool growing);
// Where the last scan stopped: the start of the first line it did not take
// whole (a last line without its newline, a news header block cut short).
long scan_resume_point();
// The next read_more_titles reads the log from its start (the table emptied).
void scan_from_start();
// The titles of what was appended to the log since the last scan, after the
// *count ones in the table; false when the table became full.
bool read_more_titles(FILE* log, title_ent* table, int* count);
const char* get_item(const char* src, const char* delim, int n, std::string& dst);
int dk_atoi(std::string_view s);  // atoi over a view: blanks, sign, digits

// ---- a log that changed on disk (dulk_reread.cpp) -------------------------

// Remembers the log as a scan has just read it.
void note_log_scanned(FILE* log);
enum class log_change { none, grew, changed };
// How the log on disk differs from what the scan read: grown at its end,
// changed (shorter, or its first or last scanned block is not the same), or
// not at all.
log_change log_state(FILE* log);
// The end of what the scan read: no message is read past it.
long log_read_limit();
// False, with the note said on the screen, when the log changed on disk so
// that no message of the table can be read from it.
bool log_usable();
// After a repaint: the note that the log was found changed, if it was.
void show_log_note();
// Ctrl-R: the titles of a log that grew are added; a log that changed
// otherwise is scanned again, titles at the same place keeping their marks.
void reread_log(cursor& at);

// ---- reply threads (dulk_thread.cpp) ----------------------------------------

// Empties the index the searches find parents by; a scan starts with it,
// with room for the titles of a log of log_size bytes.
void thread_index_reset(long log_size = 0);
int search_and_add(int index, int key);
int search_and_add4sx(int index, int key);
int search_and_add4news(int index, char* ref);
// From defer_links on, the searches note what they ask and link nothing
// (they answer 0); link_deferred(count) then finds every parent among the
// first count entries and links each reply as the searches would have, in
// the order they were asked, its depth 1.  A whole scan of a big log does
// this, which costs a fraction of asking one title at a time.
void defer_links();
void link_deferred(int count);
void make_tentp();
void scan_comt(int* out, title_ent* first, int8_t level);
// Every entry of the thread e stands in, whichever order the list shows:
// the root its parent links lead up to, then each reply under that root.
std::vector<title_ent*> thread_of(title_ent* e);

// ---- subject decoding (dulk_sub.cpp) ----------------------------------------

// out must hold at least strlen(text) + 1 bytes.
char* chg_iso2022(const char* text, char* out);
// dst must hold strlen(src) / 4 * 3 + 4 bytes.
void DecodeBase64(const char* src, char* dst);
int IsEscExist(const char* text);
// out must hold at least strlen(in) + 2 bytes.
char* jis2sjis(const char* in, char* out, int* state);
void j2s(const unsigned char* code, unsigned char* out);

// ---- help (dulk_sub.cpp) ----------------------------------------------------

extern int prline;
void printfx(const char* format, ...) __attribute__((format(printf, 1, 2)));
void disp_help();

// The environment-variable lines shared by the usage text and the help
// screen, one call of print per line.
using line_printer = void (*)(const char* format, ...);
void print_env_help(line_printer print);

// ---- message extract and scripts (dulk_w.cpp) -------------------------------

enum write_mode { kPlain = 0, kComment = 1, kSay = 2 };

// prefix followed by the smallest number for which no file exists.
std::string script_name(const char* prefix);

// The file the pager or editor is shown for an extract: the extract itself,
// or a copy converted for the terminal's character set.
std::string display_copy(const char* path);
inline constexpr const char* kDisplayCopy = "/tmp/dulk_tmp.utf8";
// Removes the UTF-8 copy when this run made one; the quit path calls it.
void remove_display_copy();

// Under UTF-8 the editor is given a UTF-8 copy of a new script, named like
// the script with kScriptCopySuffix added; otherwise the script itself.
// Returns the name to give the editor.
inline constexpr const char* kScriptCopySuffix = ".utf8";
std::string script_edit_copy(const std::string& script);
// After the editor: the edited copy becomes the script again, in Shift-JIS,
// and is removed.  When a line holds a character without a Shift-JIS form
// the copy is kept; the text for the message row is returned (empty when
// there is nothing to say).
std::string script_take_back(const std::string& script);
// What writing the last script found worth saying on the message row (a
// signature file that cannot be read, a setting that does not convert);
// empty when nothing.  Taking it clears it.
std::string take_script_note();
void write_one_log(FILE* log, title_ent* table, const char* name, int mode, int index);
// True when a line read after an entry's title line is no longer part of
// its message (the extract stops there).  at_eof: the log ended the line.
bool ends_message(std::string_view line, bool at_eof, int msghead, std::string_view title);
// A line of a news header block: a field ("Name: ...", the name printable
// ASCII without blanks) or, beginning with a blank, the continuation of one.
bool header_line(std::string_view line);
// Where the text of the entry whose message begins at offset starts.  For a
// news article (its title line is a Subject: line) that is its header block:
// the first field of the header lines right before the Subject: line, not
// before floor (the previous title's message) nor past a line that ends a
// message.  For every other entry, offset.
long text_start(FILE* log, long offset, long floor);

}  // namespace dulk
