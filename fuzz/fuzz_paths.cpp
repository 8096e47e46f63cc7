// The path builders over names as peers and the database give them. A name
// must never lead out of its folder: a built path is the folder, one
// separator, and a file directly in it (no further separator, no "..").
//
// Names from a peer's stream name and session id, and names from the
// platform's database (rendition file names, an object's relative pathname,
// an import's name), are checked alike: the database is as untrusted as the
// clients that may write it through the model commands.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FuzzCommon.h"
#include "media/RtmpFile.h"

namespace {

constexpr const char* kTemp = "/srv/kestravon/sites/default\\temp";
constexpr const char* kCache = "/srv/kestravon/sites/default\\cache";
constexpr const char* kFiles = "/srv/kestravon/sites/default\\files";

bool HasParentStep(std::string_view path) {
  size_t from = 0;
  while (from <= path.size()) {
    size_t slash = path.find('/', from);
    if (slash == std::string_view::npos) slash = path.size();
    if (path.substr(from, slash - from) == "..") return true;
    from = slash + 1;
  }
  return false;
}

// Directly in the folder, or (deep) anywhere below it without a step back.
bool InFolder(const char* built, const char* folder, bool deep) {
  const std::string path = FileSystemPath(built);
  const std::string base = FileSystemPath(folder);
  if (path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0 || path[base.size()] != '/')
    return false;
  const std::string rest = path.substr(base.size() + 1);
  if (rest == "." || rest == "..") return false;
  return deep ? !HasParentStep(rest) : rest.find('/') == std::string::npos;
}

int32_t Number(const std::string& text) {
  uint32_t n = 0;
  for (char c : text) n = n * 31 + static_cast<uint8_t>(c);
  return static_cast<int32_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts = FuzzSplit(data, size, 3);
  const char* first = parts[0].c_str();
  const char* second = parts[1].c_str();
  const int32_t number = Number(parts[2]);
  PathText out;

  if (SessionRecordingPath(out, kTemp, first, second)) FUZZ_CHECK(InFolder(out, kTemp, false));
  else FUZZ_CHECK(out[0] == '\0');
  if (FinishedRecordingPath(out, kTemp, first, number, 0)) FUZZ_CHECK(InFolder(out, kTemp, false));
  if (FinishedRecordingPath(out, kTemp, first, 0, number)) FUZZ_CHECK(InFolder(out, kTemp, false));
  if (FinishedRecordingPath(out, kTemp, first, 0, 0)) FUZZ_CHECK(InFolder(out, kTemp, false));
  if (EditOutputPath(out, kTemp, first, static_cast<uint32_t>(number))) FUZZ_CHECK(InFolder(out, kTemp, false));
  if (ObjectIndexPath(out, kCache, number)) FUZZ_CHECK(InFolder(out, kCache, false));
  if (ObjectPicturePath(out, kFiles, number)) FUZZ_CHECK(InFolder(out, kFiles, false));
  if (ThumbnailFolderPath(out, kCache, number)) FUZZ_CHECK(InFolder(out, kCache, false));
  if (IndexPathOf(out, first)) FUZZ_CHECK(std::strlen(out) == parts[0].size() + std::strlen(kIndexSuffix));
  (void)IsFlvFileName(first);
  (void)StreamNameIsSafe(first);

  // From the database: a rendition's file name and an object's pathname.
  // Each rule that does not hold is named before the run stops, so one
  // input shows every escape it reaches.
  bool escaped = false;
  auto strict = [&](bool confined, const char* rule) {
    if (confined) return;
    std::fprintf(stderr, "escape: %s gives \"%s\"\n", rule, out);
    escaped = true;
  };
  if (RenditionPath(out, kCache, first, 3)) strict(InFolder(out, kCache, true), "RenditionPath");
  const bool absolute = (first[0] != '\0' && (first[1] == ':' || first[1] == '\\')) || first[0] == '/' ||
                        std::strncmp(first, "http://", 7) == 0;
  if (ObjectFilePath(out, kFiles, 1, first, 0, nullptr) && !absolute)
    strict(InFolder(out, kFiles, true), "ObjectFilePath (relative)");
  if (ObjectFilePath(out, kFiles, 1, first, number | 1, second) && std::strncmp(second, "http://", 7) == 0)
    strict(InFolder(out, kFiles, true), "ObjectFilePath (import from a location)");
  FUZZ_CHECK(!escaped);
  return 0;
}
