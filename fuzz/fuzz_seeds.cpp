// Writes the seed corpus of every fuzz target into <folder>/<target>/, made
// by the project's own code: handshakes the test client completes against
// SHandShake, command bodies from the AMF encoders, FLV files from the test
// builder and the indexes BuildIndex writes for them, the registry example of
// the README, stream names and path parts. Run at build and test time, so no
// binary corpus lives in the repository.
//
// Usage: fuzz_seeds <folder>. Exit status 0 when every seed was written.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "media/RtmpFile.h"
#include "rtmp/Amf.h"
#include "rtmp/Handshake.h"
#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpFunctions.h"
#include "rtmp/RtmpSocket.h"
#include "support/FlvBuilder.h"
#include "support/SpeexFrames.h"
#include "testclient/RtmpClient.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_root;
bool g_ok = true;

void Put(const char* target, const std::string& name, const Bytes& bytes) {
  const std::string folder = g_root + "/" + target;
  mkdir(folder.c_str(), 0755);
  std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "fuzz_seeds: cannot write %s/%s\n", folder.c_str(), name.c_str());
    g_ok = false;
  }
}

void Put(const char* target, const std::string& name, std::string_view text) {
  Put(target, name, Bytes(text.begin(), text.end()));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---- Handshakes: the test client against the server's code ----

template <typename F>
void Handshake(const std::string& name, uint8_t version, F&& client) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    g_ok = false;
    return;
  }
  int result = -1;
  std::thread server([&] {
    RtmpContext context;
    context.sockbuf.readWaitMs = 5000;
    if (RtmpContextInit(&context, fds[0])) result = SHandShake(&context);
    RtmpContextFree(&context);
    RtmpShutdown(&context);
  });
  RtmpClient peer;
  peer.Adopt(fds[1]);
  const bool done = client(peer);
  server.join();
  if (!done || result != 1 || peer.c1.size() != kHandshakeSize || peer.c2.size() != kHandshakeSize) {
    std::fprintf(stderr, "fuzz_seeds: handshake %s did not complete\n", name.c_str());
    g_ok = false;
    return;
  }
  Put("handshake", name, Cat({Bytes{version}, peer.c1, peer.c2}));
}

void Handshakes() {
  Handshake("plain-3", 3, [](RtmpClient& c) { return c.HandshakePlain(3, true); });
  Handshake("digest-3-scheme0", 3, [](RtmpClient& c) { return c.HandshakeDigest(0, 3, 9); });
  Handshake("digest-3-scheme1", 3, [](RtmpClient& c) { return c.HandshakeDigest(1, 3, 9); });
  Handshake("digest-6-scheme1", 6, [](RtmpClient& c) { return c.HandshakeDigest(1, 6, 9); });
  Handshake("digest-8-xtea", 8, [](RtmpClient& c) { return c.HandshakeDigest(0, 8, 128); });
}

// ---- Command bodies from the encoders ----

struct Writer {
  uint8_t buffer[8192];
  uint8_t* at = buffer;
  uint8_t* end = buffer + sizeof buffer;
  Writer& Byte(uint8_t b) {
    if (at != nullptr && at < end) *at++ = b;
    else at = nullptr;
    return *this;
  }
  Writer& Text(const char* t) { at = AmfEncodeText(at, end, t); return *this; }
  Writer& Number(double v) { at = AmfEncodeNumber(at, end, v); return *this; }
  Writer& Named(const char* n, const char* t) { at = AmfEncodeNamedString(at, end, n, t); return *this; }
  Writer& NamedNumber(const char* n, double v) { at = AmfEncodeNamedNumber(at, end, n, v); return *this; }
  Writer& NamedBool(const char* n, bool v) { at = AmfEncodeNamedBoolean(at, end, n, v); return *this; }
  Writer& Name(const char* n) { at = AmfEncodeName(at, end, n); return *this; }
  Writer& EndObject() { return Byte(0).Byte(0).Byte(AMF_OBJECT_END); }
  Bytes Body(uint8_t mode) const {
    Bytes out{mode};
    if (at != nullptr) out.insert(out.end(), buffer, static_cast<const uint8_t*>(at));
    return out;
  }
};

void Commands() {
  Writer connect;
  connect.Text("connect").Number(1).Byte(AMF_OBJECT).Named("app", "default").Named("flashVer", "LNX 11,2,202,481")
      .Named("tcUrl", "rtmp://localhost/default").NamedBool("fpad", false).NamedNumber("capabilities", 15)
      .NamedNumber("audioCodecs", 3191).NamedNumber("videoCodecs", 252).NamedNumber("objectEncoding", 0)
      .EndObject();
  Put("amf", "connect", connect.Body(0));

  Writer play;
  play.Text("play").Number(4).Byte(AMF_NULL).Text("fileid=12&phpsessid=0123456789abcdef0123456789&start=0")
      .Number(-2000);
  Put("amf", "play", play.Body(0));

  Writer arrays;
  arrays.Text("onMetaData").Byte(AMF_ECMA_ARRAY).Byte(0).Byte(0).Byte(0).Byte(2).NamedNumber("duration", 12.5)
      .Name("keyframes").Byte(AMF_STRICT_ARRAY).Byte(0).Byte(0).Byte(0).Byte(2).Number(0).Byte(AMF_NULL)
      .EndObject().Byte(AMF_DATE);
  for (int i = 0; i < 10; ++i) arrays.Byte(0);
  arrays.Byte(AMF_UNDEFINED);
  Put("amf", "arrays", arrays.Body(0));

  Writer named;
  named.Named("a", "b").NamedNumber("n", 2).Name("o").Byte(AMF_OBJECT).NamedBool("t", true).EndObject().EndObject();
  Put("amf", "named", named.Body(1));
  Put("amf", "property-named", named.Body(6));

  // AMF3 behind the AMF0 marker: a dynamic object with sealed members, an
  // integer, a double, a string, a date and a nested object.
  const Bytes amf3 = {0x0A, 0x1B, 0x01, 0x03, 'a', 0x03, 'b', 0x04, 0x81, 0x00, 0x06, 0x05, 'h', 'i',
                      0x03, 'd', 0x05, 0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18, 0x03, 'w', 0x08, 0x01,
                      0, 0, 0, 0, 0, 0, 0, 0, 0x03, 'o', 0x0A, 0x0B, 0x01, 0x03, 'x', 0x02, 0x01, 0x01};
  Put("amf", "amf3-embedded", Cat({Bytes{0, 0x02, 0x00, 0x01, 'x', AMF_AVMPLUS}, amf3}));
  Put("amf", "amf3-object", Cat({Bytes{2}, amf3}));
  Put("amf", "amf3-property", Cat({Bytes{5, 0x03, 'k', 0x0A}, Bytes(amf3.begin() + 1, amf3.end())}));
  Put("amf", "long-string", Bytes{4, AMF_LONG_STRING, 0, 0, 0, 3, 'a', 'b', 'c'});
}

// ---- Chunk streams: what the test client and the server's builders send ----

// Runs `session` with the test client writing to one end of a socket pair
// and returns the bytes that came out of the other, behind the piece byte.
template <typename F>
Bytes Session(uint8_t piece, F&& session) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    g_ok = false;
    return {};
  }
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  Bytes out{piece};
  RtmpClient client;
  client.Adopt(fds[1]);
  auto drain = [&] {
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
  };
  if (!session(client, drain)) {
    std::fprintf(stderr, "fuzz_seeds: a chunk session failed\n");
    g_ok = false;
  }
  drain();
  close(fds[0]);
  return out;
}

Bytes Four(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

void Chunks() {
  Writer connect;
  connect.Text("connect").Number(1).Byte(AMF_OBJECT).Named("app", "default").Named("tcUrl", "rtmp://localhost/default")
      .NamedNumber("objectEncoding", 0).EndObject();
  Writer publish;
  publish.Text("publish").Number(4).Byte(AMF_NULL).Text("phpsessid=0123456789abcdef&questionid=3").Text("live");
  Writer metadata;
  metadata.Text("@setDataFrame").Text("onMetaData").Byte(AMF_ECMA_ARRAY).Byte(0).Byte(0).Byte(0).Byte(1)
      .NamedNumber("duration", 0).EndObject();
  // Body() puts the AMF target's mode byte first.
  const auto plain = [](const Writer& w) {
    Bytes body = w.Body(0);
    body.erase(body.begin());
    return body;
  };
  const Bytes connectBody = plain(connect), publishBody = plain(publish), metadataBody = plain(metadata);
  const Bytes audio = {0xB2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Bytes video(700);
  for (size_t i = 0; i < video.size(); ++i) video[i] = static_cast<uint8_t>(i * 13);
  video[0] = 0x17;

  const auto publisher = [&](RtmpClient& c, auto&) {
    bool ok = c.SendMessage(3, kRtmpMsgCommandAmf0, 0, 0, connectBody);
    ok = ok && c.SendMessage(2, kRtmpMsgWindowAckSize, 0, 0, Four(2500000));
    ok = ok && c.SetChunkSize(4096);
    ok = ok && c.SendMessage(3, kRtmpMsgCommandAmf0, 0, 0, publishBody);
    ok = ok && c.SendMessage(5, kRtmpMsgDataAmf0, 1, 0, metadataBody);
    for (uint32_t t = 0; ok && t < 100; t += 20) ok = c.SendAudio(1, t, audio);
    ok = ok && c.SendVideo(1, 0, video);
    // Header types 1 and 2 on the audio channel, then type 3 reusing the delta.
    ok = ok && c.SendChunk(1, 4, 20, static_cast<uint32_t>(audio.size()), kRtmpMsgAudio, 0, audio);
    ok = ok && c.SendChunk(2, 4, 20, 0, 0, 0, audio);
    ok = ok && c.SendChunk(3, 4, 0, 0, 0, 0, audio);
    ok = ok && c.SendMessage(2, kRtmpMsgAcknowledgement, 0, 0, Four(5000));
    ok = ok && c.SendMessage(2, kRtmpMsgUserControl, 0, 0, Bytes{0, 3, 0, 0, 0, 1, 0, 0, 0x0B, 0xB8});
    ok = ok && c.SendMessage(2, kRtmpMsgPeerBandwidth, 0, 0, Bytes{0, 0x26, 0x25, 0xA0, 2});
    return ok;
  };
  Put("chunks", "publish", Session(0, publisher));
  Put("chunks", "publish-bytewise", Session(1, publisher));

  // A message cut by an abort of its chunk stream, then sent again; one of
  // another stream interleaved with it.
  Put("chunks", "abort-interleaved", Session(7, [&](RtmpClient& c, auto&) {
        std::span<const uint8_t> v(video);
        bool ok = c.SendChunk(0, 6, 0, 700, kRtmpMsgVideo, 1, v.subspan(0, 128));
        ok = ok && c.SendChunk(0, 4, 0, static_cast<uint32_t>(audio.size()), kRtmpMsgAudio, 1, audio);
        ok = ok && c.SendMessage(2, kRtmpMsgAbort, 0, 0, Four(6));
        ok = ok && c.SendVideo(1, 40, video);
        ok = ok && c.SendChunk(0, 6, 80, 700, kRtmpMsgVideo, 1, v.subspan(0, 128));
        ok = ok && c.SendChunk(3, 6, 0, 0, 0, 0, v.subspan(128, 128));
        return ok;
      }));

  // Extended timestamps, with and without the repeat on type-3 chunks.
  for (bool repeat : {true, false}) {
    Put("chunks", repeat ? "extended-repeated" : "extended-bare", Session(0, [&](RtmpClient& c, auto&) {
          c.repeatExtendedTimestamp = repeat;
          bool ok = c.SendVideo(1, 0xFFFFFF, video);
          ok = ok && c.SendVideo(1, 0xFFFFFFFF, video);
          ok = ok && c.SendChunk(1, 6, 0x1000000, 11, kRtmpMsgVideo, 0, Bytes(audio));
          return ok;
        }));
  }

  // Long basic headers and small chunk sizes.
  Put("chunks", "channels-and-sizes", Session(0, [&](RtmpClient& c, auto&) {
        bool ok = true;
        for (uint32_t channel : {63u, 64u, 319u, 320u, 65599u}) ok = ok && c.SendMessage(channel, kRtmpMsgAudio, 1, channel, audio);
        ok = ok && c.SetChunkSize(1);
        ok = ok && c.SendAudio(1, 0, audio);
        ok = ok && c.SetChunkSize(0x7FFFFFFF);
        ok = ok && c.SendVideo(1, 0, video);
        return ok;
      }));

  // The server's own builders and writer: chunk size, window, bandwidth,
  // user control and a large message at a large chunk size.
  {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      g_ok = false;
      return;
    }
    Bytes out{0};
    {
      RtmpContext context;
      if (RtmpContextInit(&context, fds[0]) == 1) {
        context.sockbuf.writeObserver = [&out](std::span<const uint8_t> bytes) {
          out.insert(out.end(), bytes.begin(), bytes.end());
        };
        SendWindowAckSize(&context, kConnectWindowAckSize);
        SendPeerBandwidth(&context, kConnectPeerBandwidth, kPeerBandwidthDynamic);
        SendUserControl(&context, kStreamBegin, 1);
        SendChunkSize(&context, 60000);
        RtmpSetChunkSize(&context, 60000);
        RtmpPacket packet;
        packet.m_nChannel = 6;
        packet.m_nMessageType = kRtmpMsgVideo;
        packet.m_nStreamId = 1;
        packet.m_nTimestamp = 0x01000000;
        packet.m_nBodySize = static_cast<uint32_t>(video.size());
        packet.m_body = video.data();
        RtmpWriteMessage(&context, &packet);
        packet.m_nHeaderType = 1;
        packet.m_nTimestamp += 40;
        RtmpWriteMessage(&context, &packet);
      } else {
        g_ok = false;
      }
      RtmpContextFree(&context);
      RtmpShutdown(&context);
    }
    close(fds[1]);
    Put("chunks", "server-builders", out);
  }
}

// ---- Audio bodies for the voice check, from libspeex's encoder ----

void Voice() {
  // Scene byte (see fuzz_speex.cpp), then bodies behind two-byte lengths.
  const auto scene = [](uint8_t flags, uint8_t step, std::initializer_list<Bytes> bodies) {
    Bytes out{static_cast<uint8_t>(flags | step << 3)};
    for (const Bytes& b : bodies) {
      out.push_back(static_cast<uint8_t>(b.size() >> 8));
      out.push_back(static_cast<uint8_t>(b.size()));
      out.insert(out.end(), b.begin(), b.end());
    }
    return out;
  };
  SpeexFrames frames;
  const Bytes loud1 = frames.Next(true), loud2 = frames.Next(true), quiet1 = frames.Next(false),
              quiet2 = frames.Next(false);
  Put("speex", "talk-then-quiet", scene(0, 1, {loud1, loud2, quiet1, quiet2, quiet1}));
  Put("speex", "long-quiet-ends-talk", scene(0, 31, {loud1, quiet1, quiet2, quiet1}));
  Put("speex", "other-talking", scene(2, 1, {loud1, loud2}));
  Put("speex", "talkover", scene(3, 1, {loud1, loud2}));
  Put("speex", "audio-inactive", scene(4, 1, {loud1}));
  Bytes cut = loud1;
  cut.resize(cut.size() / 2);
  Bytes twice = loud1;
  twice.insert(twice.end(), loud2.begin() + 1, loud2.end());
  Put("speex", "cut-and-joined", scene(0, 1, {cut, twice, Bytes{0xB2}, Bytes{0x22, 1, 2, 3}, Bytes{}}));
  SpeexFrames best(10);
  Put("speex", "quality-10", scene(0, 1, {best.Next(true), best.Next(true), best.Next(false)}));
  // The Opus target: a step byte, bodies behind lengths (0x8000: fill a gap).
  const auto feed = [](uint8_t step, std::initializer_list<Bytes> bodies) {
    Bytes out{step};
    for (const Bytes& b : bodies) {
      out.push_back(static_cast<uint8_t>(b.size() >> 8 | (b.empty() ? 0x80 : 0)));
      out.push_back(static_cast<uint8_t>(b.size()));
      out.insert(out.end(), b.begin(), b.end());
    }
    return out;
  };
  Put("opus", "frames-and-gaps", feed(5, {loud1, quiet1, Bytes{}, Bytes{}, loud2, frames.Tone(3000, 3)}));
  Put("opus", "cut-and-joined", feed(5, {cut, twice, Bytes{0xB2}, Bytes{0x22, 1, 2, 3}, loud1}));
}

// ---- Chat and model commands: the arguments after name, id and null ----

// One command of the chat and model targets: its index in the target's
// table, the arguments' length, the arguments.
void AddCommand(Bytes* out, uint8_t index, const Writer& args) {
  const Bytes body = args.Body(0);
  const size_t length = body.size() - 1;
  out->push_back(index);
  out->push_back(static_cast<uint8_t>(length >> 8));
  out->push_back(static_cast<uint8_t>(length));
  out->insert(out->end(), body.begin() + 1, body.end());
}

void RoomCommands() {
  // Indexes as in fuzz_chat.cpp's table.
  enum { kChat, kCourse, kUser, kDisconnect, kDevice, kPresenter, kActive, kAction, kRequest, kMode, kPush, kText };
  const auto number = [](double v) { Writer w; w.Number(v); return w; };
  Writer device, active, action, presenter, text, push, none;
  device.Byte(AMF_BOOLEAN).Byte(1).Byte(AMF_BOOLEAN).Byte(1).Byte(AMF_BOOLEAN).Byte(0);
  active.Number(8).Byte(AMF_BOOLEAN).Byte(1).Number(1).Number(1).Number(0).Number(1);
  action.Text("raisehand").Text("param 'quoted' \\ x");
  presenter.Number(9).Byte(AMF_BOOLEAN).Byte(1);
  text.Text("hello 'all'; drop table x; -- \\").Number(2);
  push.Number(8).Text("slide").Number(4);
  Bytes session;
  AddCommand(&session, kDevice, device);
  AddCommand(&session, kActive, active);
  AddCommand(&session, kAction, action);
  AddCommand(&session, kPresenter, presenter);
  AddCommand(&session, kPresenter, number(8));
  AddCommand(&session, kText, text);
  AddCommand(&session, kMode, number(1));
  AddCommand(&session, kPush, push);
  AddCommand(&session, kRequest, number(1));
  AddCommand(&session, kRequest, number(0));
  Put("chat", "in-room", session);
  Bytes moves;
  AddCommand(&moves, kCourse, number(11));
  AddCommand(&moves, kMode, number(1));
  AddCommand(&moves, kDisconnect, none);
  AddCommand(&moves, kChat, number(5));
  AddCommand(&moves, kUser, number(8));
  AddCommand(&moves, kChat, number(0));
  AddCommand(&moves, kDisconnect, none);
  AddCommand(&moves, kDevice, device);
  Put("chat", "moves", moves);

  enum { kLoad, kSave, kCreate, kDelete };
  const auto texts = [](const char* a, const char* b) { Writer w; w.Text(a).Text(b); return w; };
  Bytes models;
  AddCommand(&models, kLoad, texts("phpsessid", "0123456789abcdef0123456789"));
  AddCommand(&models, kLoad, texts("phpsessid", "x' or '1'='1"));
  AddCommand(&models, kLoad, texts("File", "fileid=3&paramid=4"));
  AddCommand(&models, kLoad, texts("Transcodes", "fileid=3"));
  AddCommand(&models, kLoad, texts("Transcodes", "fileid=3 limit 1 -- x"));
  AddCommand(&models, kLoad, texts("Other", ""));
  AddCommand(&models, kSave, texts("User", "name='x' where id=1"));
  AddCommand(&models, kCreate, texts("Bookmark", "values (0, 1, 'a')"));
  AddCommand(&models, kDelete, texts("Bookmark", "id=4"));
  AddCommand(&models, kSave, none);
  Put("model", "commands", models);
}

// ---- Media files and their indexes ----

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Media() {
  const Bytes clip = FlvBuilder().Script(0, 40).Clip(2500, 1, 200).Bytes();
  const Bytes cut = FlvBuilder().Audio(0).Video(40, 30, true).CutTag(kFlvTagVideo, 80, 500, 10).Bytes();
  const Bytes gaps = FlvBuilder().Audio(0).Audio(100).Audio(5000).Video(5100, 20, true).Audio(0x01000000).Bytes();
  const Bytes audioOnly = FlvBuilder(kFlvFlagAudio).Audio(0, 8).Audio(23, 8).Audio(46, 8).Bytes();
  const Bytes recording = FlvBuilder().Clip(1000, 2, 250).Bytes();
  Put("flv", "clip", Cat({Bytes{0}, clip}));
  Put("flv", "cut", Cat({Bytes{0}, cut}));
  Put("flv", "gaps", Cat({Bytes{0}, gaps}));
  Put("flv", "audio-only", Cat({Bytes{0}, audioOnly}));
  Put("flv", "header-only", Cat({Bytes{0}, FlvBuilder().Bytes()}));
  // Editing: byte 1 is the base's share of the files, bytes 2..5 the start.
  const auto edit = [&](uint8_t mode, const Bytes& base, uint32_t startMs) {
    const size_t total = base.size() + recording.size();
    const uint8_t share = static_cast<uint8_t>((base.size() * 255 + total - 1) / total);
    return Cat({Bytes{mode, share, uint8_t(startMs >> 24), uint8_t(startMs >> 16), uint8_t(startMs >> 8),
                      uint8_t(startMs)},
                base, recording});
  };
  Put("flv", "insert", edit(3, clip, 1000));
  Put("flv", "overwrite", edit(1, clip, 600));
  Put("flv", "overwrite-past-end", edit(1, audioOnly, 4000));

  const std::string scratch = g_root + "/.scratch.flv";
  const std::string index = scratch + kIndexSuffix;
  int n = 0;
  for (const Bytes* flv : {&clip, &cut, &gaps, &audioOnly}) {
    std::ofstream(scratch, std::ios::binary).write(reinterpret_cast<const char*>(flv->data()),
                                                   static_cast<std::streamsize>(flv->size()));
    if (!BuildIndex(scratch.c_str(), index.c_str())) {
      std::fprintf(stderr, "fuzz_seeds: BuildIndex failed\n");
      g_ok = false;
      continue;
    }
    Put("index", "built-" + std::to_string(n++), ReadAll(index));
  }
  unlink(scratch.c_str());
  unlink(index.c_str());
  Put("index", "empty", Bytes{0, 0, 0, 0});
}

// ---- Texts ----

void Texts() {
  Put("registry", "example",
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\r\n"
      "\"RtmpPortNumber\"=dword:0000078f\r\n"
      "\"InstallFolder\"=\"/srv/kestravon\"\r\n"
      "\"Version\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,00,00\r\n"
      "\"Blob\"=hex:01,02,\\\r\n  03,04\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]\r\n"
      "\"enable\"=dword:00000001\r\n"
      "\"path\"=\"/srv/kestravon/sites/default\"\r\n"
      "\"sql_password\"=\"se\\\"cr\\\\et\"\r\n"
      "@=\"default value\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default\\school.example.org]\r\n\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Parameters]\r\n"
      "\"USendQueueSize\"=dword:00000040\r\n"
      "\"Gone\"=-\r\n");
  Put("registry", "utf8-bom", "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"y\"\n");

  Put("query_param", "play", "fileid=12&phpsessid=0123456789abcdef0123456789&userid=7");
  Put("query_param", "live", "mp4:lesson?channel=3&userid=9&start=-2000");
  Put("query_param", "record", "phpsessid=abc&questionid=4&bookmarkid=5/paramid=6 x");
  Put("query_param", "repeated", "fileid=1&fileid=2&=3&phpsessid=&");
  Put("query_param", "edges", "fileid=4294967496&userid=+7&channel=2147483648&paramid=-2147483648&insert=+-1");

  Put("http", "play", "GET /strmd/default/fileid%3D200.flv?start=8000 HTTP/1.1\r\nHost: school\r\n"
                      "Cookie: lang=en; PHPSESSID=demo-ben-0002\r\n\r\n");
  Put("http", "upgrade", "GET /strmd/default/channel%3D5%26userid%3D2.flv HTTP/1.1\r\nHost: a\r\n"
                         "Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
  Put("http", "proxied", "GET /strmd/default/a%0D%0Ab%2F..%2Fc.flv?x=%00+y HTTP/1.1\r\nX-Forwarded-For: 192.0.2.66\r\n"
                         "x-forwarded-for: 198.51.100.1, 203.0.113.7\r\n\r\n");
  Put("http", "frames", Bytes{0x89, 0x85, 1, 2, 3, 4, 'p' ^ 1, 'i' ^ 2, 'n' ^ 3, 'g' ^ 4, '!' ^ 1,
                              0x88, 0x82, 0, 0, 0, 0, 0x03, 0xe8, 0x82, 0xfe, 0x10, 0x01});

  const auto parts = [](std::string_view a, std::string_view b, std::string_view c) {
    Bytes out(a.begin(), a.end());
    out.push_back(0);
    out.insert(out.end(), b.begin(), b.end());
    out.push_back(0);
    out.insert(out.end(), c.begin(), c.end());
    return out;
  };
  Put("paths", "recording", parts("0123456789abcdef0123456789", "questionid=3&bookmarkid=4", "42"));
  Put("paths", "rendition", parts("12-720p.flv", "/srv/imports", "7"));
  Put("paths", "relative", parts("uploads\\2024\\clip.FLV", "http://media.example.org", "-1"));
  Put("paths", "dots", parts("a..b", "..\\up", "0"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <folder>\n");
    return 2;
  }
  g_root = argv[1];
  mkdir(g_root.c_str(), 0755);
  Handshakes();
  Commands();
  Chunks();
  Voice();
  RoomCommands();
  Media();
  Texts();
  return g_ok ? 0 : 1;
}
