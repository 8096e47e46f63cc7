// Shared by the fuzz targets: a check that stops the run with its condition,
// and a scratch folder of the process for targets that read files.
//
// Each target is single-threaded; libFuzzer calls it over and over in one
// process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// A property of the code under test that did not hold: abort, so that
// libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "FUZZ_CHECK(%s) failed at %s:%d\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

// A path in a folder of this process (on /dev/shm when it exists, so the
// file targets do not wear a disk), made on first use.
std::string FuzzScratchPath(const char* name);

// Writes the bytes as the whole file; false when it could not.
bool FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size);

struct RtmpPacket;

// The next command of an input made of records: a byte that picks one of
// `count` names (its value modulo count), a big-endian 16-bit length and
// that many argument bytes (cut at the input's end). Puts the name,
// transaction id 9, a null and the argument bytes into `packet` as an AMF0
// command message and moves *at past the record. Returns the pick, or -1
// when fewer than three bytes are left.
int FuzzNextCommand(const uint8_t* data, size_t size, size_t* at, const char* const* names, size_t count,
                    RtmpPacket* packet);

// Splits the input at NUL bytes into at most `parts` texts (the last takes the
// rest, NULs cut out); missing parts are empty.
std::vector<std::string> FuzzSplit(const uint8_t* data, size_t size, size_t parts);
