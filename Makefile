# strmd: the commands an operator needs.
#   make run      installs what is missing, builds strmd and strmdctl, starts the demo database, strmd,
#                 a demo speaker on live channel 5 and the player page's web stand-in (web/ on
#                 127.0.0.1:19039, reached through strmd's port)
#                 (STRMD_PORT, default 1935: each port is a demo of its own; make stop-db takes it too)
#   make test     installs what is missing, builds (also under ASan/UBSan) and runs every test,
#                 then the concurrency subset under ThreadSanitizer
#   make install  builds strmd and strmdctl and installs them as a systemd service (PREFIX, DESTDIR)
#   make fuzz     fuzzes every parser for FUZZ_SECONDS each (default 300), one after the other
#   make tsan     runs the suites that use threads under ThreadSanitizer
#   make bench    strmd against nginx-rtmp under the same load, one table of both
#   make soak     a mixed load with hostile clients for SOAK_MINUTES (default 10) on the release
#                 build; fails on growing memory, leaked descriptors or threads, failed clients
#                 or a lost recording (not part of make test)
JOBS ?= $(shell nproc)
# ctest jobs of the ASan/UBSan suite in make test: most of its tests wait on
# timers and sockets rather than the processor, so it runs twice as many as
# there are cores. Tests that need the default web port take turns whatever
# this is.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
SOAK_MINUTES ?= 10
# Every fuzz/fuzz_<name>.cpp but the seed generator is a target.
FUZZ_TARGETS = $(filter-out seeds,$(patsubst fuzz/fuzz_%.cpp,%,$(wildcard fuzz/fuzz_*.cpp)))
# The suites whose code runs on more than one thread: the socket queue, the
# connection loop with writers on other threads, playback, chat, the
# database pool, the debug monitor, recording, the live relay and the event
# loop and the send loops.
TSAN_TESTS ?= rtmp_socket_test connection_io_test connection_test playback_dbtest chat_dbtest \
  chat_load_dbtest dbpool_dbtest debug_monitor_test recording_dbtest live_channel_test live_channel_dbtest job_pool_test slow_database_dbtest event_loop_test send_loop_test
TSAN_FILTER ?= 'EventLoop|JobPool|SlowDatabase|SocketBuffer|ConnectionIo|ConnectionTest|ServerInputBound|Playback|Chat|DbPool|Debug|Recording\.|LiveChannel|SendLoop|Voice|testdb'
# The part of it that make test runs: connection I/O, contention (a chat
# member that stops reading, one re-entering with a full queue, many entering
# a room at once), chat, the live relay, the database pool, the job pool and a
# connection whose statements wait on the pool. The two-minute
# churn of fifty members is left to make tsan. Only these targets and strmd
# are built.
TSAN_TEST_SUBSET ?= rtmp_socket_test connection_io_test chat_dbtest chat_load_dbtest dbpool_dbtest \
  live_channel_test live_channel_dbtest job_pool_test slow_database_dbtest event_loop_test send_loop_test
TSAN_TEST_FILTER ?= 'EventLoop|JobPool|SlowDatabase|SocketBuffer|ConnectionIo|ChatTest|ChatLoad\.(Member|Room)|DbPool|LiveChannel|SendLoop|Voice|testdb'

PREFIX ?= /usr/local
BINDIR ?= $(PREFIX)/bin
UNITDIR ?= $(PREFIX)/lib/systemd/system
SYSUSERSDIR ?= $(PREFIX)/lib/sysusers.d
SYSCONFDIR ?= /etc
SITEDIR ?= /srv/kestravon
DESTDIR ?=

.PHONY: all deps build build-asan build-fuzz programs test tsan tsan-build tsan-run fuzz run stop-db install install-files clean bench bench-quick soak

all: build

deps:
	@scripts/install-deps.sh && scripts/install-web.sh && echo "dependencies: installed"

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSTRMD_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)

# Only the programs (strmd, strmdctl, the demo speaker), not the test suites;
# the compiler's output goes to $(BUILD)/programs.log and is shown only when
# the build fails.
programs: deps
	@mkdir -p $(BUILD)
	@echo "build: strmd, strmdctl and the demo speaker in $(BUILD)/ (log $(BUILD)/programs.log)"
	@{ cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	   cmake --build $(BUILD) -j$(JOBS) --target strmd strmdctl strmd-demo-speaker; } >$(BUILD)/programs.log 2>&1 || \
	 { tail -n 40 $(BUILD)/programs.log; echo "build failed: see $(BUILD)/programs.log"; exit 1; }

# The fuzz targets build with clang in a tree of their own.
build-fuzz: deps
	@CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTRMD_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS)

# The whole suite runs against the sanitizer build, which also builds with
# every warning as an error; the release build of the programs must compile too. The fuzz
# build then replays every seed and saved crash input and fuzzes each target
# for 10 s. Last, the concurrency subset runs under ThreadSanitizer (see tsan):
# any report fails, a timing bound missed under its slowdown does not.
# The sanitizer suite mostly waits on timers and sockets, so the fuzz and
# ThreadSanitizer builds are made beside it; their output goes to
# $(FUZZ_BUILD)/build.log and $(TSAN_BUILD)/build.log and is shown only when
# they fail.
test: programs build-asan
	@mkdir -p $(FUZZ_BUILD) $(TSAN_BUILD)
	@echo "test: the fuzz and ThreadSanitizer builds run beside the suite (logs $(FUZZ_BUILD)/build.log, $(TSAN_BUILD)/build.log)"
	@{ { $(MAKE) --no-print-directory build-fuzz >$(FUZZ_BUILD)/build.log 2>&1 && \
	     $(MAKE) --no-print-directory tsan-build TSAN_TESTS="$(TSAN_TEST_SUBSET)" >$(TSAN_BUILD)/build.log 2>&1; }; \
	   echo $$? >$(TSAN_BUILD)/side-builds.status; } & side=$$!; \
	 cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(TEST_JOBS) --timeout 600; status=$$?; \
	 wait $$side; exit $$status
	@if [ "$$(cat $(TSAN_BUILD)/side-builds.status)" != 0 ]; then \
	  tail -n 40 $(FUZZ_BUILD)/build.log; tail -n 40 $(TSAN_BUILD)/build.log; \
	  echo "test: the fuzz or ThreadSanitizer build failed (see the logs above)"; exit 1; fi
	@cd $(FUZZ_BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600
	@$(MAKE) --no-print-directory tsan-run TSAN_FILTER="$(TSAN_TEST_FILTER)"

# What a run finds is kept in fuzz/crashes/<target>/ (commit it: it becomes a
# regression input); the grown corpus stays in $(FUZZ_BUILD)/corpus/.
fuzz: build-fuzz
	@$(FUZZ_BUILD)/fuzz/fuzz_seeds $(FUZZ_BUILD)/seeds
	@status=0; for t in $(FUZZ_TARGETS); do \
	  fuzz/run.sh keep $(FUZZ_BUILD) $$t $(FUZZ_SECONDS) || status=1; done; exit $$status

# ThreadSanitizer over the suites that use threads, the real binary included.
# Every process writes its reports under $(TSAN_BUILD)/tsan-reports; any
# report fails the target. Tests that time their work may miss their bounds
# under the sanitizer's slowdown: they are listed, but only races fail.
tsan: tsan-build tsan-run

tsan-build: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSTRMD_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target strmd strmdctl $(TSAN_TESTS)

tsan-run:
	@rm -rf $(TSAN_BUILD)/tsan-reports && mkdir -p $(TSAN_BUILD)/tsan-reports
	@echo "tsan: running the suites (log $(TSAN_BUILD)/tsan-ctest.log)"
	@cd $(TSAN_BUILD) && TSAN_OPTIONS="log_path=$(CURDIR)/$(TSAN_BUILD)/tsan-reports/report second_deadlock_stack=1" \
	  ctest --output-on-failure -j$(JOBS) --timeout 600 -R $(TSAN_FILTER) -E DebugShared >tsan-ctest.log 2>&1 || \
	  { echo "tsan: these tests missed their bounds under the sanitizer's slowdown (not a failure):"; \
	    sed -n '/tests FAILED:/,$$p' tsan-ctest.log | grep -E '^[[:space:]]+[0-9]+ - ' || true; }
	@if ls $(TSAN_BUILD)/tsan-reports/report* >/dev/null 2>&1; then \
	  echo "ThreadSanitizer reports:"; head -n 60 $(TSAN_BUILD)/tsan-reports/report*; exit 1; \
	else echo "tsan: no reports"; fi


# strmd against nginx-rtmp in one run, one table of both (about half an hour;
# bench-quick takes about two minutes). Results under var/bench.
bench: build
	@scripts/install-bench-deps.sh
	@bench/run-bench.sh full $(BUILD)

bench-quick: build
	@scripts/install-bench-deps.sh
	@bench/run-bench.sh quick $(BUILD)

# The release binary under a mixed load and a private database; results
# under var/soak.
soak: programs
	@cmake --build $(BUILD) -j$(JOBS) --target strmd-bench >$(BUILD)/soak-build.log 2>&1 || \
	 { tail -n 40 $(BUILD)/soak-build.log; exit 1; }
	@SOAK_MINUTES=$(SOAK_MINUTES) bench/soak.sh $(BUILD)

run: programs
	@scripts/run-demo.sh $(BUILD)

# The demo database of STRMD_PORT's demo (see scripts/run-demo.sh).
STRMD_PORT ?= 1935
stop-db:
	@scripts/testdb.sh stop $(if $(filter 1935,$(STRMD_PORT)),var,var/port-$(STRMD_PORT))/db

install: programs install-files

# The files of an installation, from programs already built in $(BUILD). The
# registry file is made from the example only when there is none; without
# DESTDIR the system user is created and the site folders given to it.
install-files:
	install -D -m 0755 $(BUILD)/strmd $(DESTDIR)$(BINDIR)/strmd
	install -D -m 0755 $(BUILD)/strmdctl $(DESTDIR)$(BINDIR)/strmdctl
	install -d $(DESTDIR)$(UNITDIR)
	sed -e 's|/usr/local/bin/|$(BINDIR)/|g' -e 's|/etc/kestravon/|$(SYSCONFDIR)/kestravon/|g' \
	    -e 's|/srv/kestravon|$(SITEDIR)|g' scripts/systemd/strmd.service >$(DESTDIR)$(UNITDIR)/strmd.service
	chmod 0644 $(DESTDIR)$(UNITDIR)/strmd.service
	install -d $(DESTDIR)$(SYSUSERSDIR)
	sed -e 's|/srv/kestravon|$(SITEDIR)|g' scripts/systemd/strmd.sysusers >$(DESTDIR)$(SYSUSERSDIR)/strmd.conf
	chmod 0644 $(DESTDIR)$(SYSUSERSDIR)/strmd.conf
	install -d $(DESTDIR)$(SYSCONFDIR)/kestravon
	sed -e 's|/srv/kestravon|$(SITEDIR)|g' scripts/strmd.reg.example >$(DESTDIR)$(SYSCONFDIR)/kestravon/strmd.reg.example
	chmod 0644 $(DESTDIR)$(SYSCONFDIR)/kestravon/strmd.reg.example
	@[ -e $(DESTDIR)$(SYSCONFDIR)/kestravon/strmd.reg ] || \
	  install -m 0640 $(DESTDIR)$(SYSCONFDIR)/kestravon/strmd.reg.example $(DESTDIR)$(SYSCONFDIR)/kestravon/strmd.reg
	install -d $(DESTDIR)$(SITEDIR)/sites/default/temp $(DESTDIR)$(SITEDIR)/sites/default/htdocs \
	  $(DESTDIR)$(SITEDIR)/sites/default/files $(DESTDIR)$(SITEDIR)/sites/default/cache
	@if [ -z "$(DESTDIR)" ]; then \
	  { getent passwd strmd >/dev/null || systemd-sysusers $(SYSUSERSDIR)/strmd.conf || \
	    useradd --system --user-group --home-dir $(SITEDIR) --shell /usr/sbin/nologin strmd; } && \
	  chgrp strmd $(SYSCONFDIR)/kestravon/strmd.reg && \
	  chown -R strmd:strmd $(SITEDIR)/sites && \
	  { systemctl daemon-reload 2>/dev/null || true; }; \
	fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
