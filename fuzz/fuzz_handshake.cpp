// The server's handshake over C0, C1 and C2 as a peer sends them: the input
// is written to one end of a socket pair, whose write side is then shut, and
// SHandShake runs on the other end in this thread (the S0/S1/S2 it writes fit
// the pair's buffer).
#include <sys/socket.h>
#include <unistd.h>

#include "FuzzCommon.h"
#include "rtmp/Handshake.h"
#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 + 2 * kHandshakeSize + 16) return 0;  // what follows C2 is the chunk reader's
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fds[1], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  {
    RtmpContext context;
    context.sockbuf.readWaitMs = 1000;  // the bytes are all there, or the end is
    if (RtmpContextInit(&context, fds[0])) {
      int ok = SHandShake(&context);
      // A shortened or missing C2 cannot complete a handshake.
      FUZZ_CHECK(ok == 0 || size >= 1 + 2 * kHandshakeSize);
    }
    RtmpContextFree(&context);
    RtmpShutdown(&context);
  }
  close(fds[1]);
  return 0;
}
