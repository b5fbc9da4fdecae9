// Start-up, the key loop, the screen painters, the read-state file and the
// mailbox, reply threads, and the usage text.
#include "dulk.h"

#include <curses.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace dulk {

// ---- globals ---------------------------------------------------------------

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

// Set once the scan has filled the table: from then on a fatal error stores
// the read flags before it ends the run.
static bool scan_done = false;

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

// ---- ending the process ----------------------------------------------------

namespace {
exit_hook_fn exit_hook = nullptr;
}

void set_exit_hook(exit_hook_fn hook) { exit_hook = hook; }

void dk_exit(int status) {
  out_flush();
  if (exit_hook != nullptr) {
    exit_hook(status);  // a hook that returns falls through to a real exit
  }
  term_restore();
  std::fflush(stdout);
  std::exit(status);
}

void fatal(const char* what) {
  int saved = errno;
  static bool in_fatal = false;
  if (scan_done && !in_fatal && tent != nullptr) {
    in_fatal = true;
    save_readed(tent, log_path.c_str(), ent_cnt);
    in_fatal = false;
  }
  out_flush();
  term_restore();
  errno = saved;
  std::perror(what);
  dk_exit(1);
}

// ---- terminal output layer -------------------------------------------------

namespace {

class stdout_sink : public out_sink {
 public:
  void write(const char* data, size_t len) override { std::fwrite(data, 1, len, stdout); }
  void flush() override { std::fflush(stdout); }
};

stdout_sink default_sink;
out_sink* sink = &default_sink;
bool curses_on = false;

}  // namespace

out_sink* set_out_sink(out_sink* s) {
  out_sink* old = sink;
  sink = s != nullptr ? s : &default_sink;
  return old;
}

void out_write(std::string_view bytes) { sink->write(bytes.data(), bytes.size()); }

void out_vprintf(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    sink->write(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), fmt, ap);
  sink->write(big.data(), static_cast<size_t>(n));
}

void out_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  out_vprintf(fmt, ap);
  va_end(ap);
}

void out_flush() { sink->flush(); }

void term_start() {
  initscr();
  cbreak();
  noecho();
  curses_on = true;
  scr_clear();
}

void term_restore() {
  if (curses_on) {
    out_flush();
    endwin();
    curses_on = false;
  }
}

bool term_started() { return curses_on; }

void scr_clear() {
  out_flush();
  if (curses_on) {
    wclear(stdscr);
    wrefresh(stdscr);
  }
}

void scr_refresh() {
  out_flush();
  if (curses_on) wrefresh(stdscr);
}

int scr_getch() {
  out_flush();
  if (curses_on) return wgetch(stdscr);
  int c = std::getchar();
  return c == EOF ? ERR : c;
}

// ---- screen painters --------------------------------------------------------

void disp(const char* text, int depth, int row, int highlighted, char readed, char kind) {
  (void)depth;
  (void)highlighted;
  (void)readed;
  (void)kind;
  out_printf("\033[%d;%dH%s\n", row + 1, 3, text);
  scr_refresh();
}

void tdisp(int position, int page_row, int highlighted) {
  const title_ent* e = link ? tentp[position] : &tent[position];
  disp(e->title, link ? e->depth : 0, page_row + 2, highlighted, e->readed, e->kind);
}

void disp_one_pg(title_ent* table, int cursor, int count, int per_page, const char* log_name) {
  (void)table;
  scr_clear();
  int page = cursor / per_page;
  int top = page * per_page;
  out_printf("LOG FILE : %s      PAGE : %d/%d    \xA1\x79 DULK Ver %s \xA1\x7A %s\n", log_name,
             page + 1, (count - 1) / per_page + 1, kVersion, link ? "<LINK mode>" : " ");
  for (int i = 0; i < per_page; i++) {
    if (top + i < count) {
      tdisp(top + i, i, 0);
    } else {
      disp("<<< END >>>", 0, i + 2, 0, 0, 0);
      break;
    }
  }
}

void disp_meter(int squares, int filled) {
  (void)squares;
  (void)filled;
}

// ---- start-up -------------------------------------------------------------------

namespace {

// Opens the log for reading.  Only a regular file will do: a directory cannot
// be read, and a FIFO or device can neither be positioned nor be counted on
// to end, so the scan would hang on it.
FILE* open_log(const char* path) {
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
    return nullptr;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* fp = ::fdopen(fd, "rb");
  if (fp == nullptr) {
    int e = errno;
    ::close(fd);
    errno = e;
  }
  return fp;
}

}  // namespace

int dulk_main(int argc, char** argv) {
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
  if (lines != nullptr) env_y = std::atoi(lines) - 4;
  if (env_x == 0) env_x = 80;
  if (env_y < 1) env_y = 20;

  const char* ed = std::getenv("EDITOR");
  const char* pg = std::getenv("PAGER");
  editor = ed != nullptr ? ed : "vi";
  pager = pg != nullptr ? pg : "less";

  log_fp = open_log(log_path.c_str());
  if (log_fp == nullptr) {
    std::perror("dulk : open logfile ");
    dk_exit(1);
  }

  term_start();
  read_title(log_fp, tent, &ent_cnt);
  scan_done = true;
  set_readed(tent, log_path.c_str());
  disp_one_pg(tent, cur_idx, ent_cnt, env_y, log_path.c_str());
  if (ent_cnt == 0) {
    out_printf("\nWarning : There is no message.\n");
  } else {
    tdisp(cur_idx, cur_row, 1);
  }
  key_loop();
}

// ---- the key loop -------------------------------------------------------------

void key_loop() {
  int errors = 0;
  for (;;) {
    int c = scr_getch();
    if (c == ERR) {
      if (++errors >= 100) break;
      continue;
    }
    errors = 0;
    if (c == 'q' || c == 'Q' || c == 'p' || c == 'P' || c == 27) {
      scr_clear();
      save_readed(tent, log_path.c_str(), ent_cnt);
      freex(tent);
      dk_exit(0);
    }
  }
  save_readed(tent, log_path.c_str(), ent_cnt);
  freex(tent);
  dk_exit(1);
}

// ---- usage ---------------------------------------------------------------------

void usage() {
  std::printf("usage : dulk [-l] [-n <titles>] <filename>\n");
  dk_exit(1);
}

// ---- read state and mailbox ---------------------------------------------------

void set_readed(title_ent* table, const char* path) {
  (void)table;
  (void)path;
}

void save_readed(title_ent* table, const char* path, int count) {
  (void)table;
  (void)path;
  (void)count;
}

void add_file(const char* src, const char* dst) {
  (void)src;
  (void)dst;
}

// ---- reply threads -------------------------------------------------------

namespace {

// The parent searches would scan every earlier entry and walk the parent's
// chain of replies to its end.  This index gives the same answers without a
// walk: for each (num, group) the oldest and the newest earlier entry, for
// each message id (ignoring case) the oldest earlier entry, and for each
// entry the last reply in its chain.  It covers entries 0 to `covered` - 1,
// the entries the scanner has completed.

struct index_slot {
  uint64_t key;
  int oldest;  // -1: the slot is free
  int newest;
};

// An open-addressing table of slots, found by a 64-bit key and a test that
// tells apart different things with the same key (message ids whose hashes
// collide).  A million titles stay a few flat arrays, with no node or string
// allocated per entry.
class index_table {
 public:
  template <class Same>
  index_slot* find(uint64_t key, Same same) {
    if (slots_.empty()) return nullptr;
    for (size_t i = start(key);; i = (i + 1) & mask_) {
      index_slot& s = slots_[i];
      if (s.oldest < 0) return nullptr;
      if (s.key == key && same(s)) return &s;
    }
  }

  // Enters entry idx under key: a new slot, or the newest of an old one.
  template <class Same>
  void enter(uint64_t key, int idx, Same same) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    for (size_t i = start(key);; i = (i + 1) & mask_) {
      index_slot& s = slots_[i];
      if (s.oldest < 0) {
        s = {key, idx, idx};
        used_++;
        return;
      }
      if (s.key == key && same(s)) {
        s.newest = idx;
        return;
      }
    }
  }

  void clear() {
    slots_.clear();
    used_ = 0;
    mask_ = 0;
  }

 private:
  size_t start(uint64_t key) const {
    return static_cast<size_t>((key * 0x9e3779b97f4a7c15ULL) >> 32) & mask_;
  }

  void grow() {
    std::vector<index_slot> old = std::move(slots_);
    size_t size = old.empty() ? 1024 : old.size() * 2;
    slots_.assign(size, index_slot{0, -1, -1});
    mask_ = size - 1;
    for (const index_slot& s : old) {
      if (s.oldest < 0) continue;
      size_t i = start(s.key);
      while (slots_[i].oldest >= 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<index_slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
};

struct thread_index {
  index_table by_num;
  index_table by_msgid;
  std::vector<title_ent*> last_reply;  // by entry index
  int covered = 0;
  int last_keyed = -1;  // highest index entered in a table

  void clear() {
    by_num.clear();
    by_msgid.clear();
    last_reply.clear();
    covered = 0;
    last_keyed = -1;
  }
};

thread_index tix;

uint64_t num_key(int num, uint8_t group) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(num)) << 8) | group;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(const char* a, const char* b) {
  for (;; a++, b++) {
    if (lower(*a) != lower(*b)) return false;
    if (*a == '\0') return true;
  }
}

// FNV-1a over the id with ASCII letters folded to lower case.
uint64_t msgid_key(const char* id) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (; *id != '\0'; id++) {
    h ^= static_cast<unsigned char>(lower(*id));
    h *= 0x100000001b3ULL;
  }
  return h;
}

// Enters the completed entry at index i (which must be tix.covered).
void index_entry(int i) {
  const title_ent& e = tent[i];
  size_t at = static_cast<size_t>(i);
  if (tix.last_reply.size() <= at)
    tix.last_reply.resize(std::max(at + 1, tix.last_reply.size() * 2));
  tix.last_reply[at] = nullptr;
  // Headings have num 0 and no message id, and no search asks for num 0, so
  // they are never entered (and collapsing them never costs a rebuild).
  if (e.num != 0) {
    tix.by_num.enter(num_key(e.num, e.group), i, [](const index_slot&) { return true; });
    tix.last_keyed = i;
  }
  if (e.msgid != nullptr) {
    const char* id = e.msgid;
    tix.by_msgid.enter(msgid_key(id), i, [id](const index_slot& s) {
      return equal_nocase(tent[s.oldest].msgid, id);
    });
    tix.last_keyed = i;
  }
  tix.covered = i + 1;
}

// Makes the index cover exactly entries 0 to upto - 1.  Going back happens
// only when headings are collapsed; those were never entered in a table, so
// the tables are rebuilt only if a keyed entry would be dropped.
void index_cover(int upto) {
  if (upto < tix.covered) {
    if (tix.last_keyed >= upto) {
      tix.clear();
    } else {
      tix.covered = upto;
    }
  }
  while (tix.covered < upto) index_entry(tix.covered);
}

// Links reply under parent, at the end of the parent's chain of replies.
void link_reply(title_ent* parent, title_ent* reply) {
  size_t p = static_cast<size_t>(parent - tent);
  if (p >= tix.last_reply.size()) tix.last_reply.resize(p + 1);
  title_ent*& last = tix.last_reply[p];
  if (parent->child == nullptr) {
    parent->child = reply;
  } else {
    // The kept last reply is the chain's end unless the index was rebuilt
    // or the chain changed behind its back; then walk on from what is known.
    title_ent* end = last != nullptr ? last : parent->child;
    while (end->next != nullptr) end = end->next;
    end->next = reply;
  }
  last = reply;
}

// The entry with the same num and group that the searches would find, or -1.
int find_by_num(int index, int key, bool newest) {
  uint8_t group = tent[index].group;
  if (tix.covered == index && key != 0) {
    const index_slot* s =
        tix.by_num.find(num_key(key, group), [](const index_slot&) { return true; });
    if (s == nullptr) return -1;
    return newest ? s->newest : s->oldest;
  }
  // Asked about an index the completed entries do not end at, or about
  // num 0, which the index leaves out: scan.
  if (newest) {
    for (int i = index - 1; i >= 0; i--) {
      if (tent[i].num == key && tent[i].group == group) return i;
    }
  } else {
    for (int i = 0; i < index; i++) {
      if (tent[i].num == key && tent[i].group == group) return i;
    }
  }
  return -1;
}

int link_by_num(int index, int key, bool newest) {
  if (index <= 0) return 0;
  if (tix.covered < index) index_cover(index);
  int p = find_by_num(index, key, newest);
  if (p < 0) return 0;
  link_reply(&tent[p], &tent[index]);
  return 1;
}

}  // namespace

void thread_index_reset() { tix.clear(); }

void thread_index_add(int index) {
  if (index < 0) return;
  index_cover(index);
  index_entry(index);
}

// Forum headers name their parent by number: the oldest earlier entry with
// that number in the same group.
int search_and_add(int index, int key) { return link_by_num(index, key, false); }

// Escape-marked titles name their parent by number: the newest earlier
// entry with that number in the same group.
int search_and_add4sx(int index, int key) { return link_by_num(index, key, true); }

// A news article's parent is the oldest earlier article whose message id is
// the reference (up to its first '>'), whatever the case of either.
int search_and_add4news(int index, char* ref) {
  if (index <= 0) return 0;
  if (char* gt = std::strchr(ref, '>')) gt[1] = '\0';
  if (tix.covered < index) index_cover(index);
  uint8_t group = tent[index].group;
  int p = -1;
  if (tix.covered == index) {
    const index_slot* s = tix.by_msgid.find(msgid_key(ref), [ref](const index_slot& x) {
      return equal_nocase(tent[x.oldest].msgid, ref);
    });
    if (s != nullptr) p = s->oldest;
  }
  // The map keeps the oldest entry of each id whatever its group; news
  // entries all have group 0, so a scan is needed only when another form's
  // entry carries an id, or when the completed entries do not end at index.
  if (tix.covered != index || (p >= 0 && tent[p].group != group)) {
    p = -1;
    for (int i = 0; i < index && p < 0; i++) {
      if (tent[i].msgid != nullptr && tent[i].group == group && equal_nocase(tent[i].msgid, ref))
        p = i;
    }
  }
  if (p < 0) return 0;
  link_reply(&tent[p], &tent[index]);
  return 1;
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

}  // namespace dulk
