// dulk: a full-screen viewer for the capture logs of a Japanese online
// conferencing service.  One header for the whole program: the title record,
// the globals every part shares, and the routines one source file calls in
// another.  All text handled here is Shift-JIS bytes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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

// Title and message-id strings live in an arena released by freex.
char* title_store(std::string_view text, size_t extra = 0);

// ---- ending the process ----------------------------------------------------

// Every end of the process goes through here: the terminal is restored when
// curses was started.  Tests and fuzzers may install a hook that does not
// return (it throws); the hook sees the status.
[[noreturn]] void dk_exit(int status);
using exit_hook_fn = void (*)(int status);
void set_exit_hook(exit_hook_fn hook);

// A file failure: the read flags of the run are stored first when the scan is
// over (so nothing the user did is lost), then perror(what) and status 1.
[[noreturn]] void fatal(const char* what);

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

// ---- start-up and the key loop ---------------------------------------------

int dulk_main(int argc, char** argv);  // does not return normally
[[noreturn]] void key_loop();
[[noreturn]] void usage();

// ---- read state and mailbox ------------------------------------------------

void set_readed(title_ent* table, const char* path);
void save_readed(title_ent* table, const char* path, int count);
void add_file(const char* src, const char* dst);

// ---- log scanning ------------------------------------------------------------

// One line without its '\n', every '\r' dropped; returns '\n' or EOF.
int readline(FILE* fp, std::string& buf);
void read_title(FILE* log, title_ent* table, int* count);
const char* get_item(const char* src, const char* delim, int n, std::string& dst);
int dk_atoi(std::string_view s);  // atoi over a view: blanks, sign, digits

// ---- reply threads -------------------------------------------------------

void thread_index_reset();
void thread_index_add(int index);  // the entry at index is complete
int search_and_add(int index, int key);
int search_and_add4sx(int index, int key);
int search_and_add4news(int index, char* ref);
void make_tentp();
void scan_comt(int* out, title_ent* first, int8_t level);

// ---- subject decoding ----------------------------------------------------

// out must hold at least strlen(text) + 1 bytes.
char* chg_iso2022(const char* text, char* out);
void DecodeBase64(const char* src, char* dst);
int IsEscExist(const char* text);
// out must hold at least strlen(in) + 2 bytes.
char* jis2sjis(const char* in, char* out, int* state);
void j2s(const unsigned char* code, unsigned char* out);

// ---- help ----------------------------------------------------------------

extern int prline;
void printfx(const char* format, ...) __attribute__((format(printf, 1, 2)));
void disp_help();

// ---- message extract and scripts -------------------------------------------

enum write_mode { kPlain = 0, kComment = 1, kSay = 2 };

// Creates path afresh for writing, readable by its owner alone: whatever
// stood there (a file or a symbolic link someone planted) is removed first
// or, when that is not allowed, the creation fails.  Null with errno set.
FILE* create_private(const char* path);

// The file the pager or editor is shown for an extract: the extract itself,
// or a copy converted for the terminal's character set.
std::string display_copy(const char* path);
void write_one_log(FILE* log, title_ent* table, const char* name, int mode, int index);

}  // namespace dulk
