// The update service: answers the two server functions, GetUpgradeList and
// GetUpgradeFile, from the catalog. Independent of the HTTP library: it
// takes the query and the body of a POST and gives the reply to send.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveDigests.h"
#include "ArchiveFile.h"
#include "Catalog.h"
#include "Identity.h"
#include "ReplySource.h"
#include "net/FieldMap.h"

namespace quon::server {

// Request bodies are small (a few hundred bytes); anything beyond this is
// refused before it is read.
inline constexpr size_t kMaxRequestBody = 64 * 1024;

struct ServiceReply {
  int httpStatus = 200;
  std::string contentType = "text/plain";
  // The whole body; for a file reply only its head (the BytesCount header
  // and the header text), the archive's bytes follow from `archive` (or,
  // in the mirror, from `source`): those from `filepos` to `length`.
  std::string body;
  std::shared_ptr<ArchiveFile> archive;
  std::shared_ptr<ReplySource> source;
  uint64_t filepos = 0;
  uint64_t length = 0;  // the whole archive's

  // For the request log.
  std::string function;
  std::string updateVersion;
  std::string tableId;
  std::string result;

  // For the figures: the installation, what a list offered, which update a
  // file reply sends and the version it brings.
  Identity identity;
  std::vector<uint32_t> offered;
  uint32_t updateId = 0;
  std::string brings;

  bool IsDownload() const { return archive != nullptr || source != nullptr; }
  uint64_t ContentLength() const { return body.size() + (IsDownload() ? length - filepos : 0); }
};

// How a file request that asks to resume is answered: `resumefrom` = N and
// `sha256` = H (each null when absent) against the archive's digest (empty
// when not known) and length. The reply starts at N when H is the digest
// and N a decimal number from 0 to the length; anything else gets the
// whole archive (filepos 0).
struct ResumeDecision {
  uint64_t filepos = 0;
  bool asked = false;    // the request carried resumefrom
  bool granted = false;  // ...and is answered from it
  const char* why = "";  // why not, for the log
};
ResumeDecision NegotiateResume(const std::string* resumeFrom, const std::string* sha256, std::string_view digest,
                               uint64_t length);

// The log's result for an accepted download: "ACCEPTED", "ACCEPTED
// filepos=N" when resumed, "ACCEPTED (resume refused: WHY)" when asked in
// vain; `extra` (such as the mirror's "cache=hit") goes after ACCEPTED.
std::string DownloadResult(const ResumeDecision& resume, std::string_view extra = {});

// "BytesCount", the header text's length (32-bit little-endian), the text.
std::string FileReplyHead(std::string_view headerText);

// Parses an update number as the updater writes TableID ("%i", so numbers
// from 2^31 arrive negative); nullopt for 0 and anything else.
std::optional<uint32_t> ParseTableId(std::string_view text);

// Text from the client made safe for a one-line message: control bytes
// become '?', cut to `max` characters.
std::string Printable(std::string_view text, size_t max = 40);

// Whether the update is offered to this installation now: not paused, and
// the installation falls within its rollout.
bool IsOffered(const CatalogEntry& entry, const Identity& identity);

// query: the text after '?' in the request target (empty when there is
// none); body: the POST body. With `digests`, file replies announce resume
// (`resume` = 1, `sha256`) and answer `resumefrom` once the archive's digest
// is known, and an archive whose digest is not known yet is queued there.
ServiceReply HandleServiceRequest(const Catalog& catalog, std::string_view query, std::string_view body,
                                  ArchiveDigests* digests = nullptr);

// The first steps of every request, shared with the mirror: the body names
// one of the two functions (and the query, when given, the same one), its
// fields are scrambled, and it carries `code` and `updateversion`. On
// success `function` and `fields` are set and the reply holds the log's and
// the figures' fields; otherwise the reply is the refusal to send.
bool ReadServiceRequest(std::string_view query, std::string_view body, ServiceReply& reply, std::string& function,
                        FieldMap& fields);

// The refusal of a file request for an update this server does not have.
ServiceReply UnknownUpdateRefusal(ServiceReply reply, std::string_view tableId);

// The fields text of the given pairs in this order ("a=1&b=2", each side
// percent-escaped), so that replies are the same bytes every time.
std::string OrderedFieldsText(std::initializer_list<std::pair<std::string_view, std::string_view>> fields);

}  // namespace quon::server
