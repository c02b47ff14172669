#include "support/ResumingServer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/NetTestSupport.h"

namespace quon::test {

namespace {
constexpr char kPrefix[] = "GetUpgradeFile";
constexpr size_t kPiece = 1 << 20;
}  // namespace

FaultServer::Handler ResumingServer(std::shared_ptr<ResumeScript> script) {
  return [script](const ReceivedRequest& request, FaultConnection& connection) {
    const int index = script->requests.fetch_add(1);
    auto send = [&](std::string_view bytes) {
      if (!connection.Send(bytes)) return false;
      script->bytesSent.fetch_add(bytes.size());
      return true;
    };
    const FieldMap fields = RequestFields(request.body, kPrefix);
    if (const std::string text = script->refuse(index); !text.empty()) {
      send(HttpReply(200, text));
      return;
    }
    const std::string& archive = script->archive;
    int64_t from = 0;
    if (script->announce && script->honour && fields.Find("resumefrom") && fields.Get("sha256") == script->sha256) {
      from = std::clamp<int64_t>(std::stoll(fields.Get("resumefrom")), 0, static_cast<int64_t>(archive.size()));
    }
    std::string header = std::string(kPrefix) + "code=" + fields.Get("code") +
                         "&status=ACCEPTED&updateversion=7.1.0.0&filepos=" +
                         std::to_string(from + (from > 0 ? script->fileposShift : 0)) +
                         "&downloadlength=" + std::to_string(archive.size());
    const bool tampered = from > 0 && script->resumedWithoutDigest;
    if (script->announce && !tampered) header += "&resume=1&sha256=" + script->sha256;
    const std::string other = tampered ? std::string(archive.size() - static_cast<size_t>(from), 'x') : std::string();
    const std::string_view data =
        tampered ? std::string_view(other) : std::string_view(archive).substr(static_cast<size_t>(from));
    const size_t whole = data.size() + script->extraData;
    const bool cut = script->cutAt(index) < whole;
    const size_t total = cut ? script->cutAt(index) : whole;
    std::string head = FileReplyBody(header, "");
    // A reply that is cut states no length: its end is the only sign.
    head =
        (cut ? HttpHead(200) : HttpHead(200, "Content-Length: " + std::to_string(head.size() + total) + "\r\n")) + head;
    if (!send(head)) return;
    for (size_t sent = 0; sent < total;) {
      const size_t n = std::min(kPiece, total - sent);
      const std::string_view piece =
          sent < data.size() ? data.substr(sent, std::min(n, data.size() - sent)) : std::string_view();
      const std::string padding = piece.size() < n ? std::string(n - piece.size(), 'x') : std::string();
      if (!send(piece) || !send(padding)) return;
      sent += n;
    }
    if (cut && script->resetCut) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      connection.Reset();
    }
  };
}

}  // namespace quon::test
