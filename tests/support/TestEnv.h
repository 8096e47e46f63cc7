// Paths and helpers that every test shares: where the built binary and the
// source tree are, and scratch folders that are removed afterwards.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

std::string TestBinaryPath();      // the strmd executable under test
std::string TestSourceDir();       // the source tree
std::string TestTempDir(const char* tag);  // a fresh empty folder under /tmp

// Waits up to timeoutMs for child `pid` to end; its wait status in *status.
bool WaitChild(pid_t pid, int timeoutMs, int* status);

// Starts `gst-launch-1.0 -e args...` with its output appended to `log`.
pid_t LaunchGst(const std::vector<std::string>& args, const std::string& log);
