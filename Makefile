# Two commands for a new user: `make run` and `make test`.
BUILD     ?= build
ASAN      ?= build-asan
FUZZ      ?= build-fuzz
FUZZ_TIME ?= 600
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX    ?= /usr/local
CMAKE_GEN := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

BUILD_PKGS := cmake make g++ pkg-config libncurses-dev libgtest-dev libgmock-dev
TEST_PKGS  := tmux less
BENCH_PKGS := libbenchmark-dev
# Generated logs are large: kept outside the tree and made once.
BENCH_DIR  ?= /tmp/dulk-bench
BENCH_RUNS ?= 7
# The revision whose scanner the differential check compares with.
BENCH_BASE ?= main
FUZZ_PKGS  := clang libclang-rt-14-dev
CHECK_PKGS := valgrind

.PHONY: all deps build asan fuzz-build fuzz valgrind run test bench install clean

all: build

deps:
	@sh tools/deps.sh $(BUILD_PKGS)

build: deps
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

asan: deps
	@[ -f $(ASAN)/CMakeCache.txt ] || cmake -S . -B $(ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DDULK_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)

# libFuzzer targets, built by clang in a directory of their own.
fuzz-build: deps
	@sh tools/deps.sh $(FUZZ_PKGS)
	@[ -f $(FUZZ)/CMakeCache.txt ] || CXX=clang++ cmake -S . -B $(FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDULK_FUZZ=ON
	cmake --build $(FUZZ) -j $(JOBS) --target fuzz_all

# Each fuzz target for FUZZ_TIME seconds: executions and coverage per target.
fuzz: fuzz-build
	sh tools/fuzz.sh $(FUZZ) $(FUZZ_TIME)

# The end-to-end scenarios with the program under valgrind's memcheck.
valgrind: build
	@sh tools/deps.sh $(CHECK_PKGS)
	sh tools/valgrind.sh $(BUILD)

# Opens the bundled sample log, in the terminal's charset as the locale
# names it (DULK_CHARSET overrides).
run: build
	exec $(BUILD)/dulk examples/sample.log

test: build asan
	@sh tools/deps.sh $(TEST_PKGS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory fuzz-build
	ctest --test-dir $(FUZZ) --output-on-failure -L fuzz

# Whole-program timings next to `wc -l` on generated logs of three shapes
# (100 MB and 1 GB each, made once), the table compared with BENCH_BASE's
# scanner on each, then the micro benchmarks of the painters and the read
# state.
bench: deps
	@sh tools/deps.sh $(BENCH_PKGS)
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target dulk dulk_loggen dulk_benchrun dulk_scandump dulk_bench
	@mkdir -p $(BENCH_DIR)
	sh tools/bench.sh $(BUILD) $(BENCH_DIR) $(BENCH_RUNS) $(BENCH_BASE)
	$(BUILD)/dulk_bench

install: build
	install -d $(DESTDIR)$(PREFIX)/bin
	install -m 755 $(BUILD)/dulk $(DESTDIR)$(PREFIX)/bin/dulk
	install -d $(DESTDIR)$(PREFIX)/share/man/man1
	install -m 644 dulk.1 $(DESTDIR)$(PREFIX)/share/man/man1/dulk.1

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ)
