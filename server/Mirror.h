// The site mirror (quon-update-server --upstream URL): answers a site's
// updaters with the same protocol by passing each request on to the
// upstream server with the client's own fields, so that what is offered to
// which installation stays the upstream's decision, and keeps the archives
// it sends under DIR/cache/, so that the site fetches each archive once.
//
// The upstream is asked with libcurl from a few threads of the mirror
// (--upstream-connections); a client's connection waits, suspended, for its
// reply. Its replies are hostile input like any request: the head and the
// texts are bounded, the archive's length is checked, and its time too.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "UpdateService.h"

namespace quon::server {

struct MirrorOptions {
  std::string upstream;       // the upstream's service page, as UpstreamServiceUrl gives it
  std::string root;           // the cache is root/cache
  std::string approvedFile;   // empty: every update
  std::string upstreamCa;     // certificate authorities for an https upstream (empty: the system's)
  std::string upstreamProxy;  // empty: none
  size_t upstreamConnections = 8;
  int connectSeconds = 10;  // to connect to the upstream
  int headSeconds = 60;     // for the upstream's reply to begin (a file reply: its header)
  int stallSeconds = 30;    // silence of the upstream in the middle of a reply
};

// The plain text a client gets when the upstream cannot be reached (or gives
// nothing that can be passed on); the updater shows it as it stands.
inline constexpr char kUpstreamUnreachable[] = "The update server cannot be reached.";

class Mirror {
 public:
  using Log = std::function<void(const std::string&)>;
  // Opens the cache and reads the approved updates; null (and why) when
  // either fails. `approvedError` tells a bad --approved file apart.
  static std::unique_ptr<Mirror> Create(MirrorOptions options, Log log, std::string& error, bool& approvedError);
  ~Mirror();
  Mirror(const Mirror&) = delete;
  Mirror& operator=(const Mirror&) = delete;

  // A request to the service page, read as the server reads it. Null when
  // it is answered at once (malformed, or an update not approved): the
  // reply is `now`. Otherwise the request to hand to Relay.
  struct Pending;
  struct PendingDeleter {
    void operator()(Pending* p) const;
  };
  using PendingPtr = std::unique_ptr<Pending, PendingDeleter>;
  PendingPtr Prepare(std::string_view query, std::string_view body, std::string_view userAgent, ServiceReply& now);
  // Passes the request on to the upstream on a thread of the mirror;
  // `done` gets the reply for the client exactly once, from any thread
  // (this one too, when the mirror is stopping). A download's reply comes
  // as soon as the upstream's header is read; its bytes follow from the
  // cache.
  void Relay(PendingPtr pending, std::function<void(ServiceReply)> done);

  // Reads the approved updates again (SIGHUP); a bad file keeps the list
  // in force. The line for the log either way.
  std::string ReloadApproved();
  // "N updates approved" or "every update".
  std::string Describe() const;

  // Ends every exchange with the upstream and every copy being filled, and
  // answers every request still waiting; nothing is handed over after it.
  void Shutdown();

  struct Impl;

 private:
  explicit Mirror(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

}  // namespace quon::server
