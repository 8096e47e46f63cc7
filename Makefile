# strmd: the two commands an operator needs.
#   make run   installs what is missing, builds, starts the demo database and strmd
#   make test  installs what is missing, builds (also under ASan/UBSan) and runs every test
#   make fuzz  fuzzes every parser for FUZZ_SECONDS each (default 300), one after the other
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
# Every fuzz/fuzz_<name>.cpp but the seed generator is a target.
FUZZ_TARGETS = $(filter-out seeds,$(patsubst fuzz/fuzz_%.cpp,%,$(wildcard fuzz/fuzz_*.cpp)))

.PHONY: all deps build build-asan build-fuzz test fuzz run stop-db clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSTRMD_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)

# The fuzz targets build with clang in a tree of their own.
build-fuzz: deps
	@CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRMD_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS)

# The whole suite runs against the sanitizer build, which also builds with
# every warning as an error; the release build must compile too. The fuzz
# build then replays every seed and saved crash input and fuzzes each target
# for 10 s.
test: build build-asan build-fuzz
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 600
	@cd $(FUZZ_BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

# What a run finds is kept in fuzz/crashes/<target>/ (commit it: it becomes a
# regression input); the grown corpus stays in $(FUZZ_BUILD)/corpus/.
fuzz: build-fuzz
	@$(FUZZ_BUILD)/fuzz/fuzz_seeds $(FUZZ_BUILD)/seeds
	@status=0; for t in $(FUZZ_TARGETS); do \
	  fuzz/run.sh keep $(FUZZ_BUILD) $$t $(FUZZ_SECONDS) || status=1; done; exit $$status

run: build
	@scripts/run-demo.sh $(BUILD)

stop-db:
	@scripts/testdb.sh stop var/db

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
