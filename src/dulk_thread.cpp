// Reply threads: the index the scan finds each reply's parent by, and the
// thread order link mode shows.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "dulk.h"

namespace dulk {

namespace {

// The parent searches would scan every earlier entry and walk the parent's
// chain of replies to its end.  This index gives the same answers at once:
// for each number and group the oldest and the newest entry, for each
// message id (letters in any case) and group the oldest, and for each
// parent the last reply of its chain.  It holds the entries before
// `covered`: the scan asks for the parent of each new entry in turn, and a
// search for an earlier index (asked only by hand) builds it afresh.

// Open addressing over a power-of-two array of slots, at most three quarters
// of them used, probed one slot after the other from where the key's hash
// points.  A slot is a few bytes that hold the key's hash or the key itself,
// so a probe is one memory access; a key's slots are spread by its hash
// alone, whatever order the keys come in.  Slot has used() and hash().
template <class Slot>
class open_table {
 public:
  // The slot that holds the key of hash h (same(slot) tells), or the free
  // slot where it goes; null while the table is empty.
  template <class Same>
  Slot* find(uint64_t h, Same same) {
    if (slots_.empty()) return nullptr;
    size_t i = h & mask_;
    while (slots_[i].used() && !same(slots_[i])) i = (i + 1) & mask_;
    return &slots_[i];
  }
  // Room for one more key: to call before a free slot that find gave is
  // filled (and then filled()).
  void make_room() {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow(slots_.empty() ? 1024 : slots_.size() * 2);
  }
  void filled() { used_++; }
  // Asks the memory for the slot of hash h ahead of its use, so that
  // entering a key costs no wait for it.
  void prepare(uint64_t h) const {
    if (!slots_.empty()) prefetch(&slots_[h & mask_]);
  }
  // Room for about n keys without growing.
  void reserve(size_t n) {
    size_t want = 1024;
    while (want / 4 * 3 < n) want *= 2;
    if (want > slots_.size()) grow(want);
  }

 private:
  void grow(size_t size) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    mask_ = size - 1;
    for (const Slot& s : old) {
      if (!s.used()) continue;
      size_t i = s.hash() & mask_;
      while (slots_[i].used()) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
};

inline void prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Fibonacci hashing: the key's bits mixed into the high half, which the
// mask then takes from.
uint64_t mix(uint64_t key) {
  uint64_t h = key * 0x9e3779b97f4a7c15ULL;
  return h ^ (h >> 29);
}

// A number and group with the oldest and newest entry that have them.
struct num_slot {
  uint64_t key = 0;
  int32_t oldest = -1;  // -1: the slot is free
  int32_t newest = -1;
  bool used() const { return oldest >= 0; }
  uint64_t hash() const { return mix(key); }
};

// FNV-1a over the id with ASCII letters folded to lower case.
uint64_t msgid_hash(std::string_view id, uint8_t group) {
  uint64_t h = 0xcbf29ce484222325ULL ^ group;
  for (char c : id) {
    h ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    h *= 0x100000001b3ULL;
  }
  return mix(h);
}

// A message id and group by its hash, with the oldest entry that has it:
// the id stored with the entry is compared only when the hashes agree.
struct msgid_slot {
  uint64_t id_hash = 0;
  int32_t oldest = -1;  // -1: the slot is free
  bool used() const { return oldest >= 0; }
  uint64_t hash() const { return id_hash; }
};

bool holds_msgid(int index, std::string_view id, uint8_t group) {
  std::string_view stored = tent[index].msgid;
  return tent[index].group == group && stored.size() == id.size() &&
         starts_with_nocase(stored, id);
}

struct reply_index {
  open_table<num_slot> by_num;
  open_table<msgid_slot> by_msgid;
  std::vector<int> last_reply;  // by the parent's index: the last reply's index + 1, or 0
  int covered = 0;
};

reply_index rix;

uint64_t num_key(int num, uint8_t group) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(num)) << 8) | group;
}

// Makes the index hold exactly the entries before index.  An entry of
// number 0 is never asked for (a parent number of 0 makes no search).
void cover(int index) {
  if (index < rix.covered) {
    rix.by_num = open_table<num_slot>{};
    rix.by_msgid = open_table<msgid_slot>{};
    rix.covered = 0;
  }
  for (; rix.covered < index; rix.covered++) {
    const int i = rix.covered;
    const title_ent& e = tent[i];
    if (e.num != 0) {
      uint64_t key = num_key(e.num, e.group);
      rix.by_num.make_room();
      num_slot* s = rix.by_num.find(mix(key), [key](const num_slot& s) { return s.key == key; });
      if (s->used()) {
        s->newest = i;
      } else {
        *s = {key, i, i};
        rix.by_num.filled();
      }
    }
    if (e.msgid != nullptr) {
      // The first entry with an id stays: later ones never become parents.
      uint64_t h = msgid_hash(e.msgid, e.group);
      rix.by_msgid.make_room();
      msgid_slot* s = rix.by_msgid.find(h, [&](const msgid_slot& s) {
        return s.id_hash == h && holds_msgid(s.oldest, e.msgid, e.group);
      });
      if (!s->used()) {
        *s = {h, i};
        rix.by_msgid.filled();
      }
    }
  }
}

// Links the entry at index under the one at parent, at the end of its chain.
int link_under(int parent, int index) {
  title_ent* p = &tent[parent];
  title_ent* reply = &tent[index];
  size_t k = static_cast<size_t>(parent);
  if (rix.last_reply.size() <= k) rix.last_reply.resize(std::max(k + 1, 2 * rix.last_reply.size()));
  int& last = rix.last_reply[k];
  if (p->child == nullptr) {
    p->child = reply;
  } else {
    title_ent* end = last != 0 ? &tent[last - 1] : static_cast<title_ent*>(p->child);
    while (end->next != nullptr) end = end->next;
    end->next = reply;
  }
  last = index + 1;
  return 1;
}

int link_by_num(int index, int key, bool newest) {
  if (index <= 0) return 0;
  cover(index);
  uint64_t k = num_key(key, tent[index].group);
  const num_slot* found = rix.by_num.find(mix(k), [k](const num_slot& s) { return s.key == k; });
  if (found == nullptr || !found->used()) return 0;
  return link_under(newest ? found->newest : found->oldest, index);
}

}  // namespace

// The scan made the entry at index: it is entered when the next search
// needs it, and its slot is fetched now so that entering it waits for no
// memory then (at a million titles a table is mostly out of the cache).
void thread_index_expect(int index) {
  const title_ent& e = tent[index];
  if (e.num != 0) rix.by_num.prepare(mix(num_key(e.num, e.group)));
  if (e.msgid != nullptr) rix.by_msgid.prepare(msgid_hash(e.msgid, e.group));
}

void thread_index_reset(long log_size) {
  rix = reply_index{};
  // A title stands in every few hundred bytes of a busy log.
  if (log_size > 0) rix.by_num.reserve(static_cast<size_t>(log_size / 512));
}

// Forum headers name their parent by number: the oldest earlier entry with
// that number in the same group.
int search_and_add(int index, int key) { return link_by_num(index, key, false); }

// Escape-marked titles name their parent by number: the newest earlier
// entry with that number in the same group.
int search_and_add4sx(int index, int key) { return link_by_num(index, key, true); }

// A news article's parent is the oldest earlier entry whose message id is
// the reference up to its first '>', whatever the case of either.
int search_and_add4news(int index, char* ref) {
  if (index <= 0) return 0;
  if (char* gt = std::strchr(ref, '>')) gt[1] = '\0';
  cover(index);
  uint8_t group = tent[index].group;
  uint64_t h = msgid_hash(ref, group);
  const msgid_slot* found = rix.by_msgid.find(
      h, [&](const msgid_slot& s) { return s.id_hash == h && holds_msgid(s.oldest, ref, group); });
  if (found == nullptr || !found->used()) return 0;
  return link_under(found->oldest, index);
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
