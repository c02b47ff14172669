// One request/reply exchange with the update server and the chunked
// download of a file, on the calling thread, with the records that a call
// and its worker share. ServerCalls.h runs them on a worker under the wait
// dialog, as the program does.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "net/DownloadRetry.h"
#include "net/FieldMap.h"
#include "net/HttpTransport.h"
#include "net/Wait.h"
#include "base/UserPrompts.h"

namespace quon {

// What a server call needs from its surroundings. The client and the prompts
// must outlive any worker that the wait abandoned: every worker holds
// `owner`, the shared owner of both where the program has one, so that the
// end of the program never frees what a worker still uses.
struct NetEnvironment {
  HttpClient& http;        // the platform transport
  UserPrompts& prompts;    // message boxes and the proxy prompt (any thread)
  WaitRunner& wait;        // runs a call's worker under the wait
  unsigned waitTimerIntervalMs = kWaitTimerIntervalMs;  // shortened only by tests
  std::shared_ptr<const void> owner = nullptr;  // keeps `http` and `prompts` alive
  RetryPolicy downloadRetry{};  // the pauses shortened only by tests
};

// The shared owner of a program's client and the prompts it uses, for
// NetEnvironment::owner; the client is destroyed first.
inline std::shared_ptr<const void> ShareClientAndPrompts(std::shared_ptr<UserPrompts> prompts,
                                                         std::shared_ptr<HttpClient> http) {
  return std::make_shared<std::pair<std::shared_ptr<UserPrompts>, std::shared_ptr<HttpClient>>>(std::move(prompts),
                                                                                                std::move(http));
}

// Arguments 1 to 9 of a server call, and the scheme.
struct ServerCall {
  std::string server;
  uint16_t port = 80;
  std::string object;
  std::optional<std::string> query;
  bool scrambleRequest = true;
  bool unscrambleReply = false;
  std::string prefix;
  std::string agent;
  bool silent = false;
  bool secure = false;  // HTTPS: the request goes with inet::kFlagSecure
};

// The record a server call hands to its worker: the call's values, its own
// copy of the fields, the error slot (written by the worker, readable by the
// caller at any time), the file path and the bytes-written slot. The worker
// holds it by shared ownership, so an abandoned worker never writes into
// the caller's records.
struct InternetCallArgs {
  ServerCall call;
  FieldMap fields;
  std::atomic<uint32_t> error{0};
  std::string filePath;
  std::atomic<int32_t> bytesWritten{0};
  DownloadOptions options;  // the download's retries and the caller's check of the reply
};

// Largest plain reply (or reply text instead of a file) that is read; a
// longer one fails the reading phase instead of being held in memory.
constexpr size_t kMaxReplyTextBytes = 16u << 20;
// The most of a reply's text that a failed call keeps for its message.
constexpr size_t kMaxKeptReplyText = 64u << 10;
// Largest header text of a file reply that is accepted.
constexpr uint32_t kMaxFileHeaderBytes = 16u << 20;

// The exchange itself, on the calling thread. `fields` holds the request
// fields in and the reply fields out. Returns 1 when a reply with the prefix
// and the request's code was read, else 0 (after telling the user why,
// unless silent).
int InternetCall_Function_Direct(HttpClient& http, UserPrompts& prompts, const ServerCall& call,
                                 FieldMap& fields, uint32_t* errorOut, const CancelFlag* cancel = nullptr);

// The download on the calling thread: writes the reply's file data to
// filePath in blocks of 10000 bytes, updating `dialog` (may be null) after
// every tenth block. Returns 1 when all data was written and the file
// closed (and, when the reply gave `sha256`, matched it). With `cancel` set,
// no block is written once it is cancelled. A transfer cut once its data
// began is tried again as `options` say (by default five times, after 1 to
// 16 s); `bytesWritten` then counts the file from its start.
int InternetCall_Function_GetFile(HttpClient& http, UserPrompts& prompts, const ServerCall& call,
                                  FieldMap& fields, uint32_t* errorOut, const std::string& filePath,
                                  int32_t* bytesWritten, ProgressDisplay* dialog,
                                  const CancelFlag* cancel = nullptr, const DownloadOptions* options = nullptr);

// The exchange and the download as a wait's worker runs them, on the record
// the worker shares: an abandoned worker writes only there.
int RunDirectCall(HttpClient& http, UserPrompts& prompts, InternetCallArgs& args, const CancelFlag* cancel);
int RunFileCall(HttpClient& http, UserPrompts& prompts, InternetCallArgs& args, ProgressDisplay* progress,
                const CancelFlag* cancel);

// Reads until n bytes arrived or a read returned 0; returns the count read.
size_t ReadExactly(HttpRequest& request, void* buffer, size_t n);

}  // namespace quon
