// Repairing and checking FLV files on disk: a recording that was never closed
// (the server was killed, the machine lost power) is made whole again, and
// any FLV can be validated tag by tag.
//
// Used at start-up by the recording recovery (before any connection runs) and
// by `strmdctl repair` / `strmdctl check`. Works on one file at a time, takes
// no lock; the caller must make sure nobody writes the file meanwhile.
#pragma once

#include <cstdint>
#include <string>

struct FlvRepairResult {
  bool repaired = false;       // the file was changed (it was not a closed FLV)
  uint32_t tags = 0;           // tag records kept
  uint32_t audioTags = 0;
  uint32_t videoTags = 0;
  uint32_t lastTimestamp = 0;  // largest timestamp kept, ms
  uint64_t bytesDropped = 0;   // a cut-short last tag and anything after it
  uint8_t flags = 0;           // header flags written (4 audio | 1 video)
  std::string error;           // why the file could not be repaired
};

// True when the file starts with a zero header (a recording in progress or
// cut off before its close wrote the header).
bool FlvHasZeroHeader(const char* path);

// Makes the file a closed FLV in place: tags are kept up to the first one that
// is cut short or unreadable (that one and what follows are dropped), every
// back pointer is set to what precedes it, the final back pointer is written
// and the header gets "FLV", version 1, flags from the tags found, size 9.
// A file that already is a closed FLV is left untouched (repaired = false).
// The file must start with "FLV" or with 9 zero bytes (or be shorter than a
// header and all zero); anything else is refused. The result is flushed to
// disk before returning. False with `error` set when the file was refused or
// could not be read or written.
bool FlvRepair(const char* path, FlvRepairResult* result);

struct FlvCheckResult {
  uint32_t tags = 0;
  uint32_t audioTags = 0;
  uint32_t videoTags = 0;
  uint32_t lastTimestamp = 0;
  uint64_t faultOffset = 0;  // where the first fault lies
  std::string fault;         // empty when the file is sound
};

// Validates the header (signature, version 1, size 9), every back pointer
// (the first 0, each later one the data size + 11 of the tag before it, the
// final one included), every tag's type (8, 9 or 18) and size (inside the
// file), and that audio and video timestamps never go back within their
// track. Stops at the first fault: false, with the fault and its offset.
bool FlvCheck(const char* path, FlvCheckResult* result);
