# Two commands matter: `make demo` runs the main job against the stand-in
# handset, `make test` builds everything and passes every test.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
# Seconds each fuzz target runs in `make fuzz`.
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
# Protocol tests mostly wait on pseudo-terminals, so run more than one per core.
TEST_JOBS  ?= $(shell echo $$(( $(JOBS) * 3 )))
CMAKE_ARGS ?=

.PHONY: all deps build test test-asan test-tsan test-clone soak fuzz demo bench windows test-wine clean

all: build

# Installs what this machine lacks (tools/install-deps.sh); the demo needs
# more than the build and the tests.
DEPS_FOR = build
test: DEPS_FOR = test
demo: DEPS_FOR = demo
fuzz: DEPS_FOR = fuzz
test-wine: DEPS_FOR = wine
deps:
	@tools/install-deps.sh $(DEPS_FOR)

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Tests labelled so run only when asked for: fresh-clone (make test-clone).
TEST_EXCLUDE ?= fresh-clone

# Ends with one line naming the tests that were skipped and why.
test: deps build
	@status=0; \
	echo "ctest --test-dir $(BUILD) -j $(TEST_JOBS) -LE '$(TEST_EXCLUDE)' --output-on-failure"; \
	ctest --test-dir $(BUILD) -j $(TEST_JOBS) -LE '$(TEST_EXCLUDE)' --output-on-failure || status=$$?; \
	tools/report-skipped.sh $(BUILD); exit $$status

# The README's two commands in a fresh clone of the committed tree: a whole
# second build, so CI runs it as a step of its own.
test-clone: $(BUILD)/CMakeCache.txt
	ctest --test-dir $(BUILD) -L fresh-clone --output-on-failure

# Sanitizer builds skip the optimiser: they build faster and report more exactly.
$(BUILD_ASAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DFLASHDLL_SANITIZE=address,undefined $(CMAKE_ARGS)

# Any sanitizer report fails the test that produced it.
test-asan: $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(BUILD_ASAN) -j $(TEST_JOBS) --output-on-failure

# Whole jobs through a line that loses and flips bytes, with a 1 MiB image
# (`make test` runs them with a short one).
SOAK_KIB ?= 1024
soak: build
	FLASHDLL_SOAK_KIB=$(SOAK_KIB) ctest --test-dir $(BUILD) -L soak -j $(TEST_JOBS) --output-on-failure

$(BUILD_TSAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DFLASHDLL_SANITIZE=thread $(CMAKE_ARGS)

# The queue and the load threads under ThreadSanitizer.
test-tsan: $(BUILD_TSAN)/CMakeCache.txt
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target thread_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(BUILD_TSAN) -L threads -j $(TEST_JOBS) --output-on-failure

# The fuzz targets (clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), each run for FUZZ_SECONDS on a copy of its seed
# corpus; fails on the first finding, whose input is kept in $(BUILD_FUZZ)/findings/.
$(BUILD_FUZZ)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHDLL_FUZZ=ON $(CMAKE_ARGS)

fuzz: deps $(BUILD_FUZZ)/CMakeCache.txt
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_targets
	fuzz/run.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# Flash, verify, reflash in difference mode, read back and write files into
# the stand-in handset; prints a summary and fails when anything differs.
demo: deps build
	tools/demo/run_demo.sh $(BUILD)

# Benchmarks build only their own targets and never run as tests.
# Speed figures: S-record reading and writing against other tools, chip
# lookups in a large catalogue, the stand-in handset's round trips, and the
# library against the paced line (bench/results/wire.json; several minutes).
bench: $(BUILD)/CMakeCache.txt
	bench/srec.sh $(BUILD)
	cmake --build $(BUILD) -j $(JOBS) --target ini_lookup bench_handsetsim bench_wire
	$(BUILD)/bench/ini_lookup
	$(BUILD)/bench/bench_handsetsim
	$(BUILD)/bench/bench_wire

# Cross-builds flashdll.dll (with flashdll.lib), flashcli.exe, the unit tests
# that need no pseudo-terminal and the C host as Windows programs with MinGW-w64
# (packages g++-mingw-w64-i686-posix for 32-bit, g++-mingw-w64-x86-64-posix
# for 64-bit) into build-win-ARCH: WINDOWS_ARCHS=i686 or x86_64 or both.
WINDOWS_ARCHS ?= i686 x86_64
windows:
	@for arch in $(WINDOWS_ARCHS); do \
	  cmake -S . -B build-win-$$arch -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DMINGW_ARCH=$$arch \
	    -DCMAKE_BUILD_TYPE=Release -DFLASHDLL_NATIVE_BUILD=$(abspath $(BUILD)) && \
	  cmake --build build-win-$$arch -j $(JOBS) --target flashdll flashcli windows_tests || exit 1; \
	done

# Both DLLs' exports, then the 64-bit programs under wine64 (package wine64):
# the unit tests, the C host, the serial device and whole jobs of flashcli.exe
# through COM ports that lead to native stand-in handsets (tests/windows/wine_jobs.sh).
test-wine: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target handsetsim flashcli
	$(MAKE) windows WINDOWS_ARCHS="i686 x86_64"
	ctest --test-dir build-win-i686 --output-on-failure
	ctest --test-dir build-win-x86_64 -j $(TEST_JOBS) --output-on-failure

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ) build-win-*
