// Reply threads: the index the scan finds each reply's parent by, the
// thread order link mode shows, and the whole thread of an entry.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dulk.h"

namespace dulk {

namespace {

// The parent searches would scan every earlier entry and walk the parent's
// chain of replies to its end.  This index gives the same answers at once:
// for each number and group the oldest and the newest entry, for each
// message id (letters in any case) and group the oldest, and for each
// parent the last reply of its chain (kept in the entry, as is each
// reply's parent, so a thread is climbed to its root without a search).
// Each table holds the entries before its `covered`: a re-read of a grown
// log asks for the parent of each new entry in turn, and a search for an
// earlier index (asked only by hand) builds it afresh.  A whole scan asks
// its number questions all at once at its end (link_answers below).

// Open addressing over a power-of-two array of slots, at most three quarters
// of them used, probed one slot after the other from the place the high
// bits of the key's hash give.  A slot is a few bytes that hold the key's
// hash or the key itself, so a probe is one memory access, and keys are
// spread by their hash alone, whatever order they come in.  Slot has
// used() and hash().
template <class Slot>
class open_table {
 public:
  // The slot that holds the key of hash h (same(slot) tells), or the free
  // slot where it goes; null while the table is empty.
  template <class Same>
  Slot* find(uint64_t h, Same same) {
    if (slots_.empty()) return nullptr;
    size_t i = static_cast<size_t>(h >> shift_);
    while (slots_[i].used() && !same(slots_[i])) i = (i + 1) & mask_;
    return &slots_[i];
  }
  // Room for one more key: to call before a free slot that find gave is
  // filled (and then filled()).
  void make_room() {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow(slots_.empty() ? 1024 : slots_.size() * 2);
  }
  void filled() { used_++; }
  size_t size() const { return used_; }
  // Room for about n keys without growing.
  void reserve(size_t n) {
    size_t want = 1024;
    while (want / 4 * 3 < n) want *= 2;
    if (want > slots_.size()) grow(want);
  }
  void clear() {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    used_ = 0;
  }
  // Every used slot in the order of the places: the order of the high bits
  // of the keys' hashes, but for keys moved on by a probe.
  template <class Visit>
  void each(Visit visit) const {
    for (const Slot& s : slots_) {
      if (s.used()) visit(s);
    }
  }

 private:
  // The keys move over in the order of their places, which is their order
  // in the larger table too: it fills from front to back.
  void grow(size_t size) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    mask_ = size - 1;
    shift_ = 64 - std::countr_zero(size);
    for (const Slot& s : old) {
      if (!s.used()) continue;
      size_t i = static_cast<size_t>(s.hash() >> shift_);
      while (slots_[i].used()) i = (i + 1) & mask_;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
  size_t mask_ = 0;
  int shift_ = 64;
};

// The titles replies name are mostly among the last few thousand, while a
// table of a million titles lies mostly outside the cache: there every
// entry would wait for memory and for its page's address.  So a key is
// entered into a young table small enough to stay in the cache, and when
// that is full its keys move into the old table in one pass.  Since both
// tables place a key by the high bits of its hash, the young table's keys
// come in the order of their places in the old one, and the pass goes
// through it from front to back.  A bit for each of 2^24 stretches of
// hashes tells whether the old table may hold a key, so that asking it for
// a key it does not hold costs no wait either.  Every key in the old table
// belongs to an entry older than every entry of the young one.  Slot adds
// same_key(a, b) and absorb(old, young), which keeps in the old table's
// slot what a key's later entries change.
template <class Slot>
class aged_table {
 public:
  // Enters the key of hash h: fresh when it is new, else update(slot).
  template <class Same, class Update>
  void enter(uint64_t h, Same same, const Slot& fresh, Update update) {
    if (young_.size() >= kYoung) age();
    young_.make_room();
    Slot* s = young_.find(h, same);
    if (s->used()) {
      update(*s);
    } else {
      *s = fresh;
      young_.filled();
    }
  }
  // The slot for the key of hash h in either table, or null.
  template <class Same>
  const Slot* young(uint64_t h, Same same) {
    const Slot* s = young_.find(h, same);
    return s != nullptr && s->used() ? s : nullptr;
  }
  template <class Same>
  const Slot* old(uint64_t h, Same same) {
    if (marks_.empty() ||
        (marks_[h >> (64 - kMarkBits + 6)] >> ((h >> (64 - kMarkBits)) & 63) & 1) == 0)
      return nullptr;
    const Slot* s = old_.find(h, same);
    return s != nullptr && s->used() ? s : nullptr;
  }
  // Room in the old table for about n keys once it is first used.
  void expect(size_t n) { expected_ = n; }

 private:
  static constexpr size_t kYoung = size_t{1} << 15;
  static constexpr int kMarkBits = 24;

  void age() {
    if (marks_.empty()) {
      marks_.assign(size_t{1} << (kMarkBits - 6), 0);
      old_.reserve(expected_);
    }
    young_.each([this](const Slot& y) {
      old_.make_room();
      Slot* s = old_.find(y.hash(), [&y](const Slot& o) { return Slot::same_key(o, y); });
      if (s->used()) {
        Slot::absorb(*s, y);
      } else {
        *s = y;
        old_.filled();
      }
      uint64_t h = y.hash();
      marks_[h >> (64 - kMarkBits + 6)] |= uint64_t{1} << ((h >> (64 - kMarkBits)) & 63);
    });
    young_.clear();
  }

  open_table<Slot> young_;
  open_table<Slot> old_;
  std::vector<uint64_t> marks_;
  size_t expected_ = 0;
};

// Fibonacci hashing: the key's bits mixed into the high bits, which place
// it.
uint64_t mix(uint64_t key) { return key * 0x9e3779b97f4a7c15ULL; }

uint64_t num_key(uint32_t num, uint8_t group) { return (uint64_t{num} << 8) | group; }

// A number with the oldest and newest entry that have it in one group.  The
// group is the oldest entry's own, which no later title changes, so that a
// slot takes twelve bytes: the old table of a big log is the largest thing
// the index holds.
struct num_slot {
  uint32_t num = 0;
  int32_t oldest = -1;  // -1: the slot is free
  int32_t newest = -1;
  bool used() const { return oldest >= 0; }
  uint8_t group() const { return tent[oldest].group; }
  bool has(uint32_t n, uint8_t g) const { return num == n && group() == g; }
  uint64_t hash() const { return mix(num_key(num, group())); }
  static bool same_key(const num_slot& a, const num_slot& b) { return a.has(b.num, b.group()); }
  static void absorb(num_slot& old, const num_slot& young) { old.newest = young.newest; }
};
static_assert(sizeof(num_slot) == 12);

// FNV-1a over the id with ASCII letters folded to lower case.
uint64_t msgid_hash(std::string_view id, uint8_t group) {
  uint64_t h = 0xcbf29ce484222325ULL ^ group;
  for (char c : id) {
    h ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    h *= 0x100000001b3ULL;
  }
  return mix(h);
}

bool holds_msgid(int index, std::string_view id, uint8_t group) {
  std::string_view stored = tent[index].msgid;
  return tent[index].group == group && stored.size() == id.size() && starts_with_nocase(stored, id);
}

// A message id and group by its hash, with the oldest entry that has it:
// the id stored with the entry is compared only when the hashes agree.
struct msgid_slot {
  uint64_t id_hash = 0;
  int32_t oldest = -1;  // -1: the slot is free
  bool used() const { return oldest >= 0; }
  uint64_t hash() const { return id_hash; }
  static bool same_key(const msgid_slot& a, const msgid_slot& b) {
    return a.id_hash == b.id_hash &&
           holds_msgid(a.oldest, tent[b.oldest].msgid, tent[b.oldest].group);
  }
  static void absorb(msgid_slot&, const msgid_slot&) {}  // the first entry with an id stays
};

// A parent asked for while the links wait for the end of the scan: by
// number, the oldest or the newest, or by message id.
enum class ask : uint8_t { oldest, newest, by_id };
// Eight bytes: a scan of millions of titles keeps one for each reply.
constexpr int32_t kMostDeferred = int32_t{1} << 30;  // replies from here on are linked at once
constexpr size_t kMostRefs = size_t{1} << 30;        // and ids once so many bytes are kept
struct asked {
  uint32_t reply : 30;
  ask by : 2;
  int32_t value;  // the parent's number, or where the id stands in `refs`
};
static_assert(sizeof(asked) == 8);
asked asking(int reply, ask by, int32_t value) {
  asked a{};
  a.reply = static_cast<uint32_t>(reply) & (kMostDeferred - 1);
  a.by = by;
  a.value = value;
  return a;
}

struct reply_index {
  aged_table<num_slot> by_num;
  aged_table<msgid_slot> by_msgid;
  int covered = 0;         // the number table holds the entries before this one
  int msgids_covered = 0;  // and the message-id table these
  long log_size = 0;
  bool deferring = false;
  std::vector<asked> pending;  // in the order the scan asked
  std::string refs;            // the ids asked for, each ended by a NUL
};

reply_index rix;

// A title stands in every few hundred bytes of a busy log.
void expect_titles(long log_size) {
  if (log_size <= 0) return;
  rix.by_num.expect(static_cast<size_t>(log_size / 512));
  rix.by_msgid.expect(static_cast<size_t>(log_size / 4096));
}

// Makes a table hold exactly the entries before index, each entered by
// enter(i, entry); covered counts them.
template <class Table, class Enter>
void cover(Table& table, int& covered, int index, Enter enter) {
  if (index < covered) {
    table = Table{};
    expect_titles(rix.log_size);
    covered = 0;
  }
  for (; covered < index; covered++) enter(covered, tent[covered]);
}

// An entry of number 0 is never asked for (a parent number of 0 makes no
// search).
void cover_numbers(int index) {
  cover(rix.by_num, rix.covered, index, [](int i, const title_ent& e) {
    if (e.num == 0) return;
    const auto num = static_cast<uint32_t>(e.num);
    const uint8_t group = e.group;
    rix.by_num.enter(
        mix(num_key(num, group)), [=](const num_slot& s) { return s.has(num, group); },
        num_slot{num, i, i}, [i](num_slot& s) { s.newest = i; });
  });
}

void cover_msgids(int index) {
  cover(rix.by_msgid, rix.msgids_covered, index, [](int i, const title_ent& e) {
    if (e.msgid == nullptr) return;
    uint64_t h = msgid_hash(e.msgid, e.group);
    rix.by_msgid.enter(
        h,
        [&](const msgid_slot& s) {
          return s.id_hash == h && holds_msgid(s.oldest, e.msgid, e.group);
        },
        msgid_slot{h, i}, [](msgid_slot&) {});
  });
}

// Links the entry at index under the one at parent, at the end of its chain.
int link_under(int parent, int index) {
  title_ent* p = &tent[parent];
  title_ent* reply = &tent[index];
  if (p->child == nullptr) {
    p->child = reply;
  } else {
    title_ent* end = p->last_reply != nullptr ? p->last_reply : p->child;
    while (end->next != nullptr) end = end->next;
    end->next = reply;
  }
  p->last_reply = reply;
  reply->parent = p;
  return 1;
}

int link_by_num(int index, int key, bool newest) {
  if (index <= 0) return 0;
  if (rix.deferring && index >= kMostDeferred) link_deferred(index);
  if (rix.deferring) {
    rix.pending.push_back(asking(index, newest ? ask::newest : ask::oldest, key));
    return 0;
  }
  cover_numbers(index);
  const auto num = static_cast<uint32_t>(key);
  const uint8_t group = tent[index].group;
  const uint64_t k = num_key(num, group);
  auto same = [=](const num_slot& s) { return s.has(num, group); };
  // The old table's entries are all older than the young one's.
  if (newest) {
    const num_slot* s = rix.by_num.young(mix(k), same);
    if (s == nullptr) s = rix.by_num.old(mix(k), same);
    return s != nullptr ? link_under(s->newest, index) : 0;
  }
  const num_slot* s = rix.by_num.old(mix(k), same);
  if (s == nullptr) s = rix.by_num.young(mix(k), same);
  return s != nullptr ? link_under(s->oldest, index) : 0;
}

// The parents asked for by number, all found at once once the scan is done.
// A table of every entry, entered one after the other, waits for memory at
// nearly every entry once it outgrows the cache; here the entries and the
// questions are each put in the order of their keys' hashes, and one walk
// through both answers every question.  Each is a word: the top 32 bits of
// the hash, then the entry's index, or the asking reply's with kNewest.
uint64_t hash_word(uint32_t num, uint8_t group, uint32_t low) {
  return (mix(num_key(num, group)) >> 32 << 32) | low;
}
uint64_t id_word(std::string_view id, uint8_t group, uint32_t low) {
  return (msgid_hash(id, group) >> 32 << 32) | low;
}

// The words word(i, w) gives for i from 0 to n (where it returns true),
// sorted by their top 32 bits, words that agree there in the order of i.
// They are dealt out by their top 8 bits as they are made, so that no copy
// of them all is needed; each share, small enough for the cache, is then
// sorted by the next 24 bits in three passes that each deal by 8.
template <class Word>
std::vector<uint64_t> sorted_words(size_t n, Word word) {
  size_t start[257] = {};
  uint64_t w;
  for (size_t i = 0; i < n; i++) {
    if (word(i, w)) start[(w >> 56) + 1]++;
  }
  for (size_t b = 1; b < 257; b++) start[b] += start[b - 1];
  std::vector<uint64_t> words(start[256]);
  size_t fill[256];
  std::copy(start, start + 256, fill);
  for (size_t i = 0; i < n; i++) {
    if (word(i, w)) words[fill[w >> 56]++] = w;
  }
  std::vector<uint64_t> dealt;
  for (size_t b = 0; b < 256; b++) {
    uint64_t* share = words.data() + start[b];
    const size_t size = start[b + 1] - start[b];
    dealt.resize(std::max(dealt.size(), size));
    uint64_t* from = share;
    uint64_t* to = dealt.data();
    for (int shift = 32; shift < 56; shift += 8) {
      size_t at[256] = {};
      for (size_t k = 0; k < size; k++) at[(from[k] >> shift) & 255]++;
      size_t sum = 0;
      for (size_t& a : at) sum += std::exchange(a, sum);
      for (size_t k = 0; k < size; k++) to[at[(from[k] >> shift) & 255]++] = from[k];
      std::swap(from, to);
    }
    if (from != share) std::copy(from, from + size, share);
  }
  return words;
}

constexpr uint32_t kNewest = uint32_t{1} << 31;  // a question's low bits: newest, and the reply

// The entry the question of the word asks for among the entries of its
// hash (entries sorted, from run to end), same(entry) telling those of its
// key: the oldest one, or for kNewest the newest before the reply; but
// either only if it stands before the reply.
template <class Same>
int answer(uint64_t word, std::vector<uint64_t>::const_iterator run,
           std::vector<uint64_t>::const_iterator end, Same same) {
  const auto reply = static_cast<uint32_t>(word) & ~kNewest;
  auto is = [&](uint64_t e) { return same(static_cast<int>(static_cast<uint32_t>(e))); };
  auto before = std::lower_bound(run, end, (word >> 32 << 32) | reply);
  if ((static_cast<uint32_t>(word) & kNewest) == 0) {
    auto first = std::find_if(run, before, is);
    return first != before ? static_cast<int>(static_cast<uint32_t>(*first)) : -1;
  }
  auto last = std::find_if(std::make_reverse_iterator(before), std::make_reverse_iterator(run), is);
  return last != std::make_reverse_iterator(run) ? static_cast<int>(static_cast<uint32_t>(*last))
                                                 : -1;
}

// What a question asks for, by number or by id, and its word.
struct question_key {
  const asked& a;
  bool by_id() const { return a.by == ask::by_id; }
  const char* ref() const { return rix.refs.data() + a.value; }
  uint8_t group() const { return tent[a.reply].group; }
  bool held_by(int e) const {
    if (by_id()) return holds_msgid(e, ref(), group());
    return tent[e].num == a.value && tent[e].group == group();
  }
  uint64_t word() const {
    const uint32_t low = a.reply | (a.by == ask::newest ? kNewest : 0);
    if (by_id()) return id_word(ref(), group(), low);
    return hash_word(static_cast<uint32_t>(a.value), group(), low);
  }
};

// A first answer for each question by the hash alone, put in the reply's
// parent link, so that the walk through the sorted words reads nothing
// else.
void guess_answers(const std::vector<uint64_t>& questions, const std::vector<uint64_t>& entries) {
  auto run = entries.cbegin();
  for (uint64_t word : questions) {
    while (run != entries.cend() && (*run >> 32) < (word >> 32)) run++;
    auto end = run;
    while (end != entries.cend() && (*end >> 32) == (word >> 32)) end++;
    int guess = answer(word, run, end, [](int) { return true; });
    if (guess >= 0) tent[static_cast<uint32_t>(word) & ~kNewest].parent = &tent[guess];
  }
}

// Links the replies that asked, in the order they asked.  Each first answer
// is checked against the key, and looked for again in the rare case that
// two keys share the hash.
void link_answers(const std::vector<asked>& pending, int count) {
  const auto n = static_cast<size_t>(count);
  const std::vector<uint64_t> numbered = sorted_words(n, [](size_t i, uint64_t& w) {
    const title_ent& e = tent[i];
    w = hash_word(static_cast<uint32_t>(e.num), e.group, static_cast<uint32_t>(i));
    return e.num != 0;
  });
  // An id's hash takes a pass over the id, so those words are made once and
  // then sorted.
  auto sorted = [](const std::vector<uint64_t>& made) {
    return sorted_words(made.size(), [&](size_t i, uint64_t& w) {
      w = made[i];
      return true;
    });
  };
  std::vector<uint64_t> made;
  for (size_t i = 0; i < n; i++) {
    const title_ent& e = tent[i];
    if (e.msgid != nullptr) {
      made.push_back(id_word(e.msgid, e.group, static_cast<uint32_t>(i)));
    }
  }
  const std::vector<uint64_t> with_id = sorted(made);
  made.clear();
  for (const asked& a : pending) {
    if (a.by == ask::by_id) made.push_back(question_key{a}.word());
  }
  guess_answers(sorted(made), with_id);
  made = {};
  guess_answers(sorted_words(pending.size(),
                             [&](size_t q, uint64_t& w) {
                               const question_key k{pending[q]};
                               if (k.by_id()) return false;
                               w = k.word();
                               return true;
                             }),
                numbered);
  for (const asked& a : pending) {
    const question_key k{a};
    title_ent& reply = tent[a.reply];
    title_ent* guess = reply.parent;
    reply.parent = nullptr;
    if (guess == nullptr) continue;
    int parent = static_cast<int>(guess - tent);
    if (!k.held_by(parent)) {
      const std::vector<uint64_t>& entries = k.by_id() ? with_id : numbered;
      const uint64_t word = k.word();
      auto from = std::lower_bound(entries.cbegin(), entries.cend(), word >> 32 << 32);
      auto to = std::upper_bound(from, entries.cend(), word | 0xffffffffULL);
      parent = answer(word, from, to, [&](int e) { return k.held_by(e); });
      if (parent < 0) continue;
    }
    reply.depth = static_cast<int8_t>(link_under(parent, a.reply));
  }
}

}  // namespace

void thread_index_reset(long log_size) {
  rix = reply_index{};
  rix.log_size = log_size;
  expect_titles(log_size);
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
  // An id is asked for with its place among the ids kept; a scan of more
  // ids than an int can place links the rest at once.
  if (rix.deferring && (index >= kMostDeferred || rix.refs.size() > kMostRefs)) {
    link_deferred(index);
  }
  if (rix.deferring) {
    rix.pending.push_back(asking(index, ask::by_id, static_cast<int32_t>(rix.refs.size())));
    rix.refs.append(ref).push_back('\0');
    return 0;
  }
  cover_msgids(index);
  uint8_t group = tent[index].group;
  uint64_t h = msgid_hash(ref, group);
  auto same = [&](const msgid_slot& s) {
    return s.id_hash == h && holds_msgid(s.oldest, ref, group);
  };
  const msgid_slot* s = rix.by_msgid.old(h, same);
  if (s == nullptr) s = rix.by_msgid.young(h, same);
  return s != nullptr ? link_under(s->oldest, index) : 0;
}

void defer_links() {
  rix.deferring = true;
  rix.pending.clear();
  rix.refs.clear();
}

void link_deferred(int count) {
  if (!rix.deferring) return;
  rix.deferring = false;
  const std::vector<asked> pending = std::move(rix.pending);
  link_answers(pending, count);
  rix.refs = std::string();
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

std::vector<title_ent*> thread_of(title_ent* e) {
  std::vector<title_ent*> thread;
  if (e == nullptr || tent == nullptr) return thread;
  while (e->parent != nullptr) e = e->parent;
  // The replies are reached by their links, with a stack of the chains yet
  // to finish, as deep as a thread goes.
  std::vector<title_ent*> pending = {e};
  while (!pending.empty()) {
    title_ent* t = pending.back();
    pending.pop_back();
    thread.push_back(t);
    for (title_ent* c = t->child; c != nullptr; c = c->next) pending.push_back(c);
  }
  return thread;
}

}  // namespace dulk
