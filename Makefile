# The two set-up commands are `make run` and `make test`; everything else here serves them.
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
PACKAGE_BUILD ?= build-deb
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
FUZZ_BRIEF_SECONDS ?= 10
CMAKE_COMMON := -G Ninja -DCORVANE_WERROR=ON

# What make run builds: the deliverables and their tools, not the tests or benchmarks.
RUN_TARGETS := HarkwellServer harkwellctl hkreg hkregsvr HarkwellPack1

.PHONY: all deps deps-run build build-run run deb test test-unit test-asan test-tsan bench bench-memory fuzz fuzz-brief format clean

all: build

deps:
	@bash scripts/install-deps.sh test
	@bash scripts/install-test-tools.sh

deps-run:
	@bash scripts/install-deps.sh run

# A tree made by make run has neither tests nor benchmarks (their libraries need not be installed);
# make build turns them on in the same tree, which keeps what was built.
$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF

build: deps $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) -DCORVANE_TESTS=ON -DCORVANE_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

build-run: deps-run $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)

# Registers the plug-in library and the server, then runs the server in the foreground on the default
# store until Ctrl-C; where the session has no bus, on a private bus for the run (scripts/run-server.sh).
run: build-run
	exec bash scripts/run-server.sh $(BUILD)

# The Debian package, built in a tree of its own for /usr: $(PACKAGE_BUILD)/corvane-harkwell_*.deb, then
# checked by lintian (which fails the target on an error).
deb:
	@bash scripts/install-deps.sh package
	cmake -S . -B $(PACKAGE_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=OFF \
	  -DCORVANE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target $(RUN_TARGETS) man_pages package_documents
	cd $(PACKAGE_BUILD) && cpack -G DEB
	lintian --fail-on error $(PACKAGE_BUILD)/corvane-harkwell_*.deb

test: build
	$(MAKE) --no-print-directory test-unit
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-tsan
	$(MAKE) --no-print-directory fuzz-brief

test-unit:
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300

# The unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, in a tree of their own.
test-asan: deps
	@[ -f $(ASAN_BUILD)/build.ninja ] || cmake -S . -B $(ASAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCORVANE_SANITIZE=address,undefined -DCORVANE_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) --timeout 600 -LE nosanitize

test-tsan: deps
	@[ -f $(TSAN_BUILD)/build.ninja ] || cmake -S . -B $(TSAN_BUILD) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug \
	  -DCORVANE_SANITIZE=thread -DCORVANE_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) --timeout 600 -L threads

bench: build
	@for b in $(BUILD)/bin/*_bench; do echo "== $$b"; $$b || exit 1; done

# The idle server's resident memory watching 100 loopback hosts, beside monit watching the same (root).
bench-memory: build
	bash bench/server_memory.sh $(BUILD)

$(FUZZ_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF

# Each fuzz target runs for FUZZ_SECONDS from its seed corpus in fuzz/corpus/<target>; a target that finds
# a crash fails the run (pipefail: the exit status is the fuzzer's, not that of the tail showing its end).
fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@set -o pipefail; for f in $(FUZZ_BUILD)/bin/*_fuzz; do n=$$(basename $$f); mkdir -p $(FUZZ_BUILD)/corpus/$$n; \
	  echo "== $$n ($(FUZZ_SECONDS) s)"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(FUZZ_BUILD)/corpus/$$n fuzz/corpus/$$n 2>&1 | tail -n 3 \
	  || exit 1; done

fuzz-brief:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_BRIEF_SECONDS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
