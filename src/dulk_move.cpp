// The cursor's moves: a title, a page, an unread message on; and the keys
// for a long list: a count typed before the key that goes to a title, the
// last title, where the cursor stands, and marking a thread, a
// page or the whole log at once.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "dulk.h"
#include "sjis.h"

namespace dulk {

namespace {

// More digits than any table has titles; the rest are not taken.
constexpr size_t kMaxCountDigits = 10;

// What these keys remember between keys; a session starts from a fresh
// value.
struct move_state {
  std::string typed;        // the count's digits so far; empty: no count
  bool note_shown = false;  // the row below the header holds a note of these keys
};
move_state ms;

// A note of these keys, which the next key takes away.
void show_move_note(const std::string& text) {
  show_note(text);
  ms.note_shown = true;
}

void wipe_note() {
  wipe_msg();
  ms.note_shown = false;
}

void show_count() {
  show_move_note("count: " + ms.typed +
                 "  (g, G, Return: that title; %: percent of the list; ESC: cancel)");
}

// Position p of the current order, kept within the list.
void go_to(cursor& at, long long p) {
  if (ent_cnt <= 0) return;
  move_to(at, static_cast<int>(std::clamp(p, 0LL, static_cast<long long>(ent_cnt) - 1)));
}

// "1.0 GB": the size in the largest unit that leaves a number from 1 on.
std::string size_text(long long bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  double v = static_cast<double>(bytes) / 1024;
  size_t u = 0;
  while (v >= 1023.95 && u + 1 < std::size(kUnits)) {
    v /= 1024;
    u++;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[u]);
  return buf;
}

// The cursor's position of the titles, how many are unread, and the log.
void show_where(const cursor& at) {
  std::string name = log_path.substr(log_path.rfind('/') + 1);
  std::string text = grouped(at.cur_idx + 1) + " / " + grouped(ent_cnt) + " titles, " +
                     grouped(count_unread()) + " unread " + sjis::kMiddleDot + " " + name;
  struct stat st;
  if (log_fp != nullptr && ::fstat(fileno(log_fp), &st) == 0) text += " " + size_text(st.st_size);
  show_move_note(text);
}

// Every title marked read, once the user answers y.
void all_read(const cursor& at) {
  const char* question = "Mark every title of the log read? (y/n)";
  int c;
  {
    screen_layer asking([question] { show_msg(question); });  // painted again on a resize
    show_msg(question);
    c = wait_key();
  }
  if (c != 'y' && c != 'Y') {
    wipe_note();
    return;
  }
  mark_all_read();
  repaint(at);
}

}  // namespace

void reset_move_state() { ms = move_state{}; }

std::string grouped(long long n) {
  const std::string digits = std::to_string(n);
  const size_t first = n < 0 ? 1 : 0;  // the sign stands apart
  std::string out = digits.substr(0, first);
  for (size_t i = first; i < digits.size(); i++) {
    if (i > first && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

bool count_key(cursor& at, int c, key_action act) {
  if (ms.note_shown && ms.typed.empty()) wipe_note();
  if (ms.typed.empty()) {
    if (act != key_action::count_digit || ent_cnt <= 0) return false;
    ms.typed.assign(1, static_cast<char>(c));
    show_count();
    return true;
  }
  if (c >= '0' && c <= '9') {
    if (ms.typed.size() < kMaxCountDigits) ms.typed += static_cast<char>(c);
    show_count();
    return true;
  }
  if (c == 0x7f || c == 8) {  // Backspace, as terminals send it
    ms.typed.pop_back();
    if (ms.typed.empty()) {
      wipe_note();
    } else {
      show_count();
    }
    return true;
  }
  if (c == kKeyRedraw) {
    repaint(at);
    show_count();
    return true;
  }
  const long long n = std::stoll(ms.typed);
  ms.typed.clear();
  wipe_note();
  if (c == 'g' || c == 'G' || c == '\r' || c == '\n') {
    go_to(at, n - 1);
  } else if (c == '%') {
    go_to(at, (static_cast<long long>(ent_cnt) - 1) * std::min(n, 100LL) / 100);
  } else if (c != 27) {  // ESC only drops the count
    return false;
  }
  return true;
}

void move_command(cursor& at, key_action act) {
  switch (act) {
    case key_action::last:
      go_to(at, static_cast<long long>(ent_cnt) - 1);
      break;
    case key_action::where:
      show_where(at);
      break;
    case key_action::thread_read:
    case key_action::thread_unread:
      mark_thread(entry_at(at.cur_idx), act == key_action::thread_read ? 1 : 0);
      repaint(at);
      break;
    case key_action::page_read: {
      const int top = at.cur_idx - at.cur_idx % page_rows();
      mark_positions(top, static_cast<int>(std::min<long long>(top + page_rows(), ent_cnt)), 1);
      repaint(at);
      break;
    }
    case key_action::all_read:
      all_read(at);
      break;
    default:
      break;
  }
}

// ---- a title, a page, an unread message on -------------------------------

void move_down(cursor& at) {
  bool pg_redraw = false;
  tdisp(at.cur_idx, at.cur_row, 0);
  if (++at.cur_row >= page_rows()) {
    at.cur_row = 0;
    pg_redraw = true;
  }
  if (++at.cur_idx >= ent_cnt) {
    at.cur_idx = 0;
    at.cur_row = 0;
    pg_redraw = true;
  }
  if (pg_redraw) disp_one_pg(tent, at.cur_idx, ent_cnt, page_rows(), log_path.c_str());
  tdisp(at.cur_idx, at.cur_row, 1);
}

void move_up(cursor& at) {
  bool pg_redraw = false;
  tdisp(at.cur_idx, at.cur_row, 0);
  if (--at.cur_row < 0) {
    at.cur_row = page_rows() - 1;
    pg_redraw = true;
  }
  if (--at.cur_idx < 0) {
    at.cur_idx = ent_cnt - 1;
    at.cur_row = (ent_cnt - 1) % page_rows();
    pg_redraw = true;
  }
  if (pg_redraw) disp_one_pg(tent, at.cur_idx, ent_cnt, page_rows(), log_path.c_str());
  tdisp(at.cur_idx, at.cur_row, 1);
}

// Page arithmetic in 64 bits: a huge LINES must not overflow the position.
void next_page(cursor& at) {
  long long rows = page_rows();
  at.cur_row = 0;
  long long next = at.cur_idx + rows - at.cur_idx % rows;
  if (next >= ent_cnt) {
    next = 0;
    out_write("\a\n");
  }
  at.cur_idx = static_cast<int>(next);
  repaint(at);
}

void prev_page(cursor& at) {
  long long rows = page_rows();
  at.cur_row = 0;
  long long prev = at.cur_idx - at.cur_idx % rows - rows;
  if (prev < 0) {
    prev = ent_cnt - (ent_cnt - 1) % rows - 1;
    out_write("\a\n");
  }
  at.cur_idx = static_cast<int>(prev);
  repaint(at);
}

namespace {

constexpr const char* kBlankRow = "                                        ";  // 40 blanks

void wipe_unread_note() { disp(kBlankRow, 0, env_y + 2, 0, 0, 0); }

}  // namespace

bool find_unread(cursor& at, int step, const std::string& none_msg) {
  int save_idx = at.cur_idx;
  tdisp(at.cur_idx, at.cur_row, 0);
  int i = next_position(at.cur_idx, step, false, {},
                        [](const title_ent& e) { return e.kind == 0 && e.readed == 0; });
  if (i >= 0) {
    at.cur_idx = i;
  } else {
    disp(none_msg.c_str(), 0, env_y + 2, 1, 0, 0);
    note_until_key(wipe_unread_note);
  }
  at.cur_row = at.cur_idx % page_rows();
  if (save_idx / page_rows() != at.cur_idx / page_rows()) {
    disp_one_pg(tent, at.cur_idx, ent_cnt, page_rows(), log_path.c_str());
  }
  tdisp(at.cur_idx, at.cur_row, 1);
  return at.cur_idx != save_idx;
}

}  // namespace dulk
