// The update service: answers the two server functions, GetUpgradeList and
// GetUpgradeFile, from the catalog. Independent of the HTTP library: it
// takes the query and the body of a POST and gives the reply to send.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveFile.h"
#include "Catalog.h"
#include "Identity.h"

namespace quon::server {

// Request bodies are small (a few hundred bytes); anything beyond this is
// refused before it is read.
inline constexpr size_t kMaxRequestBody = 64 * 1024;

struct ServiceReply {
  int httpStatus = 200;
  std::string contentType = "text/plain";
  // The whole body; for a file reply only its head (the BytesCount header
  // and the header text), the archive's bytes follow from `archive`.
  std::string body;
  std::shared_ptr<ArchiveFile> archive;

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

  uint64_t ContentLength() const { return body.size() + (archive ? archive->Size() : 0); }
};

// Whether the update is offered to this installation now: not paused, and
// the installation falls within its rollout.
bool IsOffered(const CatalogEntry& entry, const Identity& identity);

// query: the text after '?' in the request target (empty when there is
// none); body: the POST body.
ServiceReply HandleServiceRequest(const Catalog& catalog, std::string_view query, std::string_view body);

// The fields text of the given pairs in this order ("a=1&b=2", each side
// percent-escaped), so that replies are the same bytes every time.
std::string OrderedFieldsText(std::initializer_list<std::pair<std::string_view, std::string_view>> fields);

}  // namespace quon::server
