// Shared pieces of the server-link tests (Linux and Windows): the decoding
// of what the client sent, scripted replies, temporary directories and
// files, the platform's transport and its proxy settings.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "net/FieldMap.h"
#include "net/PayloadCodec.h"
#include "net/ServerExchange.h"
#include "support/FaultServer.h"
#include "support/RecordingPrompts.h"
#include "support/TempDir.h"

namespace quon::test {

// The platform's transport (support/PlatformHttp_*.cpp).
std::unique_ptr<HttpClient> PlatformHttpClient(UserPrompts& prompts);
// Direct connections unless a test asks for a proxy: no proxy variables in
// the environment.
void ClearProxyEnvironment();

// The fields of a request body sent with `prefix` (scrambled); empty when
// the body does not start with the prefix.
inline FieldMap RequestFields(const std::string& body, const std::string& prefix) {
  FieldMap fields;
  if (body.compare(0, prefix.size(), prefix) == 0) DecodeFields(body.substr(prefix.size()), fields, true);
  return fields;
}

// `n` bytes that differ from one seed to another.
inline std::string Pattern(size_t n, unsigned seed = 1) {
  std::string data(n, '\0');
  uint32_t x = seed;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

// The installation's identity as the session sends it with every request.
inline void FillIdentity(FieldMap& fields, const std::string& version) {
  fields.Set("KeyID", "123456");
  fields.Set("KeyType", "Pro");
  fields.Set("KeyVersion", version);
  fields.Set("updateversion", version);
  fields.Set("DB", "usermt");
}

// Replies `lead prefix code=<the request's code> extra`: as a plain reply,
// or (with `data`) as a file reply whose header is that text.
inline FaultServer::Handler EchoCode(std::string prefix, std::string extra, std::string lead = {}) {
  return [=](const ReceivedRequest& request, FaultConnection& connection) {
    connection.Send(HttpReply(200, lead + prefix + "code=" + RequestFields(request.body, prefix).Get("code") + extra));
  };
}
inline FaultServer::Handler EchoCodeFile(std::string prefix, std::string extra, std::string data) {
  return [=](const ReceivedRequest& request, FaultConnection& connection) {
    std::string header = prefix + "code=" + RequestFields(request.body, prefix).Get("code") + extra;
    connection.Send(HttpReply(200, FileReplyBody(header, data)));
  };
}

inline ServerCall LocalCall(uint16_t port, const std::string& prefix) {
  ServerCall call;
  call.server = "127.0.0.1";
  call.port = port;
  call.object = "/quonupdate/service.asp";
  call.query = prefix;
  call.prefix = prefix;
  call.agent = "QuonUpdate";
  return call;
}

}  // namespace quon::test
