// The server's side of a resumable download, scripted on FaultServer: it
// serves one archive, announces `resume` with the archive's `sha256` (or
// not, as an old server), honours `resumefrom` (or starts again from 0),
// and cuts the replies it is told to after a number of data bytes. It
// counts every byte it sends.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "support/FaultServer.h"

namespace quon::test {

struct ResumeScript {
  std::string archive;
  bool announce = true;      // `resume` = 1 and `sha256`
  std::string sha256;        // the digest given (the archive's own, or a wrong one)
  bool honour = true;        // answers `resumefrom`; false: the whole archive again
  int64_t fileposShift = 0;  // a hostile server's filepos: `resumefrom` + this
  size_t extraData = 0;      // bytes sent beyond the archive's end
  bool resetCut = false;     // a cut is a reset, not an orderly end
  // A hostile server's resumed reply: no `resume` or `sha256`, and other
  // bytes than the archive's.
  bool resumedWithoutDigest = false;
  // Data bytes of the reply to request `index` (0 first) sent before the
  // cut; npos: not cut.
  std::function<size_t(int index)> cutAt = [](int) { return std::string::npos; };
  // Request `index` answered with this plain text instead, when non-empty.
  std::function<std::string(int index)> refuse = [](int) { return std::string(); };

  std::atomic<int> requests{0};
  std::atomic<uint64_t> bytesSent{0};
};

FaultServer::Handler ResumingServer(std::shared_ptr<ResumeScript> script);

}  // namespace quon::test
