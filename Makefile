# strmd: the two commands an operator needs.
#   make run   installs what is missing, builds, starts the demo database and strmd
#   make test  installs what is missing, builds (also under ASan/UBSan) and runs every test
#   make bench strmd against nginx-rtmp under the same load, one table of both
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all deps build build-asan test run stop-db clean bench bench-quick

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSTRMD_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)

# The whole suite runs against the sanitizer build, which also builds with
# every warning as an error; the release build must compile too.
test: build build-asan
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 600

# strmd against nginx-rtmp in one run, one table of both (about half an hour;
# bench-quick takes about a minute). Results under var/bench.
bench: build
	@scripts/install-bench-deps.sh
	@bench/run-bench.sh full $(BUILD)

bench-quick: build
	@scripts/install-bench-deps.sh
	@bench/run-bench.sh quick $(BUILD)

run: build
	@scripts/run-demo.sh $(BUILD)

stop-db:
	@scripts/testdb.sh stop var/db

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
