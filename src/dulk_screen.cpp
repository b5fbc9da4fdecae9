// The screen as a whole: how big the page is (exported LINES and COLUMNS,
// else the window's own size, followed as it changes), the notice of a
// window too small for a page, and the layers of what stands on the screen,
// from which every wait for a key paints it again.
#include <curses.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dulk.h"

namespace dulk {

// ---- the page's size --------------------------------------------------------

namespace {

// The least window a page fits in: the header, the row below it, one title
// row, the message row and the row the cursor rests on; and room for a read
// mark and a few bytes of title.
constexpr int kLeastRows = 5;
constexpr int kLeastCols = 10;

// How the page is sized; a session starts from a fresh value.
struct screen_state {
  bool rows_follow = false;  // LINES was not exported: the page follows the window
  bool cols_follow = false;  // likewise COLUMNS
  int win_rows = 0;          // the window's size as last asked; 0 when unknown
  int win_cols = 0;
  std::vector<const screen_layer*> layers;  // what stands on the screen, bottom first
};
screen_state scr;

// The terminal's size in rows and columns; false when it tells none.
bool window_size(int& rows, int& cols) {
  struct winsize ws {};
  for (int fd : {STDOUT_FILENO, STDIN_FILENO}) {
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
      rows = ws.ws_row;
      cols = ws.ws_col;
      return true;
    }
  }
  return false;
}

constexpr const char* kSmallNotice = "dulk needs a window of at least 10x5";

// A following dimension takes the window's size when the window tells one
// big enough; too small a window leaves the page as it was until it grows.
void take_window_size() {
  if (!window_size(scr.win_rows, scr.win_cols)) scr.win_rows = scr.win_cols = 0;
  if (scr.rows_follow && scr.win_rows >= kLeastRows) env_y = scr.win_rows - 4;
  if (scr.cols_follow && scr.win_cols >= kLeastCols) env_x = scr.win_cols;
}

}  // namespace

void size_from_environment() {
  const char* cols = std::getenv("COLUMNS");
  const char* lines = std::getenv("LINES");
  const int x = cols != nullptr ? std::atoi(cols) : 0;
  const int y = lines != nullptr ? std::atoi(lines) : 0;
  scr.cols_follow = x <= 0;
  scr.rows_follow = y <= 0;
  // An exported size is taken as it always was: COLUMNS as it stands, LINES
  // less the four rows around the titles, and 20 titles when that leaves
  // none.  Subtracting in a wider type keeps the most negative LINES from
  // wrapping round to a huge page.
  env_x = scr.cols_follow ? 80 : x;
  const long long rows = static_cast<long long>(y) - 4;
  env_y = scr.rows_follow || rows < 1 ? 20 : static_cast<int>(rows);
  take_window_size();
}

void follow_window() {
  take_window_size();
  if (scr.win_rows > 0 && scr.win_cols > 0)
    term_resize(scr.rows_follow ? scr.win_rows : 0, scr.cols_follow ? scr.win_cols : 0);
}

void reset_screen_state() { scr = screen_state{}; }

bool window_too_small() {
  return (scr.rows_follow && scr.win_rows > 0 && scr.win_rows < kLeastRows) ||
         (scr.cols_follow && scr.win_cols > 0 && scr.win_cols < kLeastCols);
}

void paint_small_notice() {
  scr_clear();
  std::string_view notice = kSmallNotice;
  out_write("\033[1;1H");
  out_write(notice.substr(0, static_cast<size_t>(std::max(scr.win_cols, 1))));
  out_flush();
}

// ---- what stands on the screen ----------------------------------------------

screen_layer::screen_layer(std::function<void()> paint, bool cover)
    : paint_(std::move(paint)), cover_(cover) {
  scr.layers.push_back(this);
}

screen_layer::~screen_layer() {
  auto at = std::find(scr.layers.begin(), scr.layers.end(), this);
  if (at != scr.layers.end()) scr.layers.erase(at);
}

bool repaint_screen() {
  if (scr.layers.empty()) return false;
  if (window_too_small()) {
    paint_small_notice();
    return true;
  }
  size_t from = scr.layers.size() - 1;
  while (from > 0 && !scr.layers[from]->cover_) from--;
  for (size_t i = from; i < scr.layers.size(); i++) scr.layers[i]->paint_();
  out_flush();
  return true;
}

int wait_key() {
  for (;;) {
    int c = scr_getch();
    if (c != 12 || !repaint_screen()) return c;  // Ctrl-L paints, and is no answer
  }
}

// ---- the prompt ---------------------------------------------------------------

namespace {

// Where the last character of typed text starts.
size_t last_char_start(std::string_view typed) {
  if (out_get_charset() == out_charset::utf8) return utf8_last_char_start(typed);
  size_t start = 0;
  for (size_t i = 0; i < typed.size(); i += sjis_char_len(typed, i)) start = i;
  return start;
}

// The bytes of the character typed text has at i, and the columns it takes:
// a Shift-JIS byte takes one; in UTF-8 a character of three or four bytes
// (Japanese) two, any other one.
size_t char_len(std::string_view typed, size_t i, int* columns) {
  if (out_get_charset() == out_charset::utf8) {
    *columns = static_cast<unsigned char>(typed[i]) >= 0xE1 ? 2 : 1;
    return utf8_char_len(typed.substr(i));
  }
  const size_t n = sjis_char_len(typed, i);
  *columns = static_cast<int>(n);
  return n;
}

long long typed_columns(std::string_view typed) {
  long long total = 0;
  int w = 0;
  for (size_t i = 0; i < typed.size(); total += w) i += char_len(typed, i, &w);
  return total;
}

// Where the end of line starts that takes at most cols columns.
size_t tail_start(std::string_view line, long long cols) {
  long long total = typed_columns(line);
  size_t i = 0;
  int w = 0;
  while (i < line.size() && total > cols) {
    i += char_len(line, i, &w);
    total -= w;
  }
  return i;
}

constexpr size_t kMaxTyped = 4096;

}  // namespace

bool prompt_line(const char* prompt, std::string& typed) {
  typed.clear();
  // The prompt and what was typed stay on their row: when they would run
  // past its end, the row shows their last characters behind a "<".
  const auto too_wide = [&] { return env_x > 2 && typed_columns(prompt + typed) > env_x - 1; };
  auto show = [&] {
    if (too_wide()) {
      const std::string line = prompt + typed;
      show_msg("<");
      out_write_typed(std::string_view(line).substr(tail_start(line, env_x - 2)));
    } else {
      show_msg(prompt);  // the prompts are ASCII, the same in either charset
      out_write_typed(typed);
    }
  };
  screen_layer layer(show);
  show();
  for (;;) {
    int c = scr_getch();
    if (c == ERR || c == 27) return false;
    if (c == '\r' || c == '\n') return true;
    if (c == 0x7f || c == 8) {
      typed.resize(last_char_start(typed));
      show();
    } else if (c == 21) {
      typed.clear();
      show();
    } else if (c == 12 || c == kKeyRedraw) {
      if (!repaint_screen()) show();
    } else if (c >= 0x20 && c <= 0xff && typed.size() < kMaxTyped) {
      typed += static_cast<char>(c);
      if (too_wide()) {
        show();
      } else {
        out_write_typed(std::string_view(&typed.back(), 1));
      }
    }
  }
}

}  // namespace dulk
