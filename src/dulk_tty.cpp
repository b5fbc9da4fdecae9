// The terminal layer: the one sink every byte meant for the screen goes
// through, the Shift-JIS to UTF-8 conversion it applies on UTF-8 terminals,
// and the few curses calls the viewer makes.
#include <curses.h>
#include <iconv.h>
#include <poll.h>
#include <strings.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dulk.h"

namespace dulk {

// ---- terminal output layer --------------------------------------------------

out_charset charset_from_name(const char* name) {
  if (name != nullptr && (strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "utf8") == 0)) {
    return out_charset::utf8;
  }
  return out_charset::sjis;
}

namespace {

class stdout_sink : public out_sink {
 public:
  void write(const char* data, size_t len) override { std::fwrite(data, 1, len, stdout); }
  void flush() override { std::fflush(stdout); }
};

stdout_sink default_sink;
out_sink* sink = &default_sink;  // the test harness's choice: a session leaves it

// What the layer knows of the terminal; a session starts from a fresh value.
struct tty_state {
  bool curses_on = false;
  out_charset charset = out_charset::sjis;
  bool lost = false;      // the screen must be painted afresh
  int pushed_key = -1;    // a byte read past a lone ESC
  std::string converted;  // reused by every write in UTF-8
};
tty_state tty;

// Set by the signal handlers, read where the key is waited for.
struct signal_notes {
  volatile sig_atomic_t stop_pending = 0;  // Ctrl-Z: stop once the key read returns
  volatile sig_atomic_t resumed = 0;       // SIGCONT: the screen may be gone
  volatile sig_atomic_t resized = 0;       // SIGWINCH: the window changed size
  volatile sig_atomic_t pending = 0;       // a hang-up, terminate or interrupt
};
signal_notes sig;

void emit(const char* data, size_t len) {
  if (tty.charset == out_charset::utf8) {
    tty.converted.clear();
    sjis_to_utf8(std::string_view(data, len), tty.converted, utf8_use::screen);
    sink->write(tty.converted.data(), tty.converted.size());
  } else {
    sink->write(data, len);
  }
}

}  // namespace

bool from_terminal(std::string_view in, std::string& out, size_t* bad_at) {
  out.clear();
  if (tty.charset != out_charset::utf8) {
    out.assign(in);
    return true;
  }
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    if (bad_at != nullptr) *bad_at = 0;
    return false;
  }
  std::string src(in);
  char* ip = src.data();
  size_t il = src.size();
  bool ok = true;
  char buf[256];
  while (il > 0) {
    char* op = buf;
    size_t ol = sizeof buf;
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    out.append(buf, static_cast<size_t>(op - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // EILSEQ: no Shift-JIS form, or no UTF-8; EINVAL: cut off at the end.
      ok = false;
      if (bad_at != nullptr) *bad_at = static_cast<size_t>(ip - src.data());
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

// Without a CP932 converter every Japanese character would turn into U+FFFD;
// the Shift-JIS bytes are then written as they are.
void out_set_charset(out_charset cs) {
  if (cs == out_charset::utf8 && !utf8_conversion_ok()) cs = out_charset::sjis;
  tty.charset = cs;
}

out_charset out_get_charset() { return tty.charset; }

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

namespace {

// The longest a LINES or COLUMNS value can be for curses to size its windows
// by; beyond it curses takes the terminal's own size.
constexpr int kMaxCursesSize = 1000;

// Sets or hides one variable while curses starts, and puts it back after.
class env_for_curses {
 public:
  env_for_curses(const char* name, int value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value > 0) {
      ::setenv(name, std::to_string(value).c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~env_for_curses() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  env_for_curses(const env_for_curses&) = delete;
  env_for_curses& operator=(const env_for_curses&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// The value of LINES or COLUMNS when the page is painted by it, else 0.
int painted_size(const char* name, int least) {
  const char* v = std::getenv(name);
  if (v == nullptr) return 0;
  int n = std::atoi(v);
  return n >= least && n <= kMaxCursesSize ? n : 0;
}

extern "C" void note_stop(int) { sig.stop_pending = 1; }
extern "C" void note_resume(int) { sig.resumed = 1; }
extern "C" void note_resize(int) { sig.resized = 1; }

// Without SA_RESTART a blocked key read returns, so the stop is acted on at
// once; the default action would stop the process with the terminal still
// in the viewer's mode and its screen.
void catch_stops() {
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = note_stop;
  sigaction(SIGTSTP, &sa, nullptr);
  sa.sa_handler = note_resume;
  sigaction(SIGCONT, &sa, nullptr);
  // In place of curses' own, which would have the next key read clear the
  // screen and hand back a key of its own.
  sa.sa_handler = note_resize;
  sigaction(SIGWINCH, &sa, nullptr);
}

extern "C" void note_signal(int signo) { sig.pending = signo; }

// A stop acts at once, as its default: the caller puts old back.
struct sigaction default_stops() {
  struct sigaction dfl {
  }, old{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGTSTP, &dfl, &old);
  return old;
}

// Hands the terminal back as the shell had it, stops, and takes the
// viewer's mode and screen back when continued.
void suspend() {
  sig.stop_pending = 0;
  out_flush();
  endwin();
  std::fflush(stdout);
  struct sigaction old = default_stops();
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(SIGTSTP);
  sigaction(SIGTSTP, &old, nullptr);
  wrefresh(stdscr);
  sig.resumed = 1;
}

// One byte of input; wait_ms < 0 waits for ever, else ERR when none came in
// that time.  Without curses (tests) standard input is read directly.
int get_byte(int wait_ms) {
  if (tty.pushed_key >= 0) {
    int c = tty.pushed_key;
    tty.pushed_key = -1;
    return c;
  }
  if (tty.curses_on) {
    wtimeout(stdscr, wait_ms);
    int c = wgetch(stdscr);
    wtimeout(stdscr, -1);
    return c;
  }
  if (wait_ms >= 0) {
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0) return ERR;
  }
  unsigned char b;
  return ::read(STDIN_FILENO, &b, 1) == 1 ? b : ERR;
}

// A lone ESC is told from the start of a sequence by what follows it within
// this time.  A terminal sends a key's whole sequence in one write, so its
// bytes arrive together; a person's next key comes far later.
constexpr int kEscWaitMs = 50;
// Inside a sequence there is no lone ESC to tell apart: its bytes may take
// longer (a slow link) before the sequence is given up as cut short.
constexpr int kSeqWaitMs = 300;
constexpr size_t kMaxSeq = 32;

// The key that begins with ESC: the bytes after it are read whole, up to the
// final byte of a control sequence, so none is left for the next read.
int read_escape() {
  int c = get_byte(kEscWaitMs);
  if (c == ERR) return 27;
  if (c == 27) {  // ESC pressed twice: the first stands alone
    tty.pushed_key = c;
    return 27;
  }
  std::string tail(1, static_cast<char>(c));
  if (c == '[') {
    // Parameter and intermediate bytes, then one final byte 0x40-0x7E.
    while (tail.size() < kMaxSeq) {
      c = get_byte(kSeqWaitMs);
      if (c == ERR) return kKeyOther;
      tail += static_cast<char>(c);
      if (c >= 0x40 && c <= 0x7e) break;
    }
  } else if (c == 'O') {
    c = get_byte(kSeqWaitMs);
    if (c == ERR) return kKeyOther;
    tail += static_cast<char>(c);
  }
  return decode_escape(tail);
}

}  // namespace

int decode_escape(std::string_view tail) {
  struct known {
    std::string_view tail;
    int key;
  };
  static constexpr known kKnown[] = {
      {"[A", kKeyUp},      {"OA", kKeyUp},        {"[B", kKeyDown}, {"OB", kKeyDown},
      {"[5~", kKeyPageUp}, {"[6~", kKeyPageDown}, {"[H", kKeyHome}, {"OH", kKeyHome},
      {"[1~", kKeyHome},   {"[7~", kKeyHome},     {"[F", kKeyEnd},  {"OF", kKeyEnd},
      {"[4~", kKeyEnd},    {"[8~", kKeyEnd},
  };
  if (tail.empty()) return 27;
  for (const known& k : kKnown) {
    if (k.tail == tail) return k.key;
  }
  return kKeyOther;
}

void term_start() {
  // curses sizes its windows, and the scroll region it sets, by LINES and
  // COLUMNS when the page is painted by them, and by the terminal otherwise;
  // never by the terminal description, which would cut the page short.
  {
    env_for_curses lines("LINES", painted_size("LINES", 5));
    env_for_curses cols("COLUMNS", painted_size("COLUMNS", 1));
    use_env(TRUE);
    initscr();
  }
  cbreak();
  noecho();
  // The screen is painted by line ends that return to column 1, and Return
  // ends a line as a newline: the translations curses turns off are put back.
  struct termios t;
  if (::tcgetattr(STDOUT_FILENO, &t) == 0) {
    t.c_iflag |= ICRNL;
    t.c_oflag |= OPOST | ONLCR;
    ::tcsetattr(STDOUT_FILENO, TCSADRAIN, &t);
  }
  def_prog_mode();
  catch_stops();
  tty.curses_on = true;
  scr_clear();
}

void term_restore() {
  if (tty.curses_on) {
    out_flush();
    endwin();
    // Keys typed ahead belong to the viewer, not to the shell.
    ::tcflush(STDIN_FILENO, TCIFLUSH);
    tty.curses_on = false;
  }
}

bool screen_lost() { return tty.lost; }

void scr_clear() {
  out_flush();
  if (tty.curses_on) {
    wclear(stdscr);
    wrefresh(stdscr);
  }
  tty.lost = false;
}

void scr_refresh() {
  out_flush();
  if (tty.curses_on) wrefresh(stdscr);
}

void term_resize(int rows, int cols) {
  if (!tty.curses_on) return;
  if (rows <= 0) rows = LINES;
  if (cols <= 0) cols = COLS;
  if (rows != LINES || cols != COLS) resizeterm(rows, cols);
}

int take_screen_events() {
  if (tty.curses_on && sig.stop_pending) suspend();
  if (!sig.resumed && !sig.resized) return 0;
  const bool continued = sig.resumed;
  sig.resumed = 0;
  sig.resized = 0;
  if (continued && tty.curses_on) reset_prog_mode();  // the shell may have had the terminal
  follow_window();
  if (repaint_screen() || !continued) return 0;
  tty.lost = true;
  return kKeyRedraw;
}

int scr_getch() {
  out_flush();
  for (;;) {
    if (int redraw = take_screen_events()) return redraw;
    int c = get_byte(-1);
    if (c == ERR && (sig.stop_pending || sig.resumed || sig.resized)) continue;
    if (c == KEY_RESIZE) continue;  // curses' word for a change already seen
    if (c == 27) c = read_escape();
    // A window too small for a title: no key acts on what it cannot show.
    if (c != ERR && window_too_small()) continue;
    return c;
  }
}

namespace {

// The shell's message about a program it could not run stands on the shell's
// own screen: the note is added below it, and one key read there, before the
// viewer's screen comes back over it.
void wait_on_shell_screen(const char* note) {
  out_write("\r\n");
  out_write(note);
  out_flush();
  struct termios saved;
  const bool tty = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (tty) {
    struct termios t = saved;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(STDIN_FILENO, TCSADRAIN, &t);
  }
  unsigned char b;
  while (::read(STDIN_FILENO, &b, 1) < 0 && errno == EINTR && !stop_requested()) {
  }
  if (tty) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
}

}  // namespace

bool run_shell(const char* cmd, const char* failure_note) {
  out_flush();
  const bool on = tty.curses_on;
  if (on) {
    def_prog_mode();
    endwin();  // the shell's modes and screen: line mode, echo, newlines
  }
  std::fflush(stdout);
  // A stop while the program runs stops the viewer with it, as the shell
  // expects of a job.
  struct sigaction old = default_stops();
  int rc = std::system(cmd);
  sigaction(SIGTSTP, &old, nullptr);
  const bool ran =
      rc != -1 && !(WIFEXITED(rc) && (WEXITSTATUS(rc) == 126 || WEXITSTATUS(rc) == 127));
  if (!ran && failure_note != nullptr) wait_on_shell_screen(failure_note);
  if (on) wrefresh(stdscr);
  // The caller repaints in any case; a window change waits for the next key
  // read, which paints at the new size.
  sig.resumed = 0;
  return ran;
}

void show_msg(std::string_view sjis_text) {
  out_write("\033[2;1H\033[K");
  out_write(sjis_text);
  out_flush();
}

void show_note(std::string_view sjis_text) {
  show_msg(sjis_text.substr(0, row_text_len(sjis_text, env_x - 1)));
}

void wipe_msg() { show_msg(""); }

void out_write_typed(std::string_view typed) {
  sink->write(typed.data(), typed.size());
  sink->flush();
}

// Without SA_RESTART a key read blocked in the terminal returns at once, so
// the loop sees the signal without waiting for another key.
void catch_end_signals() {
  struct sigaction sa {};
  sa.sa_handler = note_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  for (int signo : {SIGHUP, SIGTERM, SIGINT}) sigaction(signo, &sa, nullptr);
}

int pending_end_signal() { return sig.pending; }

bool stop_requested() { return sig.pending != 0; }

void reset_terminal_state() {
  tty = tty_state{};
  sig = signal_notes{};
}

}  // namespace dulk
