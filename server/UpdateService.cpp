#include "UpdateService.h"

#include <cstdio>
#include <vector>

#include "net/FieldMap.h"
#include "net/PayloadCodec.h"

namespace quon::server {

namespace {

constexpr std::string_view kListFunction = "GetUpgradeList";
constexpr std::string_view kFileFunction = "GetUpgradeFile";
constexpr std::string_view kAccepted = "ACCEPTED";

ServiceReply BadRequest(ServiceReply reply, int status, std::string text, std::string result) {
  reply.httpStatus = status;
  reply.body = std::move(text) + "\n";
  reply.result = std::move(result);
  reply.archive.reset();
  reply.source.reset();
  return reply;
}

// A refusal the updater shows to the user as it stands.
ServiceReply Refusal(ServiceReply reply, std::string sentence, std::string result) {
  reply.httpStatus = 200;
  reply.body = std::move(sentence);
  reply.result = std::move(result);
  return reply;
}

bool IsAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// The scrambled fields text holds letters and digits; line breaks and
// blanks between groups are tolerated, as the updater's own reader does.
bool LooksScrambled(std::string_view text) {
  for (char c : text)
    if (!IsAlnum(c) && c != '\r' && c != '\n' && c != ' ' && c != '\t') return false;
  return true;
}

ServiceReply ListReply(const Catalog& catalog, ServiceReply reply, const std::string& code,
                       const std::optional<Version>& installed) {
  std::string dbdata;
  int rows = 0;
  if (installed) {
    for (const CatalogEntry& e : catalog.Entries()) {
      if (!e.AppliesTo(*installed) || !IsOffered(e, reply.identity)) continue;
      reply.offered.push_back(e.id);
      if (rows > 0) dbdata += ';';
      dbdata += std::to_string(e.id);
      dbdata += ';';
      dbdata += e.oleDate;
      dbdata += ';';
      dbdata += e.name;
      dbdata += ';';
      dbdata += e.description;
      ++rows;
    }
  }
  const std::string rowsText = std::to_string(rows);
  reply.body = std::string(kListFunction) + OrderedFieldsText({{"code", code},
                                                                {"status", kAccepted},
                                                                {"rows", rowsText},
                                                                {"cols", "4"},
                                                                {"dbdata", dbdata}});
  reply.result = "ACCEPTED rows=" + rowsText;
  return reply;
}

ServiceReply FileReply(const Catalog& catalog, ServiceReply reply, const FieldMap& fields,
                       const std::optional<Version>& installed, ArchiveDigests* digests) {
  const std::string& code = *fields.Find("code");
  const std::string* tableIdField = fields.Find("TableID");
  if (tableIdField == nullptr) return BadRequest(std::move(reply), 400, "The request names no TableID.", "bad-request");
  const auto id = ParseTableId(*tableIdField);
  const CatalogEntry* entry = id ? catalog.Find(*id) : nullptr;
  if (entry == nullptr) return UnknownUpdateRefusal(std::move(reply), *tableIdField);
  if (!installed || !entry->AppliesTo(*installed)) {
    std::string sentence = "The update \"" + entry->name + "\" does not apply to the installed version " +
                           Printable(reply.updateVersion) + ".";
    return Refusal(std::move(reply), std::move(sentence), "refused: does not apply");
  }
  reply.updateId = entry->id;
  // A paused update, or one whose rollout has not reached this
  // installation, is not listed for it; a download asked for all the same
  // is refused like one whose archive is away.
  const char* unavailable = entry->paused                        ? "refused: paused"
                            : !IsOffered(*entry, reply.identity) ? "refused: not in rollout"
                                                                 : nullptr;
  auto archive = unavailable ? nullptr : catalog.OpenArchive(*entry);
  if (!archive || archive->Size() > kMaxArchiveSize) {
    std::string sentence =
        "The update \"" + entry->name + "\" cannot be downloaded at the moment. Please try again later.";
    return Refusal(std::move(reply), std::move(sentence), unavailable ? unavailable : "refused: archive unavailable");
  }
  const std::string brings = FormatVersion(entry->brings);
  reply.brings = brings;
  // The digest is known for every archive the catalog named when it was
  // read; one replaced on disk since then is read in the background, and
  // its downloads go out as from a server that does not resume until then.
  std::string digest;
  if (digests) {
    digest = digests->Find(*archive);
    if (digest.empty()) digests->ComputeLater(archive);
  }
  const ResumeDecision resume =
      NegotiateResume(fields.Find("resumefrom"), fields.Find("sha256"), digest, archive->Size());
  const std::string length = std::to_string(archive->Size());
  const std::string filepos = std::to_string(resume.filepos);
  // The fields an old updater reads stay where they were; the new ones
  // come after them, and an updater that does not know them ignores them.
  std::string header = std::string(kFileFunction) + OrderedFieldsText({{"code", code},
                                                                       {"status", kAccepted},
                                                                       {"updateversion", brings},
                                                                       {"filepos", filepos},
                                                                       {"downloadlength", length}});
  if (!digest.empty()) header += "&" + OrderedFieldsText({{"resume", "1"}, {"sha256", digest}});
  reply.body = FileReplyHead(header);
  reply.length = archive->Size();
  reply.filepos = resume.filepos;
  reply.archive = std::move(archive);
  reply.contentType = "application/octet-stream";
  reply.result = DownloadResult(resume);
  return reply;
}

}  // namespace

bool IsOffered(const CatalogEntry& entry, const Identity& identity) {
  if (entry.paused) return false;
  return entry.rolloutBasisPoints >= CatalogEntry::kFullRollout ||
         identity.RolloutBucket(entry.id) < entry.rolloutBasisPoints;
}

std::string OrderedFieldsText(std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
  std::string text;
  for (const auto& [name, value] : fields) {
    if (!text.empty()) text += '&';
    text += PercentEncode(name);
    text += '=';
    text += PercentEncode(value);
  }
  return text;
}

std::optional<uint32_t> ParseTableId(std::string_view s) {
  // The updater writes TableID with "%i", so an update numbered 2^31 or
  // above arrives in its signed form ("-1294967296" for 3000000000). Both
  // forms are read and the id is taken modulo 2^32; anything outside the
  // range of either form is no id.
  const bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  if (s.empty() || s.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v == 0 || v > (negative ? 0x80000000u : 0xFFFFFFFFu)) return std::nullopt;
  return static_cast<uint32_t>(negative ? 0x100000000u - v : v);
}

std::string Printable(std::string_view s, size_t max) {
  std::string out;
  for (char c : s.substr(0, max)) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F) ? '?' : c;
  }
  if (s.size() > max) out += "...";
  return out;
}

ResumeDecision NegotiateResume(const std::string* resumeFrom, const std::string* sha256, std::string_view digest,
                               uint64_t length) {
  ResumeDecision d;
  if (resumeFrom == nullptr) return d;
  d.asked = true;
  // Decimal digits only: no sign, no blanks, and no more digits than fit
  // (leading zeros count too, so that nothing overflows).
  const std::string& n = *resumeFrom;
  if (n.empty() || n.size() > 19 || n.find_first_not_of("0123456789") != std::string::npos) {
    d.why = "bad resumefrom";
    return d;
  }
  const uint64_t from = std::stoull(n);
  if (from > length) {
    d.why = "resumefrom beyond the archive";
  } else if (digest.empty()) {
    d.why = "digest not known yet";
  } else if (sha256 == nullptr) {
    d.why = "no sha256";
  } else if (*sha256 != digest) {
    d.why = "sha256 differs";
  } else {
    d.granted = true;
    d.filepos = from;
  }
  return d;
}

std::string DownloadResult(const ResumeDecision& resume, std::string_view extra) {
  std::string result(kAccepted);
  if (!extra.empty()) result += " " + std::string(extra);
  if (resume.granted) result += " filepos=" + std::to_string(resume.filepos);
  if (resume.asked && !resume.granted) result += std::string(" (resume refused: ") + resume.why + ")";
  return result;
}

std::string FileReplyHead(std::string_view headerText) {
  const auto n = static_cast<uint32_t>(headerText.size());
  std::string head = "BytesCount";
  for (int i = 0; i < 4; ++i) head += static_cast<char>((n >> (8 * i)) & 0xFF);
  head += headerText;
  return head;
}

ServiceReply UnknownUpdateRefusal(ServiceReply reply, std::string_view tableId) {
  std::string sentence = "The requested update " + Printable(tableId) + " is not available on this server.";
  return Refusal(std::move(reply), std::move(sentence), "refused: unknown update");
}

bool ReadServiceRequest(std::string_view query, std::string_view body, ServiceReply& reply, std::string& function,
                        FieldMap& fields) {
  auto refuse = [&reply](int status, const char* text) {
    reply = BadRequest(std::move(reply), status, text, "bad-request");
    return false;
  };
  if (body.size() > kMaxRequestBody) return refuse(413, "The request body is too large.");
  for (std::string_view f : {kListFunction, kFileFunction})
    if (body.substr(0, f.size()) == f) function = std::string(f);
  if (function.empty()) return refuse(400, "The request names no known server function.");
  reply.function = function;
  if (!query.empty() && query != function)
    return refuse(400, "The query and the body name different server functions.");

  const std::string_view scrambled = body.substr(function.size());
  if (!LooksScrambled(scrambled)) return refuse(400, "The request fields are not in the scrambled form.");
  DecodeFields(scrambled, fields, true);

  const std::string* version = fields.Find("updateversion");
  if (version) reply.updateVersion = *version;
  for (auto [name, text] : {std::pair{"KeyID", &reply.identity.keyId}, std::pair{"KeyType", &reply.identity.keyType},
                            std::pair{"KeyVersion", &reply.identity.keyVersion}})
    if (const std::string* value = fields.Find(name)) *text = *value;
  if (const std::string* tableId = fields.Find("TableID")) reply.tableId = *tableId;
  const std::string* code = fields.Find("code");
  if (code == nullptr || code->empty()) return refuse(400, "The request carries no code.");
  if (version == nullptr) return refuse(400, "The request names no updateversion.");
  return true;
}

ServiceReply HandleServiceRequest(const Catalog& catalog, std::string_view query, std::string_view body,
                                  ArchiveDigests* digests) {
  ServiceReply reply;
  std::string function;
  FieldMap fields;
  if (!ReadServiceRequest(query, body, reply, function, fields)) return reply;
  const std::optional<Version> installed = ParseVersion(reply.updateVersion);
  if (function == kListFunction) return ListReply(catalog, std::move(reply), *fields.Find("code"), installed);
  return FileReply(catalog, std::move(reply), fields, installed, digests);
}

}  // namespace quon::server
