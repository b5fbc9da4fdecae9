// dulk_scandump [-f] LOG: scans LOG as the viewer does at start-up and
// prints, for the table it made, the number of titles and one digest each of
// the titles, the offsets, the kinds and flags, the numbers and groups, the
// parents and the thread order (with -f: every entry, one line each).  Built
// against two versions of the scanner, equal output means equal results.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dulk.h"

namespace {

struct digest {
  uint64_t h = 0xcbf29ce484222325ULL;
  void add(std::string_view bytes) {
    for (char c : bytes) {
      h ^= static_cast<unsigned char>(c);
      h *= 0x100000001b3ULL;
    }
    add_byte(0xff);  // a separator no field ends in
  }
  void add(long long v) { add(std::string_view(reinterpret_cast<const char*>(&v), sizeof v)); }
  void add_byte(unsigned char b) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
};

// The entry a link names, whether the table links by pointer or by index.
int index_of(const dulk::title_ent* p) {
  return p == nullptr ? -1 : static_cast<int>(p - dulk::tent);
}
template <class I>
int index_of(I i) requires std::is_integral_v<I> {
  return static_cast<int>(i) - 1;
}

template <class E>
const char* msgid_of(const E& e) {
  if constexpr (requires { e.msgid(); }) {
    return e.msgid();
  } else {
    return e.msgid;
  }
}

[[noreturn]] void throw_exit(int status) {
  throw std::runtime_error("scan ended with status " + std::to_string(status));
}

class discard_sink : public dulk::out_sink {
 public:
  void write(const char*, size_t) override {}
  void flush() override {}
};

}  // namespace

int main(int argc, char** argv) {
  bool full = argc == 3 && std::strcmp(argv[1], "-f") == 0;
  if (argc != 2 && !full) {
    std::fprintf(stderr, "usage: dulk_scandump [-f] LOG\n");
    return 2;
  }
  const char* path = argv[argc - 1];
  dulk::set_exit_hook(throw_exit);
  static discard_sink quiet;
  dulk::set_out_sink(&quiet);
  FILE* fp = std::fopen(path, "rb");
  if (fp == nullptr) {
    std::perror(path);
    return 1;
  }
  std::fseek(fp, 0, SEEK_END);
  long size = std::ftell(fp);
  std::fseek(fp, 0, SEEK_SET);
  dulk::reset_state();
  dulk::vf = 1;
  dulk::link = 1;
  dulk::max_ent = static_cast<int>(size / 64 + 1024);  // a title line is longer than 64 bytes
  if (!dulk::alloc_tables()) {
    std::fprintf(stderr, "dulk_scandump: no memory for %d titles\n", dulk::max_ent);
    return 1;
  }
  dulk::read_title(fp, dulk::tent, &dulk::ent_cnt);
  const int n = dulk::ent_cnt;
  std::vector<int> parent(static_cast<size_t>(n), -1);
  for (int i = 0; i < n; i++) {
    for (int c = index_of(dulk::tent[i].child); c >= 0; c = index_of(dulk::tent[c].next)) {
      parent[static_cast<size_t>(c)] = i;
    }
  }
  digest titles, offsets, kinds, numbers, parents, order;
  for (int i = 0; i < n; i++) {
    const dulk::title_ent& e = dulk::tent[i];
    const char* id = msgid_of(e);
    titles.add(e.title);
    titles.add(id != nullptr ? std::string_view(id) : std::string_view("\xfe"));
    offsets.add(e.offset);
    kinds.add(e.kind * 16 + e.msghead);
    numbers.add(static_cast<long long>(e.num) * 256 + e.group);
    parents.add(parent[static_cast<size_t>(i)]);
    order.add(static_cast<long long>(index_of(dulk::tentp[i])) * 256 + e.depth);
    if (full) {
      std::printf("%d %ld %d %d %d %d %d %d %d %s %s\n", i, e.offset, e.kind, e.msghead, e.num,
                  e.group, e.depth, parent[static_cast<size_t>(i)], index_of(dulk::tentp[i]),
                  id != nullptr ? id : "-", e.title);
    }
  }
  std::printf(
      "%d titles; titles %016llx offsets %016llx kinds %016llx numbers %016llx "
      "parents %016llx order %016llx\n",
      n, static_cast<unsigned long long>(titles.h), static_cast<unsigned long long>(offsets.h),
      static_cast<unsigned long long>(kinds.h), static_cast<unsigned long long>(numbers.h),
      static_cast<unsigned long long>(parents.h), static_cast<unsigned long long>(order.h));
  std::fclose(fp);
  return 0;
}
