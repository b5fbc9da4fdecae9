// The memory of the title table and the thread-order array, and its growth.
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <new>

#include "dulk.h"

namespace dulk {

namespace {

// One array in memory that never moves: the address space for all it may
// become is reserved at once, and only the part in use is made readable
// and writable, so entries point at each other and the thread order points
// at them while the table grows.  Fresh pages read as zeros.
class fixed_place {
 public:
  // Reserves room for up to most bytes and makes the first usable ones
  // writable; false when the address space or the memory is not there.
  bool map(size_t most, size_t usable) {
    unmap();
    most = round_up(most);
    // Address space without access costs no memory; what is made writable
    // is counted against the system's memory as an allocation would be.
    void* p = ::mmap(nullptr, most, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    base_ = p;
    reserved_ = most;
    if (extend(usable)) return true;
    unmap();
    return false;
  }
  // Makes the first bytes writable; false beyond the reservation or when
  // the system commits no more memory.
  bool extend(size_t bytes) {
    bytes = round_up(bytes);
    if (bytes > reserved_) return false;
    if (bytes <= usable_) return true;
    char* from = static_cast<char*>(base_) + usable_;
    if (::mprotect(from, bytes - usable_, PROT_READ | PROT_WRITE) != 0) return false;
    usable_ = bytes;
    return true;
  }
  void unmap() {
    if (base_ != nullptr) ::munmap(base_, reserved_);
    base_ = nullptr;
    reserved_ = usable_ = 0;
  }
  void* base() const { return base_; }

 private:
  static size_t round_up(size_t n) {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    if (n == 0) n = 1;
    return n > SIZE_MAX - page ? SIZE_MAX / page * page : (n + page - 1) / page * page;
  }
  void* base_ = nullptr;
  size_t reserved_ = 0;
  size_t usable_ = 0;
};

fixed_place entries;
fixed_place order;
bool growing = false;
size_t most_reserved = 0;  // entries both reservations hold

// The most titles a growing table is given address space for: as many as
// the machine's memory could hold, since each takes an entry there.
size_t most_titles() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long page = ::sysconf(_SC_PAGESIZE);
  size_t n = pages > 0 && page > 0
                 ? static_cast<size_t>(pages) / sizeof(title_ent) * static_cast<size_t>(page)
                 : size_t{1} << 24;
  return n < static_cast<size_t>(INT_MAX) ? n : static_cast<size_t>(INT_MAX);
}

}  // namespace

void release_tables() {
  entries.unmap();
  order.unmap();
  tent = nullptr;
  tentp = nullptr;
  growing = false;
}

bool alloc_tables(bool grows) {
  release_tables();
  if (max_ent < 0) return false;
  const size_t n = static_cast<size_t>(max_ent);
  size_t most = grows ? most_titles() : n;
  if (most < n) most = n;
  if (most > SIZE_MAX / sizeof(title_ent)) return false;
  // Where less address space is to be had (a limit on it, a checker that
  // keeps its own) a growing table makes do with a smaller reservation.
  bool mapped = false;
  while (!mapped) {
    mapped = entries.map(most * sizeof(title_ent), n * sizeof(title_ent)) &&
             order.map(most * sizeof(title_ent*), n * sizeof(title_ent*));
    if (mapped || !grows || most / 2 < n) break;
    most /= 2;
  }
  // After a failure what did map stays, so that the message names it.
  tent = static_cast<title_ent*>(entries.base());
  tentp = static_cast<title_ent**>(order.base());
  growing = mapped && grows;
  most_reserved = mapped ? most : 0;
  return mapped;
}

bool grow_tables() {
  if (!growing) return false;
  size_t want = max_ent > 0 ? static_cast<size_t>(max_ent) * 2 : 1024;
  if (want > most_reserved) want = most_reserved;
  if (want <= static_cast<size_t>(max_ent) || !entries.extend(want * sizeof(title_ent)) ||
      !order.extend(want * sizeof(title_ent*))) {
    throw std::bad_alloc();
  }
  max_ent = static_cast<int>(want);
  return true;
}

}  // namespace dulk
