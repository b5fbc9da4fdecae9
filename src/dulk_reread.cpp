// A log that changes under the viewer: what the scan read is remembered
// (its size, modification time, first and last block), a change on disk is
// noticed when a message is read, saved or searched, and Ctrl-R reads the
// new part of a log that grew, or the whole of one that changed otherwise.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <string>
#include <unordered_map>

#include "dulk.h"

namespace dulk {

namespace {

constexpr long kCompared = 4096;  // the bytes of each end of the log compared

constexpr const char* kChanged = "the log changed on disk: press Ctrl-R to read it again";
constexpr const char* kGrew = "the log grew on disk: press Ctrl-R to add its new messages";

// The log as the last scan read it.
struct reread_state {
  bool known = false;
  long size = 0;
  struct timespec mtime {};
  std::string head, tail;              // its first bytes, and its last ones before size
  log_change seen = log_change::none;  // what the last look found
};
reread_state rr;

std::string bytes_at(FILE* log, long at, long len) {
  std::string b(static_cast<size_t>(std::max(len, 0L)), '\0');
  b.resize(read_log_at(log, at, b.data(), b.size()));
  return b;
}

void wipe_note() { show_msg(""); }

void say(const std::string& text) {
  show_msg(text);
  note_until_key(wipe_note);
}

}  // namespace

void reset_reread_state() {
  rr = reread_state{};
  scan_from_start();
}

void note_log_scanned(FILE* log) {
  rr = reread_state{};
  struct stat st;
  if (::fstat(fileno(log), &st) != 0) return;
  rr.known = true;
  rr.size = static_cast<long>(st.st_size);
  rr.mtime = st.st_mtim;
  rr.head = bytes_at(log, 0, std::min(rr.size, kCompared));
  const long tail_at = std::max(0L, rr.size - kCompared);
  rr.tail = bytes_at(log, tail_at, rr.size - tail_at);
}

log_change log_state(FILE* log) {
  struct stat st;
  if (!rr.known || ::fstat(fileno(log), &st) != 0) return log_change::none;
  const long size = static_cast<long>(st.st_size);
  if (size == rr.size && st.st_mtim.tv_sec == rr.mtime.tv_sec &&
      st.st_mtim.tv_nsec == rr.mtime.tv_nsec) {
    rr.seen = log_change::none;
  } else if (size < rr.size || bytes_at(log, 0, static_cast<long>(rr.head.size())) != rr.head ||
             bytes_at(log, rr.size - static_cast<long>(rr.tail.size()),
                      static_cast<long>(rr.tail.size())) != rr.tail) {
    rr.seen = log_change::changed;
  } else {
    rr.seen = size > rr.size ? log_change::grew : log_change::none;
  }
  return rr.seen;
}

long log_read_limit() { return rr.known ? rr.size : LONG_MAX; }

bool log_usable() {
  if (log_state(log_fp) != log_change::changed) return true;
  out_write("\a");
  say(kChanged);
  return false;
}

void show_log_note() {
  if (rr.seen != log_change::none) say(rr.seen == log_change::grew ? kGrew : kChanged);
}

void reread_log(cursor& at) {
  const log_change change = log_state(log_fp);
  if (change == log_change::none) {
    say("the log has not changed");
    return;
  }
  const title_ent* under = entry_at(at.cur_idx);
  const long under_offset = under != nullptr ? under->offset : -1;
  const int before = ent_cnt;
  bool whole;
  if (change == log_change::grew) {
    whole = read_more_titles(log_fp, tent, &ent_cnt);
  } else {
    // Read whole again; a title found at the same place keeps its mark.
    std::unordered_map<long, int8_t> marks;
    for (int i = 0; i < ent_cnt; i++) marks.emplace(tent[i].offset, int8_t{tent[i].readed});
    freex(tent);
    std::fill(tent, tent + ent_cnt, title_ent{});
    if (tentp[0] != nullptr) std::fill(tentp, tentp + ent_cnt, nullptr);
    ent_cnt = 0;
    struct stat st;
    thread_index_reset(::fstat(fileno(log_fp), &st) == 0 ? static_cast<long>(st.st_size) : 0);
    scan_from_start();
    whole = read_more_titles(log_fp, tent, &ent_cnt);
    for (int i = 0; i < ent_cnt; i++) {
      if (auto m = marks.find(tent[i].offset); m != marks.end()) tent[i].readed = m->second;
    }
    readed_forget_loaded();
  }
  note_log_scanned(log_fp);
  if (link == 1 || tentp[0] != nullptr) make_tentp();
  // The cursor stays on its title, or as near its place as the list allows.
  int p = std::min(at.cur_idx, std::max(ent_cnt - 1, 0));
  for (int i = 0; i < ent_cnt; i++) {
    if (entry_at(i) != nullptr && entry_at(i)->offset == under_offset) {
      p = i;
      break;
    }
  }
  at.cur_idx = p;
  at.cur_row = p % page_rows();
  repaint(at);
  std::string note =
      change == log_change::grew
          ? "new titles: " + std::to_string(ent_cnt - before)
          : "the log changed on disk and was read again (titles: " + std::to_string(ent_cnt) + ")";
  if (!whole) note += " (the title table is full: start dulk with a larger -n)";
  say(note);
}

}  // namespace dulk
