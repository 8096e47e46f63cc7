// The media file store: FLV tag headers, the ".index2" index (building,
// loading, searching, cutting into segments), the two editing operations that
// place a recording into an earlier one, and the naming rules of recordings,
// indexes and media objects.
//
// Everything here runs on the thread of the connection that opens, plays or
// closes the file, and takes no lock. Failures are reported where they happen
// and returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "media/Flv.h"
#include "config/ServerConfig.h"
#include "util/file.h"

// One tag record header as read or written.
struct FlvTagHeader {
  uint32_t backPointer = 0;
  uint8_t type = 0;
  uint32_t dataSize = 0;   // 24 bits in the file
  uint32_t timestamp = 0;  // 24 bits with the high byte above them
  uint32_t streamId = 0;   // 24 bits in the file
};

// One index entry in memory. `size` is only the low 16 bits of the data size;
// `offset` is where the tag record (its back pointer) starts.
struct IndexEntry {
  uint16_t type = 0;
  uint16_t size = 0;
  uint32_t timestamp = 0;
  uint64_t offset = 0;
};

struct Segment {
  int64_t start = 0;
  int64_t end = 0;
};

// Reads the back pointer and, unless the file ends right after it, the 11
// header bytes. False at the clean end of the file (the final back pointer was
// just consumed) and on any failed read. On success the file stands at the
// first data byte. The data size is not checked against the file: use
// TagDataFits before reading or allocating by it.
bool ReadTagHeader(File* file, FlvTagHeader* header);
// The 15 header bytes as the file holds them, and back.
void DecodeTagHeader(const uint8_t bytes[kFlvTagHeaderSize], FlvTagHeader* header);
void EncodeTagHeader(const FlvTagHeader& header, uint8_t out[kFlvTagHeaderSize]);
// Writes the 15 header bytes in one write.
bool WriteTagHeader(File* file, const FlvTagHeader& header);
// True when the data of the tag whose header was just read lies inside the
// file (the size was taken at open). A corrupt size claiming more is refused
// here instead of sizing a read or a buffer.
bool TagDataFits(const File& file, const FlvTagHeader& header);

// Timestamp of the last tag, found through the final back pointer; 0 (with a
// report) when the back pointer does not lead to a tag inside the file.
uint32_t LastTimestamp(File* file);
// The latest timestamp of any tag (the last tag's included), read forward up
// to a tag cut short: where a recording ends. The last tag need not be the
// latest one (FFmpeg ends with an end-of-sequence marker stamped before its
// last audio).
uint32_t LatestTimestamp(File* file);

// Encoding of one index entry (little-endian, 16 bytes) and back.
void EncodeIndexEntry(const IndexEntry& entry, uint8_t out[kIndexEntrySize]);
IndexEntry DecodeIndexEntry(const uint8_t in[kIndexEntrySize]);

// Writes the index of every audio and video tag of the FLV. Stops at a tag whose
// data runs past the end of the file (that tag is listed). Offsets are written
// with all 64 bits. The index appears under its name only when complete (it is
// written beside it and renamed); on failure nothing is left. `count`
// (optional) receives the entries.
bool BuildIndex(const char* flvPath, const char* indexPath, uint32_t* count = nullptr);

enum class IndexLoad {
  kLoaded,  // entries holds at least one entry
  kEmpty,   // a valid index without entries: the FLV has no audio or video, refuse the play
  kFailed,  // missing, unreadable, or its count does not match its size (reported)
};
// Reads a whole index file. The count is checked against the file's size
// before anything is allocated.
IndexLoad LoadIndex(const char* indexPath, std::vector<IndexEntry>* entries);

// The binary search used for start and seek. Gives a neighbour of `time`, not
// necessarily the last entry at or before it (for 0, 100, 200: 150 -> 2, 50 ->
// 0). Returns 0 for an empty index, which callers must refuse beforehand.
uint32_t FindIndexEntry(std::span<const IndexEntry> entries, uint32_t time);

// The continuous stretches of the file (gaps above 2 s split them); at most
// kMaxSegments + 1.
std::vector<Segment> BuildSegments(std::span<const IndexEntry> entries);

// Edit operations. The base file may be missing (the output is then the
// recording shifted by startMs). Return true when the output was written in
// full; false when the recording is missing (nothing is done) or a file could
// not be opened, read or written (a partial output is deleted); the caller must
// then keep base and recording.
bool InsertRecording(const char* basePath, uint32_t startMs, const char* recordingPath,
                     const char* outputPath);
bool OverwriteRecording(const char* basePath, uint32_t startMs, const char* recordingPath,
                        const char* outputPath);

// Tests only: the read buffer of BuildIndex and of the editing operations
// (kEditBufferSize unless changed; 0 restores it), so that small files can put
// tag records across its edges.
void FlvReadBufferForTest(size_t bytes);

// ---- Naming rules ----
//
// Each builder writes a zero-terminated path into `out` and returns true. A
// path that would not fit 1023 characters, or a name part that could lead out
// of its folder, is refused: false, `out` empty.

using PathText = char[kTextSize];

// A file name from the database (an object's pathname, a rendition's file
// name) placed under a folder: false when it is empty, holds a NUL, is
// absolute ('/' or '\\' first, or a drive letter and ':') or has a ".."
// component between '/' or '\\' separators.
bool PathPartIsConfined(std::string_view part);

// A stream name or session id placed into a file name must not contain '/',
// '\\' or "..", nor be empty.
bool StreamNameIsSafe(std::string_view name);

// "%s\\phpsessid=%s&%s.flv" (temp folder, session id, whole stream name): a
// recording in progress. The closing step names the same file with '/'.
bool SessionRecordingPath(PathText& out, const char* temp, const char* phpsessid,
                          const char* streamName);
// The finished session recording: "%s\\phpsessid=%s&questionid=%d.flv" when
// questionId != 0, else "...&bookmarkid=%d.flv" when bookmarkId != 0, else
// "%s\\phpsessid=%s.flv".
bool FinishedRecordingPath(PathText& out, const char* temp, const char* phpsessid,
                           int32_t questionId, int32_t bookmarkId);
// "%s/phpsessid=%s&temp=%08x.flv": output of an editing operation.
bool EditOutputPath(PathText& out, const char* temp, const char* phpsessid, uint32_t number);
// The FLV path followed by ".index2".
bool IndexPathOf(PathText& out, const char* flvPath);
// "%s\\%d.flv.index2" in the cache folder: index of a media object's own FLV.
bool ObjectIndexPath(PathText& out, const char* cache, int32_t objectId);
// "%s/%s" (cache folder, rendition file name) when status is 3; otherwise an
// empty path (true is still returned: the rendition simply is not ready). A
// file name that is not PathPartIsConfined is reported and refused.
bool RenditionPath(PathText& out, const char* cache, const char* fileName, int32_t status);
// "%s/object-%d.png" in the files folder, and the address players are given.
bool ObjectPicturePath(PathText& out, const char* files, int32_t objectId);
bool ObjectPictureAddress(PathText& out, int32_t objectId);
// "%s\\thumbnails-%d" in the cache folder.
bool ThumbnailFolderPath(PathText& out, const char* cache, int32_t objectId);

// The stored file of a media object. `importFolder` is the folder text of the
// object's FolderImport row when folderImportId != 0, null when that row is
// missing (reported, no path). The pathname must stay under its folder (the
// import's folder, or the files folder for a web import and for every other
// object): one that is not PathPartIsConfined, or a web address
// ("http://"), is reported and refused, as is an import folder that is
// neither a web address nor absolute ('/' or '\\' first) and an empty files
// folder.
bool ObjectFilePath(PathText& out, const char* files, int32_t storageKind, const char* pathname,
                    int32_t folderImportId, const char* importFolder);
// True when the extension of `pathname` (from its last '.', which must not be
// the first character) is ".flv", compared without case.
bool IsFlvFileName(const char* pathname);
