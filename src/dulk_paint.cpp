// The screen painters: a title row, the page with its header, the scan's
// progress meter, and the repaints the key loop asks for.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "dulk.h"

namespace dulk {

namespace {

struct row_colour {
  const char* plain;
  const char* bar;
};

constexpr row_colour kSectionColour = {"\033[35m", "\033[45m"};
constexpr row_colour kSubColour = {"\033[32m", "\033[42m"};
constexpr row_colour kTitleColour = {"\033[37m", "\033[41m"};
// Without colours every row is in the terminal's own, and the cursor bar
// in reverse video, readable on a light theme as on a dark one.
constexpr row_colour kNoColour = {"", "\033[7m"};

bool colours = true;

constexpr const char* kReadMark[2] = {"  ", sjis::kReadMark};

}  // namespace

void set_colours(bool on) { colours = on; }

void colours_from_env() {
  const char* no = std::getenv("NO_COLOR");
  set_colours(no == nullptr || *no == '\0');
}

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

// The header row with the path as given; the path is cut from the left,
// behind a "<", where the row would be wider than the screen, and what still
// does not fit is cut at the row's edge: the header never wraps.
std::string page_header(std::string_view path, int page, int pages) {
  char rest[160];
  std::snprintf(rest, sizeof rest, "      PAGE : %d/%d    %s DULK Ver %s %s %s", page, pages,
                sjis::kOpenBracket, kVersion, sjis::kCloseBracket, link ? "<LINK mode>" : " ");
  const std::string_view head = "LOG FILE : ";
  const long long room = static_cast<long long>(env_x) - static_cast<long long>(head.size()) -
                         static_cast<long long>(std::strlen(rest));
  std::string line(head);
  if (env_x <= 0 || static_cast<long long>(path.size()) <= room) {  // no width known: whole
    line.append(path);
  } else {
    // The first character boundary from which the rest of the path fits.
    size_t from = 0;
    while (from < path.size() && static_cast<long long>(path.size() - from) > room - 1)
      from += sjis_char_len(path, from);
    line += '<';
    line.append(path.substr(std::min(from, path.size())));
  }
  line += rest;
  if (env_x > 0) line.resize(row_text_len(line, env_x));
  return line + "\n";
}

}  // namespace

void disp(const char* text, int depth, int row, int highlighted, char readed, char kind) {
  if (window_too_small()) return;  // the notice stands alone
  const row_colour& rc = !colours    ? kNoColour
                         : kind == 1 ? kSectionColour
                         : kind == 2 ? kSubColour
                                     : kTitleColour;
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
  if (window_too_small()) {
    paint_small_notice();
    return;
  }
  if (per_page < 1) per_page = 1;
  scr_clear();
  int page = cursor / per_page;
  long long top = static_cast<long long>(page) * per_page;
  out_write(page_header(log_name != nullptr ? log_name : "", page + 1, (count - 1) / per_page + 1));
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
  if (window_too_small()) return paint_small_notice();
  std::string line = "START ";
  for (int i = 0; i < squares; i++) line += i <= filled ? sjis::kFilled : sjis::kEmpty;
  line += " END";
  disp(line.c_str(), 0, 0, 0, 0, 0);
}

int page_rows() { return env_y > 0 ? env_y : 1; }

// The page of the cursor, then the cursor bar over its row.
void repaint(const cursor& at) {
  if (window_too_small()) return paint_small_notice();
  disp_one_pg(tent, at.cur_idx, ent_cnt, page_rows(), log_path.c_str());
  if (entry_at(at.cur_idx) != nullptr) tdisp(at.cur_idx, at.cur_row, 1);
  show_log_note();
}

// Moves the cursor bar to position p: two rows on the same page, else the
// page of p.
void move_to(cursor& at, int p) {
  int old = at.cur_idx;
  at.cur_idx = p;
  at.cur_row = p % page_rows();
  if (old / page_rows() == p / page_rows()) {
    tdisp(old, old % page_rows(), 0);
    tdisp(at.cur_idx, at.cur_row, 1);
  } else {
    repaint(at);
  }
}

namespace {
void (*note_wipe)() = nullptr;
}

void note_until_key(void (*wipe)()) { note_wipe = wipe; }

void forget_note() {
  if (auto wipe = std::exchange(note_wipe, nullptr)) wipe();
}

}  // namespace dulk
