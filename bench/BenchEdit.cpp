// strmd-bench-edit: times strmd's file work against what the disk alone
// costs. Makes a base recording of the asked size by repeating a clip, then
//   edit:  InsertRecording and OverwriteRecording of the clip into its middle
//          against `cp` of the base;
//   index: BuildIndex of the base against a sequential read of it.
// Each figure is the best of `--rounds` tries (the machine is shared); one
// JSON line per scenario.
//
// usage: strmd-bench-edit --dir DIR --flv CLIP [--size-mib 1024] [--rounds 2]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/RtmpFile.h"
#include "testclient/TestFlv.h"

namespace {

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void PutBe24(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v >> 24));
  PutBe24(out, v);
}

// The clip repeated, each round shifted past the one before, until the file
// holds `bytes`. False when it cannot be written.
bool MakeBase(const std::string& path, const std::vector<testclient::FlvTag>& tags, uint32_t clipMs,
              uint64_t bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::vector<uint8_t> out = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
  uint64_t written = 0;
  uint32_t offset = 0;
  bool ok = true;
  while (ok && written + out.size() < bytes) {
    for (const testclient::FlvTag& tag : tags) {
      const uint32_t ts = tag.timestamp + offset;
      out.push_back(tag.type);
      PutBe24(out, uint32_t(tag.data.size()));
      PutBe24(out, ts & 0xFFFFFF);
      out.push_back(uint8_t(ts >> 24));
      PutBe24(out, 0);
      out.insert(out.end(), tag.data.begin(), tag.data.end());
      PutBe32(out, uint32_t(11 + tag.data.size()));
      if (out.size() >= (4u << 20)) {
        ok = fwrite(out.data(), 1, out.size(), f) == out.size();
        written += out.size();
        out.clear();
        if (!ok || written >= bytes) break;
      }
    }
    offset += clipMs + 40;
  }
  ok = ok && fwrite(out.data(), 1, out.size(), f) == out.size();
  return fclose(f) == 0 && ok;
}

bool Run(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ReadAll(const std::string& path, uint64_t* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> buffer(1 << 20);
  *bytes = 0;
  for (;;) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    *bytes += uint64_t(n);
  }
  close(fd);
  return true;
}

uint64_t SizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, clip;
  long sizeMiB = 1024, rounds = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--dir") dir = argv[i + 1];
    else if (a == "--flv") clip = argv[i + 1];
    else if (a == "--size-mib") sizeMiB = strtol(argv[i + 1], nullptr, 10);
    else if (a == "--rounds") rounds = strtol(argv[i + 1], nullptr, 10);
    else {
      fprintf(stderr, "strmd-bench-edit: bad option %s\n", a.c_str());
      return 2;
    }
  }
  if (dir.empty() || clip.empty() || sizeMiB < 1 || sizeMiB > 65536 || rounds < 1 || rounds > 20) {
    fprintf(stderr, "usage: strmd-bench-edit --dir DIR --flv CLIP [--size-mib 1024] [--rounds 2]\n");
    return 2;
  }
  uint32_t clipMs = 0;
  const std::vector<testclient::FlvTag> tags = testclient::FlvReadTags(clip, &clipMs);
  if (tags.empty()) {
    fprintf(stderr, "strmd-bench-edit: no media tags in %s\n", clip.c_str());
    return 1;
  }
  const std::string base = dir + "/edit-base.flv", index = base + ".index2", copy = dir + "/edit-copy.flv",
                    out = dir + "/edit-out.flv";
  fprintf(stderr, "strmd-bench-edit: making a %ld MiB recording\n", sizeMiB);
  if (!MakeBase(base, tags, clipMs, uint64_t(sizeMiB) << 20)) {
    fprintf(stderr, "strmd-bench-edit: cannot write %s\n", base.c_str());
    return 1;
  }
  const uint64_t baseBytes = SizeOf(base);
  // The middle of the base, by time: the edits copy all of it either way.
  uint32_t lastMs = 0;
  {
    File f;
    if (f.Open(base.c_str(), false)) lastMs = LastTimestamp(&f);
  }
  const uint32_t middle = lastMs / 2;

  double cp = 1e9, insert = 1e9, overwrite = 1e9, read = 1e9, build = 1e9;
  uint64_t insertBytes = 0, overwriteBytes = 0, readBytes = 0;
  uint32_t entries = 0;
  bool ok = true;
  for (long r = 0; r < rounds && ok; ++r) {
    // Each step starts with no dirty pages of the one before: otherwise the
    // later steps pay for the earlier steps' writeback.
    sync();
    double t = Seconds();
    ok = Run({"cp", base, copy});
    cp = std::min(cp, Seconds() - t);
    unlink(copy.c_str());

    sync();
    t = Seconds();
    ok = ok && InsertRecording(base.c_str(), middle, clip.c_str(), out.c_str());
    insert = std::min(insert, Seconds() - t);
    insertBytes = SizeOf(out);
    unlink(out.c_str());

    sync();
    t = Seconds();
    ok = ok && OverwriteRecording(base.c_str(), middle, clip.c_str(), out.c_str());
    overwrite = std::min(overwrite, Seconds() - t);
    overwriteBytes = SizeOf(out);
    unlink(out.c_str());

    sync();
    t = Seconds();
    ok = ok && ReadAll(base, &readBytes);
    read = std::min(read, Seconds() - t);

    sync();
    t = Seconds();
    ok = ok && BuildIndex(base.c_str(), index.c_str(), &entries);
    build = std::min(build, Seconds() - t);
    unlink(index.c_str());
  }
  unlink(base.c_str());
  if (!ok) {
    fprintf(stderr, "strmd-bench-edit: a step failed\n");
    return 1;
  }
  printf("{\"server\":\"strmd\",\"scenario\":\"edit\",\"base_bytes\":%llu,\"cp_s\":%.3f,\"insert_s\":%.3f,"
         "\"overwrite_s\":%.3f,\"insert_bytes\":%llu,\"overwrite_bytes\":%llu,\"insert_vs_cp\":%.3f,"
         "\"overwrite_vs_cp\":%.3f}\n",
         static_cast<unsigned long long>(baseBytes), cp, insert, overwrite,
         static_cast<unsigned long long>(insertBytes), static_cast<unsigned long long>(overwriteBytes),
         insert / cp, overwrite / cp);
  printf("{\"server\":\"strmd\",\"scenario\":\"index\",\"base_bytes\":%llu,\"read_s\":%.3f,\"build_s\":%.3f,"
         "\"entries\":%u,\"build_vs_read\":%.3f}\n",
         static_cast<unsigned long long>(readBytes), read, build, entries, build / read);
  return 0;
}
