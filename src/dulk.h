// dulk: a full-screen viewer for the capture logs of a Japanese online
// conferencing service.  One header for the whole program: the title record,
// the globals every part shares, and the routines one source file calls in
// another.  All text handled here is Shift-JIS bytes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// ---- shared helpers --------------------------------------------------------

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

// ---- the title table ------------------------------------------------------

// One title of the log: a message, or a heading that groups messages.
struct title_ent {
  title_ent* next;   // next reply to the same parent
  title_ent* child;  // first reply to this entry
  char* title;       // text shown in the list; null marks an unused entry
  long offset;       // log position right after the title line
  int num;           // message number read at the title column
  char* msgid;       // news articles: the Message-ID: value
  int8_t depth;      // 0 root; 1 linked (during the scan); level once ordered
  uint8_t group;     // a reply links only under a parent of the same group
  int8_t readed;     // 1 read, 0 unread
  int8_t kind;       // 0 message, 1 section header, 2 sub-header
  int8_t msghead;    // 1 when the title line had a message-header form
};

extern title_ent* tent;    // max_ent entries, log order
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
extern int cur_idx;
extern int cur_row;

// Back to the values a fresh process starts with (tests start from here).
void reset_state();

// Allocate and zero tent/tentp for max_ent entries; false when either fails.
bool alloc_tables();

// Release every title and message id (the table itself stays).
void freex(title_ent* table);

// Title and message-id strings are carved out of large blocks that freex
// releases together.
char* title_store(std::string_view text, size_t extra = 0);

// ---- ending the process ----------------------------------------------------

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

// ---- terminal output layer -------------------------------------------------

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
// else Shift-JIS).  Called once at start-up.
void out_init_charset();
out_charset charset_from_name(const char* name);  // null: Shift-JIS
void out_set_charset(out_charset cs);
out_charset out_get_charset();

// Shift-JIS to UTF-8 through iconv from CP932, appended to out.  For the
// screen every character keeps the columns it takes in Shift-JIS (narrow
// double-byte characters get a blank after them, and what does not convert
// becomes one U+FFFD per column), so rows keep their layout.  For a file the
// text is converted as it is, one U+FFFD per byte that does not convert.
enum class utf8_use { screen, file };
void sjis_to_utf8(std::string_view in, std::string& out, utf8_use use);

// What the user typed or wrote in the terminal's character set, as the
// Shift-JIS the program works in: under UTF-8 the text is converted through
// iconv to CP932, otherwise it is taken as it is.  out holds the whole
// conversion of what did convert; false when some character has no Shift-JIS
// form (or the input is no UTF-8), and then *bad_at, when given, is the byte
// offset in `in` where the first such character starts.
bool from_terminal(std::string_view in, std::string& out, size_t* bad_at = nullptr);

// A Shift-JIS byte in 0x80-0x9F or 0xE0-0xFE may open a two-byte
// character: a row of text is never cut right after one.
bool is_lead_byte(unsigned char b);

// Thin wrappers over the few curses calls the viewer makes; they do nothing
// until curses has been started, so painters can run in tests.
void term_start();
void term_restore();
bool term_started();
void scr_clear();    // wclear + wrefresh
void scr_refresh();  // wrefresh
int scr_getch();     // wgetch; ERR (-1) when input is gone

// ---- screen painters --------------------------------------------------------

void disp(const char* text, int depth, int row, int highlighted, char readed, char kind);
void tdisp(int position, int page_row, int highlighted);
void disp_one_pg(title_ent* table, int cursor, int count, int per_page, const char* log_name);
void disp_meter(int squares, int filled);

// How many bytes of text a row shows when limit bytes fit: the whole text
// (less a trailing line end) when it is shorter, else limit bytes, or one
// fewer when the last byte that fits is a Shift-JIS lead byte; 0 when
// limit < 1.
size_t row_text_len(std::string_view text, long long limit);

// The entry at a position of the current order; null when there is none.
title_ent* entry_at(int position);

// ---- start-up and the key loop ---------------------------------------------

int dulk_main(int argc, char** argv);  // does not return normally
// The first page, then the key loop; the scan must be done.
[[noreturn]] void run_viewer();
[[noreturn]] void key_loop();
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
};
key_action decode_key(int code);

// True once a signal that ends the run has arrived; waits for keys give up.
bool stop_requested();

// One line from fd up to its '\n' (dropped); false when the input ends or a
// signal stops the run before the line does.
bool read_save_name(int fd, std::string& name);

// prefix followed by the smallest number for which no file exists.
std::string script_name(const char* prefix);

// ---- read state and mailbox ------------------------------------------------

void set_readed(title_ent* table, const char* path);
void save_readed(title_ent* table, const char* path, int count);
void add_file(const char* src, const char* dst);
// What save_readed does to "dk_readed", without removing the extract or
// ending the run: null when stored, else the text to report (errno says why).
const char* store_readed(const title_ent* table, const char* path, int count);

// ---- log scanning ------------------------------------------------------------

// One line without its '\n', every '\r' dropped; returns '\n' or EOF.
int readline(FILE* fp, std::string& buf);
void read_title(FILE* log, title_ent* table, int* count);
const char* get_item(const char* src, const char* delim, int n, std::string& dst);
int dk_atoi(std::string_view s);  // atoi over a view: blanks, sign, digits

// The lines of a file, read from where it stands in large blocks, each as
// readline gives it up to its first NUL; a line stays valid until the next
// call.
class log_lines {
 public:
  explicit log_lines(FILE* fp);
  int next(std::string_view& line);  // '\n', or EOF for the end of the file
  long offset() const;               // file position right after that line

 private:
  bool fill();
  size_t next_of(char c, size_t from, size_t& found, bool& stale) const;
  std::string_view take(size_t from, size_t to);

  FILE* fp_;
  std::vector<char> buf_;
  size_t begin_ = 0;  // start of the next line in buf_
  size_t end_ = 0;    // bytes read into buf_
  long base_ = 0;     // file position of buf_[0]
  size_t cr_ = 0;     // the first '\r' at or after the last line start, or end_
  bool cr_stale_ = true;
  size_t nul_ = 0;  // the same for NUL
  bool nul_stale_ = true;
  bool eof_ = false;
  std::string line_;  // a line with carriage returns inside it, without them
};

// ---- reply threads -------------------------------------------------------

// Empties the index the searches find parents by; a scan starts with it.
void thread_index_reset();
int search_and_add(int index, int key);
int search_and_add4sx(int index, int key);
int search_and_add4news(int index, char* ref);
void make_tentp();
void scan_comt(int* out, title_ent* first, int8_t level);

// ---- subject decoding ----------------------------------------------------

// out must hold at least strlen(text) + 1 bytes.
char* chg_iso2022(const char* text, char* out);
// dst must hold strlen(src) / 4 * 3 + 4 bytes.
void DecodeBase64(const char* src, char* dst);
int IsEscExist(const char* text);
// out must hold at least strlen(in) + 2 bytes.
char* jis2sjis(const char* in, char* out, int* state);
void j2s(const unsigned char* code, unsigned char* out);

// ---- help ----------------------------------------------------------------

extern int prline;
void printfx(const char* format, ...) __attribute__((format(printf, 1, 2)));
void disp_help();

// The environment-variable lines shared by the usage text and the help
// screen, one call of print per line.
using line_printer = void (*)(const char* format, ...);
void print_env_help(line_printer print);

// ---- message extract and scripts -------------------------------------------

enum write_mode { kPlain = 0, kComment = 1, kSay = 2 };

// Creates path afresh for writing, readable by its owner alone: whatever
// stood there (a file or a symbolic link someone planted) is removed first
// or, when that is not allowed, the creation fails.  Null with errno set.
FILE* create_private(const char* path);

// The file the pager or editor is shown for an extract: the extract itself,
// or a copy converted for the terminal's character set.
std::string display_copy(const char* path);
inline constexpr const char* kDisplayCopy = "/tmp/dulk_tmp.utf8";
// Removes the UTF-8 copy when this run made one; the quit path calls it.
void remove_display_copy();
void write_one_log(FILE* log, title_ent* table, const char* name, int mode, int index);

}  // namespace dulk
