// Micro benchmarks: what one key costs on tables of different sizes (a
// cursor move, a page repaint, the first switch to link mode, the keys of a
// long list), storing and loading a million read flags, and the scan of a
// generated log.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dulk.h"
#include "loggen.h"
#include "support.h"

namespace {

// A table of n forum titles; about half are replies, in chains at most 100
// deep, linked the way the scanner links them.
void make_table(int n) {
  dulk::reset_state();
  dulk::max_ent = n;
  dulk::alloc_tables();
  dulk::env_x = 80;
  dulk::env_y = 20;
  dulk::log_path = "bench.log";
  uint64_t seed = 12345;
  auto rnd = [&seed](int below) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((seed >> 33) % static_cast<uint64_t>(below));
  };
  std::vector<int> level(static_cast<size_t>(n), 0);
  std::vector<dulk::title_ent*> last_child(static_cast<size_t>(n), nullptr);
  char text[96];
  for (int i = 0; i < n; i++) {
    dulk::title_ent& e = dulk::tent[i];
    std::snprintf(text, sizeof text,
                  "%05d/%05d TAROU    \x83\x70\x83\x5c\x83\x52\x83\x93\x92\xca\x90\x4d %d",
                  i % 99999, i % 99999 + 3, i);  // パソコン通信
    e.title = dulk::title_store(text, 10);
    e.num = i % 99999;
    e.msghead = 1;
    e.offset = static_cast<long>(i) * 400;
    e.readed = static_cast<int8_t>(rnd(2));
    if (i > 0 && rnd(2) == 0) {
      int p = rnd(4) == 0 ? i - 1 : i - 1 - rnd(std::min(i, 500));
      if (level[static_cast<size_t>(p)] < 100) {
        dulk::title_ent& parent = dulk::tent[p];
        if (parent.child == nullptr) {
          parent.child = &e;
        } else {
          last_child[static_cast<size_t>(p)]->next = &e;
        }
        last_child[static_cast<size_t>(p)] = &e;
        level[static_cast<size_t>(i)] = level[static_cast<size_t>(p)] + 1;
        e.depth = 1;
      }
    }
  }
  dulk::ent_cnt = n;
}

void BM_cursor_move(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  make_table(n);
  dulk_test::collect_sink sink(false);
  dulk::out_sink* old = dulk::set_out_sink(&sink);
  int pos = n / 2;
  for (auto _ : state) {
    dulk::tdisp(pos, 3, 0);
    dulk::tdisp(pos + 1, 4, 1);
  }
  dulk::set_out_sink(old);
  state.counters["bytes/move"] =
      static_cast<double>(sink.written) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_cursor_move)->Arg(10)->Arg(1000000);

void BM_page_repaint(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  make_table(n);
  dulk_test::collect_sink sink(false);
  dulk::out_sink* old = dulk::set_out_sink(&sink);
  for (auto _ : state) {
    dulk::disp_one_pg(dulk::tent, n / 2, n, dulk::env_y, dulk::log_path.c_str());
  }
  dulk::set_out_sink(old);
}
BENCHMARK(BM_page_repaint)->Arg(10)->Arg(1000000);

// The first switch to link mode: the thread order built from scratch.
void BM_make_tentp(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  make_table(n);
  for (auto _ : state) {
    dulk::tentp[0] = nullptr;
    dulk::make_tentp();
    benchmark::DoNotOptimize(dulk::tentp[n - 1]);
  }
}
BENCHMARK(BM_make_tentp)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The keys of a long list on a table the size of the 1 GB generated log's:
// = counts the unread titles and M marks every one read, each by one walk
// over the table; a count and g goes to a title far away.
constexpr int kBigTable = 2353042;

void BM_count_unread(benchmark::State& state) {
  make_table(kBigTable);
  for (auto _ : state) benchmark::DoNotOptimize(dulk::count_unread());
}
BENCHMARK(BM_count_unread)->Unit(benchmark::kMillisecond);

void BM_mark_all_read(benchmark::State& state) {
  make_table(kBigTable);
  for (auto _ : state) {
    state.PauseTiming();  // every title unread again, as in a log not read yet
    for (int i = 0; i < kBigTable; i++) dulk::tent[i].readed = 0;
    state.ResumeTiming();
    dulk::mark_all_read();
    int8_t last = dulk::tent[kBigTable - 1].readed;
    benchmark::DoNotOptimize(last);
  }
}
BENCHMARK(BM_mark_all_read)->Unit(benchmark::kMillisecond);

void BM_count_go_to(benchmark::State& state) {
  make_table(kBigTable);
  dulk_test::collect_sink sink(false);
  dulk::out_sink* old = dulk::set_out_sink(&sink);
  dulk::cursor at;
  for (auto _ : state) {
    for (char c : std::string("2000000g")) dulk::count_key(at, c, dulk::decode_key(c));
    dulk::move_command(at, dulk::key_action::last);
  }
  dulk::set_out_sink(old);
}
BENCHMARK(BM_count_go_to)->Unit(benchmark::kMicrosecond);

// Storing and loading the read flags of a million titles, in a directory of
// its own (the read-state file lives in the current directory).
void BM_save_set_readed(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  make_table(n);
  char dir[] = "/tmp/dulk-micro-XXXXXX";
  if (::mkdtemp(dir) == nullptr || ::chdir(dir) != 0) {
    state.SkipWithError("no temporary directory");
    return;
  }
  for (auto _ : state) {
    dulk::save_readed(dulk::tent, dulk::log_path.c_str(), n);
    dulk::set_readed(dulk::tent, dulk::log_path.c_str());
  }
  std::remove(dulk::kReadedFile);
  if (::chdir("/") != 0 || ::rmdir(dir) != 0) state.SkipWithError("temporary directory left");
}
BENCHMARK(BM_save_set_readed)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The scan of a generated log of about 10 MB, held in the page cache.
void BM_read_title(benchmark::State& state) {
  FILE* log = std::tmpfile();
  dulk_bench::loggen_stats st = dulk_bench::generate_log(log, 7, 10u << 20);
  std::fflush(log);
  int count = 0;
  for (auto _ : state) {
    dulk::reset_state();
    dulk::vf = 1;
    dulk::max_ent = static_cast<int>(st.title_lines) + 16;
    dulk::alloc_tables();
    dulk::read_title(log, dulk::tent, &count);
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * st.bytes));
  state.counters["titles"] = count;
  std::fclose(log);
}
BENCHMARK(BM_read_title)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
