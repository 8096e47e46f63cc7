// `strmdctl repair FILE...` and `strmdctl check FILE`: the operator's tools
// for recordings, with the same repair the server runs at start-up.
#include <cstdio>

#include "media/FlvRepair.h"
#include "strmdctl/Strmdctl.h"

int StrmdctlRepair(int argc, char** argv) {
  if (argc < 1) {
    std::fprintf(stderr, "usage: strmdctl repair FILE...\n");
    return 2;
  }
  int failures = 0;
  for (int i = 0; i < argc; ++i) {
    FlvRepairResult r;
    if (!FlvRepair(argv[i], &r)) {
      std::fprintf(stderr, "%s: not repaired: %s\n", argv[i], r.error.c_str());
      ++failures;
      continue;
    }
    std::printf("%s: %s: %u tags (%u audio, %u video), %u ms kept, %llu bytes dropped\n", argv[i],
                r.repaired ? "repaired" : "already whole", r.tags, r.audioTags, r.videoTags, r.lastTimestamp,
                static_cast<unsigned long long>(r.bytesDropped));
  }
  return failures == 0 ? 0 : 1;
}

int StrmdctlCheck(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: strmdctl check FILE\n");
    return 2;
  }
  FlvCheckResult r;
  if (!FlvCheck(argv[0], &r)) {
    std::fprintf(stderr, "%s: offset %llu: %s\n", argv[0], static_cast<unsigned long long>(r.faultOffset),
                 r.fault.c_str());
    return 1;
  }
  std::printf("%s: ok: %u tags (%u audio, %u video), last timestamp %u ms\n", argv[0], r.tags, r.audioTags,
              r.videoTags, r.lastTimestamp);
  return 0;
}
