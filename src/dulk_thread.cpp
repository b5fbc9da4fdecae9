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

struct num_entries {
  int oldest;
  int newest;
};

// FNV-1a over the id with ASCII letters folded to lower case.
uint64_t msgid_hash(std::string_view id, uint8_t group) {
  uint64_t h = 0xcbf29ce484222325ULL ^ group;
  for (char c : id) {
    h ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

// Message ids and groups to the oldest entry: open addressing over a
// power-of-two array of slots, at most half of them used.  A slot holds the
// hash and the entry, so the id stored with the entry is compared only when
// the hashes agree.
class msgid_table {
 public:
  int find(std::string_view id, uint8_t group) const {
    if (slots_.empty()) return -1;
    uint64_t h = msgid_hash(id, group);
    for (size_t i = h & mask_; slots_[i].index >= 0; i = (i + 1) & mask_) {
      if (slots_[i].hash == h && holds(slots_[i].index, id, group)) return slots_[i].index;
    }
    return -1;
  }

  // The first entry with an id stays: later ones never become parents.
  void enter(std::string_view id, uint8_t group, int index) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    uint64_t h = msgid_hash(id, group);
    size_t i = h & mask_;
    for (; slots_[i].index >= 0; i = (i + 1) & mask_) {
      if (slots_[i].hash == h && holds(slots_[i].index, id, group)) return;
    }
    slots_[i] = {h, index};
    used_++;
  }

 private:
  struct slot {
    uint64_t hash;
    int index;  // -1: the slot is free
  };

  static bool holds(int index, std::string_view id, uint8_t group) {
    std::string_view stored = tent[index].msgid;
    return tent[index].group == group && stored.size() == id.size() &&
           starts_with_nocase(stored, id);
  }

  void grow() {
    std::vector<slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, slot{0, -1});
    mask_ = slots_.size() - 1;
    for (const slot& s : old) {
      if (s.index < 0) continue;
      size_t i = s.hash & mask_;
      while (slots_[i].index >= 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
};

// Numbers and groups to entries: open addressing over a power-of-two array
// of slots, at most three quarters of them used.  Every title is entered here, and a
// slot is one memory access where a node of a std::unordered_map is two or
// three (with a division by a prime on the way): at a million titles that
// is most of the cost of the index.
class num_table {
 public:
  const num_entries* find(uint64_t key) const {
    if (slots_.empty()) return nullptr;
    size_t i = start(key);
    while (slots_[i].at.oldest >= 0 && slots_[i].key != key) i = (i + 1) & mask_;
    return slots_[i].at.oldest >= 0 ? &slots_[i].at : nullptr;
  }

  // Room for about n keys without growing.
  void reserve(size_t n) {
    size_t want = 1024;
    while (want / 4 * 3 < n) want *= 2;
    if (want > slots_.size()) rehash(want);
  }

  void enter(uint64_t key, int index) {
    if ((used_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 1024 : slots_.size() * 2);
    size_t i = start(key);
    while (slots_[i].at.oldest >= 0 && slots_[i].key != key) i = (i + 1) & mask_;
    if (slots_[i].at.oldest < 0) {
      slots_[i] = {key, {index, index}};
      used_++;
    } else {
      slots_[i].at.newest = index;
    }
  }

 private:
  struct slot {
    uint64_t key;
    num_entries at;  // oldest -1: the slot is free
  };

  // Message numbers in a room mostly rise one by one, and a reply mostly
  // names a recent message: runs of 64 numbers of a room share a stretch of
  // slots, so entering and finding them stays within memory just touched.
  // Where a run lies is mixed from the rest of the key.
  static constexpr int kRun = 6;
  size_t start(uint64_t key) const {
    uint64_t run = (key >> (8 + kRun)) << 8 | (key & 0xff);
    uint64_t at = ((run * 0x9e3779b97f4a7c15ULL) >> 32) + ((key >> 8) & ((1 << kRun) - 1));
    return static_cast<size_t>(at) & mask_;
  }

  void rehash(size_t size) {
    std::vector<slot> old = std::move(slots_);
    slots_.assign(size, slot{0, {-1, -1}});
    mask_ = slots_.size() - 1;
    for (const slot& s : old) {
      if (s.at.oldest < 0) continue;
      size_t i = start(s.key);
      while (slots_[i].at.oldest >= 0) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
};

struct reply_index {
  num_table by_num;
  msgid_table by_msgid;
  std::vector<int> last_reply;  // by the parent's index: the last reply's index + 1, or 0
  int covered = 0;
};

reply_index rix;

uint64_t num_key(int num, uint8_t group) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(num)) << 8) | group;
}

// Makes the index hold exactly the entries before index.
void cover(int index) {
  if (index < rix.covered) {
    rix.by_num = num_table{};
    rix.by_msgid = msgid_table{};
    rix.covered = 0;
  }
  for (; rix.covered < index; rix.covered++) {
    const int i = rix.covered;
    const title_ent& e = tent[i];
    rix.by_num.enter(num_key(e.num, e.group), i);
    if (e.msgid != nullptr) rix.by_msgid.enter(e.msgid, e.group, i);
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
    title_ent* end = last != 0 ? &tent[last - 1] : p->child;
    while (end->next != nullptr) end = end->next;
    end->next = reply;
  }
  last = index + 1;
  return 1;
}

int link_by_num(int index, int key, bool newest) {
  if (index <= 0) return 0;
  cover(index);
  const num_entries* found = rix.by_num.find(num_key(key, tent[index].group));
  if (found == nullptr) return 0;
  return link_under(newest ? found->newest : found->oldest, index);
}

}  // namespace

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
  int found = rix.by_msgid.find(ref, tent[index].group);
  if (found < 0) return 0;
  return link_under(found, index);
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
