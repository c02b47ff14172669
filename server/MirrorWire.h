// What the site mirror reads and decides without touching the network or
// the disk: its approved updates, the upstream's list and file replies read
// and rewritten for its clients, and the decisions about its cache. The
// upstream's replies are hostile input like any request: every length is
// bounded and checked.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quon::server {

// ---- Approved updates (--approved FILE) ----

// One decimal update number 0..4294967295 a line; blank lines and `#`
// comments (a whole line or after a number). On a problem: nullopt and
// "NAME:LINE: what" in error.
using ApprovedSet = std::set<uint32_t>;
std::optional<ApprovedSet> ParseApproved(std::string_view text, const std::string& name, std::string& error);
// The file read whole (at most 1 MiB).
std::optional<ApprovedSet> ReadApprovedFile(const std::string& path, std::string& error);

// ---- The upstream ----

// The upstream's service page from --upstream: http:// or https://, a host,
// no query; without a path, the page the updater is built with. nullopt
// (and why) for anything else.
std::optional<std::string> UpstreamServiceUrl(std::string_view url, std::string& why);

// A fields text as pairs in their order, names and values decoded; the
// fields of a reply the mirror passes on keep their order.
using OrderedFields = std::vector<std::pair<std::string, std::string>>;
OrderedFields ParseOrderedFields(std::string_view text);
std::string EncodeOrderedFields(const OrderedFields& fields);
// The value of the last field of that name (as DecodeFields keeps it), or null.
const std::string* FindField(const OrderedFields& fields, std::string_view name);

// A list reply as the mirror passes it on: unchanged without `approved`;
// with it, only the approved rows, and `rows` counted again. `listed`
// receives the update numbers it offers, `status` its status. With
// `approved`, nullopt when the reply has rows that cannot be read (the
// mirror then passes nothing on rather than rows it could not judge).
struct ListRelay {
  std::string reply;
  std::vector<uint32_t> listed;
  std::string status;
};
std::optional<ListRelay> RelayListReply(std::string_view reply, const ApprovedSet* approved);

// The header text of an upstream file reply, after the function's name.
struct UpstreamFileHeader {
  OrderedFields fields;
  std::string code, status, updateVersion, sha256;
  uint64_t filepos = 0;
  uint64_t length = 0;
  bool resume = false;
  bool Accepted() const { return status == "ACCEPTED"; }
};
// False (and why) when a field the mirror relies on is malformed: in an
// accepted reply `downloadlength` must be a decimal length up to 2^31 - 1,
// `filepos` (0 when absent) at most that, `sha256` (when given) 64
// lowercase hex digits.
bool ReadFileHeader(std::string_view text, UpstreamFileHeader& header, std::string& why);
// The header text a client gets: "GetUpgradeFile" and the upstream's
// fields in their order with `filepos` and `downloadlength` as given, then
// `resume` = 1 and `sha256` when the digest is known (those of the upstream
// are replaced), so that an old updater reads what it always read.
std::string ClientFileHeader(const UpstreamFileHeader& upstream, uint64_t filepos, uint64_t length,
                             const std::string& sha256);

// ---- The cache ----

// An archive the mirror holds (complete, or arriving), as the upstream
// described it.
struct ArchiveMeta {
  uint32_t id = 0;
  std::string updateVersion;
  uint64_t length = 0;
  std::string sha256;            // of the bytes; empty while unknown
  bool shaFromUpstream = false;  // the upstream announced it (and resume)
};

// Whether an upstream reply names the archive held: the same `sha256` when
// the reply gives one, else the same `updateversion` and `downloadlength`.
bool SameArchive(const ArchiveMeta& held, const UpstreamFileHeader& reply);

// What the upstream has shown of resuming so far.
enum class UpstreamResumes { kUnknown, kYes, kNo };

// The resume fields the mirror adds to a client's request: with a held
// archive whose digest the upstream gave and an upstream not known to have
// stopped resuming, `resumefrom` = its length and `sha256` = its digest, so
// that an unchanged archive comes back as a header without data.
struct UpstreamResumeAsk {
  bool ask = false;
  uint64_t from = 0;
  std::string sha256;
};
UpstreamResumeAsk PlanUpstreamResume(const ArchiveMeta* held, UpstreamResumes resumes);

// What to do once the upstream's header is read.
enum class HeaderVerdict {
  kRelayHeader,  // not accepted: its header goes to the client as it is, no data
  kServeHeld,    // the archive held: served from the cache, the upstream transfer ended
  kFetch,        // a new archive, whole: copied into the cache while served
  kBad,          // a part of an archive not held: nothing to build on
};
HeaderVerdict JudgeHeader(const UpstreamFileHeader& reply, bool heldMatches);

}  // namespace quon::server
