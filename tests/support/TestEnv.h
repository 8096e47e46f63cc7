// Paths and helpers that every test shares: where the built binary and the
// source tree are, and scratch folders that are removed afterwards.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// A test that sets one of the server's fault hooks (STRMD_TEST_*,
// STRMD_DEBUG_FAKE_CPU) in its environment needs a build that reads them:
// without STRMD_TEST_HOOKS (a release build) it is skipped.
#ifdef STRMD_TEST_HOOKS
#define SKIP_WITHOUT_TEST_HOOKS() static_cast<void>(0)
#else
#define SKIP_WITHOUT_TEST_HOOKS() GTEST_SKIP() << "built without STRMD_TEST_HOOKS"
#endif

std::string TestBinaryPath();      // the strmd executable under test
std::string TestSourceDir();       // the source tree
std::string TestTempDir(const char* tag);  // a fresh empty folder under /tmp

// Waits up to timeoutMs for child `pid` to end; its wait status in *status.
bool WaitChild(pid_t pid, int timeoutMs, int* status);

// Starts `gst-launch-1.0 -e args...` with its output appended to `log`.
pid_t LaunchGst(const std::vector<std::string>& args, const std::string& log);

// The names in a folder, sorted, without dot entries and the server's "logs"
// folder.
std::vector<std::string> TestListing(const std::string& dir);

// Checks `done` every 20 ms until it holds or timeoutMs have passed; whether
// it held.
template <typename Done>
bool TestWaitUntil(Done done, int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
