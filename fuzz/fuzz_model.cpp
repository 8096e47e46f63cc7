// The model command handlers over decoded commands, through the connection's
// own dispatch, without a database: the connection's database is none, so
// every statement fails as with a server that is down and nothing opens a
// network connection. What runs is what takes the peer's arguments: the
// checks of the model and clause texts, the session id rule, the Transcodes
// condition rule, the query parameters of the File model and the reply.
//
// Input: commands, each a byte choosing the command (loadmodel, savemodel,
// createmodel, deletemodel), a two-byte length and that many bytes of AMF
// arguments (after the name, transaction id and null).
//
// Checked: every command gets exactly one reply, "_result" with its
// transaction id, null and an object that decodes (createmodel's with the
// failed insert's id 0); no session or user is taken from a failed lookup;
// query parameters are views inside the clause that stop at a terminator.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "commands/RtmpModel.h"
#include "commands/RtmpModelFile.h"
#include "FuzzCommon.h"
#include "client/Client.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpUtils.h"
#include "config/ServerConfig.h"
#include "testclient/RtmpClient.h"
#include "util/QueryParam.h"

namespace {

constexpr const char* kCommandNames[] = {"loadmodel", "savemodel", "createmodel", "deletemodel"};
constexpr int kKinds[] = {kModelLoad, kModelSave, kModelCreate, kModelDelete};

struct Scene {
  SiteConfig site;
  Client self;
  RtmpPacket packet;
  RtmpClient reader;

  Scene() {
    // Every input reaches the handlers: no rate, and writes (which fail here
    // without a database) go as far as their statements.
    g_config.modelCommandsPerSecond = 0;
    g_config.modelWritesNeedSession = 0;
    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    self.link = std::make_shared<ClientLink>();
    FUZZ_CHECK(RtmpContextInit(&self.link->rtmp, fds[0]) == 1);
    std::strcpy(self.address, "fuzz");
    std::strcpy(self.link->rtmp.address, "fuzz");
    self.site = &site;
    self.link->wakeEvent.fd = eventfd(0, EFD_NONBLOCK);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    reader.Adopt(fds[1]);
  }
};

Scene& TheScene() {
  static Scene* scene = new Scene;  // lives as long as the process
  return *scene;
}

void CheckQueryParams(std::string_view clause) {
  for (std::string_view key : {std::string_view("fileid="), std::string_view("paramid=")}) {
    const std::string_view value = QueryParam(clause, key);
    if (value.empty()) continue;
    FUZZ_CHECK(value.data() >= clause.data() && value.data() + value.size() <= clause.data() + clause.size());
    FUZZ_CHECK(value.size() <= 1023);
    FUZZ_CHECK(value.find_first_of(std::string_view("\0\n\r &/?", 7)) == std::string_view::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scene& scene = TheScene();
  size_t at = 0;
  RtmpPacket& packet = scene.packet;
  for (int which; (which = FuzzNextCommand(data, size, &at, kCommandNames, 4, &packet)) >= 0;) {

    // Only a command that decodes reaches a handler.
    AmfObject object;
    const bool decodes =
        AmfDecodeObject(&object, std::span<const uint8_t>(packet.m_body, packet.m_nBodySize), false) >= 0;
    if (decodes) CheckQueryParams(AmfTextView(AmfPropString(AmfObjectGet(&object, {}, 4))));
    // As the connection's command table calls it.
    if (decodes) RtmpModelCommand(&scene.self, &object, kKinds[which]);
    AmfObjectFree(&object);
    RtmpPacketFree(&packet);
    FUZZ_CHECK(scene.self.session == nullptr && scene.self.user == nullptr);

    int replies = 0;
    while (auto message = scene.reader.ReadMessage(0)) {
      FUZZ_CHECK(message->type == kRtmpMsgCommandAmf0);
      AmfObject reply;
      FUZZ_CHECK(AmfDecodeObject(&reply, message->body, false) >= 0);
      FUZZ_CHECK(AmfTextView(AmfPropString(AmfObjectGet(&reply, {}, 0))) == "_result");
      FUZZ_CHECK(AmfPropNumber(AmfObjectGet(&reply, {}, 1)) == 9);
      const AmfProperty* result = AmfObjectGet(&reply, {}, 3);
      FUZZ_CHECK(result->type == AMF_OBJECT);
      if (which == 2) {
        const AmfProperty* id = AmfObjectGet(AmfPropObject(result), "id", -1);
        FUZZ_CHECK(id != AmfInvalidProperty() && AmfPropNumber(id) == 0);
      }
      AmfObjectFree(&reply);
      ++replies;
    }
    FUZZ_CHECK(replies == (decodes ? 1 : 0));
  }
  return 0;
}
