#include "MirrorWire.h"

#include <fstream>
#include <iterator>

#include "Catalog.h"
#include "UpdateService.h"
#include "base/BuildConfig.h"
#include "net/PayloadCodec.h"

namespace quon::server {

namespace {

constexpr size_t kMaxApprovedFile = 1 << 20;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Decimal digits only, at most `max`.
std::optional<uint64_t> Decimal(std::string_view s, uint64_t max) {
  if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) v = v * 10 + static_cast<uint64_t>(c - '0');
  if (v > max) return std::nullopt;
  return v;
}

bool IsLowerHex(std::string_view s) { return s.find_first_not_of("0123456789abcdef") == std::string_view::npos; }

// Cells of dbdata split at ';', empty cells kept (a row keeps its columns).
std::vector<std::string> Cells(const std::string& text) {
  std::vector<std::string> cells;
  if (text.empty()) return cells;
  size_t start = 0;
  for (;;) {
    const size_t semi = text.find(';', start);
    cells.push_back(text.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return cells;
}

}  // namespace

std::optional<ApprovedSet> ParseApproved(std::string_view text, const std::string& name, std::string& error) {
  ApprovedSet approved;
  int line = 0;
  while (!text.empty()) {
    ++line;
    const size_t nl = text.find('\n');
    std::string_view l = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line == 1 && l.substr(0, 3) == "\xEF\xBB\xBF") l.remove_prefix(3);
    l = Trim(l.substr(0, l.find('#')));
    if (l.empty()) continue;
    const auto id = Decimal(l, 0xFFFFFFFFu);
    if (!id) {
      error = name + ":" + std::to_string(line) + ": '" + Printable(l) +
              "' is not an update number (a decimal number from 0 to 4294967295)";
      return std::nullopt;
    }
    approved.insert(static_cast<uint32_t>(*id));
  }
  return approved;
}

std::optional<ApprovedSet> ReadApprovedFile(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  std::string text;
  char block[65536];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    text.append(block, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxApprovedFile) {
      error = path + ": larger than 1 MiB";
      return std::nullopt;
    }
  }
  if (in.bad()) {
    error = path + ": cannot be read";
    return std::nullopt;
  }
  return ParseApproved(text, path, error);
}

std::optional<std::string> UpstreamServiceUrl(std::string_view url, std::string& why) {
  std::string lower(url.substr(0, 8));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t schemeEnd = 0;
  if (lower.rfind("http://", 0) == 0) schemeEnd = 7;
  if (lower.rfind("https://", 0) == 0) schemeEnd = 8;
  if (schemeEnd == 0) {
    why = "--upstream needs an http:// or https:// URL";
    return std::nullopt;
  }
  for (char c : url) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '?' || c == '#' || c == '\\') {
      why = "--upstream must be the service page's URL, without blanks, query or fragment";
      return std::nullopt;
    }
  }
  const size_t slash = url.find('/', schemeEnd);
  const std::string_view host =
      url.substr(schemeEnd, slash == std::string_view::npos ? std::string_view::npos : slash - schemeEnd);
  if (host.empty() || host.front() == ':' || host.front() == '@') {
    why = "--upstream names no host";
    return std::nullopt;
  }
  std::string out(url);
  if (slash == std::string_view::npos) out += kUpdatePath;
  return out;
}

OrderedFields ParseOrderedFields(std::string_view text) {
  OrderedFields fields;
  while (!text.empty()) {
    const size_t amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    // As the updater reads them: line breaks vanish, a pair without a name
    // is dropped.
    std::string clean;
    for (char c : pair)
      if (c != '\r' && c != '\n') clean += c;
    const size_t eq = clean.find('=');
    std::string name = clean.substr(0, eq);
    // A second '=' in a pair is dropped, as the updater drops it.
    std::string value;
    if (eq != std::string::npos)
      for (char c : clean.substr(eq + 1))
        if (c != '=') value += c;
    if (name.empty()) continue;
    fields.emplace_back(PercentDecode(name), PercentDecode(value));
    if (fields.size() >= kMaxReplyFields) break;
  }
  return fields;
}

std::string EncodeOrderedFields(const OrderedFields& fields) {
  std::string text;
  for (const auto& [name, value] : fields) {
    if (!text.empty()) text += '&';
    text += PercentEncode(name) + "=" + PercentEncode(value);
  }
  return text;
}

const std::string* FindField(const OrderedFields& fields, std::string_view name) {
  const std::string* found = nullptr;
  for (const auto& [n, v] : fields)
    if (n == name) found = &v;
  return found;
}

std::optional<ListRelay> RelayListReply(std::string_view reply, const ApprovedSet* approved) {
  static constexpr std::string_view kPrefix = "GetUpgradeList";
  ListRelay out;
  size_t start = 0;
  while (start < reply.size() && (reply[start] == '\r' || reply[start] == '\n')) ++start;
  if (reply.substr(start, kPrefix.size()) != kPrefix) {
    // Not a list reply at all (a text for the user): passed on as it is.
    out.reply = std::string(reply);
    return out;
  }
  OrderedFields fields = ParseOrderedFields(reply.substr(start + kPrefix.size()));
  if (const std::string* status = FindField(fields, "status")) out.status = *status;
  const std::string* dbdata = FindField(fields, "dbdata");
  if (dbdata == nullptr) {
    out.reply = std::string(reply);
    return out;
  }
  const std::string* rowsText = FindField(fields, "rows");
  const std::string* colsText = FindField(fields, "cols");
  const uint64_t rows = rowsText ? Decimal(*rowsText, 100000).value_or(~0ull) : ~0ull;
  const uint64_t cols = colsText ? Decimal(*colsText, 64).value_or(0) : 0;
  const std::vector<std::string> cells = Cells(*dbdata);
  // Rows that cannot be read are passed on as they are when there is
  // nothing to judge them by, and refused when there is.
  auto unreadable = [&]() -> std::optional<ListRelay> {
    if (approved) return std::nullopt;
    out.listed.clear();
    out.reply = std::string(reply);
    return out;
  };
  if (cols < 1 || rows > 100000 || cells.size() != rows * cols) return unreadable();
  std::string kept;
  uint64_t keptRows = 0;
  for (size_t r = 0; r < rows; ++r) {
    const auto id = ParseTableId(cells[r * cols]);
    if (!id) return unreadable();
    if (approved && !approved->count(*id)) continue;
    out.listed.push_back(*id);
    for (size_t c = 0; c < cols; ++c) {
      if (!kept.empty() || c > 0 || keptRows > 0) kept += ';';
      kept += cells[r * cols + c];
    }
    ++keptRows;
  }
  if (!approved) {
    out.reply = std::string(reply);
    return out;
  }
  for (auto& [name, value] : fields) {
    if (name == "rows") value = std::to_string(keptRows);
    if (name == "dbdata") value = kept;
  }
  out.reply = std::string(reply.substr(0, start)) + std::string(kPrefix) + EncodeOrderedFields(fields);
  return out;
}

bool ReadFileHeader(std::string_view text, UpstreamFileHeader& h, std::string& why) {
  h = UpstreamFileHeader();
  h.fields = ParseOrderedFields(text);
  auto get = [&h](const char* name) { return FindField(h.fields, name); };
  if (const std::string* v = get("code")) h.code = *v;
  if (const std::string* v = get("status")) h.status = *v;
  if (const std::string* v = get("updateversion")) h.updateVersion = *v;
  if (!h.Accepted()) return true;
  const std::string* length = get("downloadlength");
  const auto n = length ? Decimal(*length, kMaxArchiveSize) : std::nullopt;
  if (!n) {
    why = "no downloadlength of at most 2147483647 bytes";
    return false;
  }
  h.length = *n;
  if (const std::string* pos = get("filepos")) {
    const auto p = Decimal(*pos, h.length);
    if (!p) {
      why = "a filepos that is not a position in the archive";
      return false;
    }
    h.filepos = *p;
  }
  if (h.updateVersion.size() > 256) {
    why = "an updateversion of more than 256 characters";
    return false;
  }
  const std::string* resume = get("resume");
  h.resume = resume && *resume == "1";
  if (const std::string* sha = get("sha256")) {
    if (sha->size() != 64 || !IsLowerHex(*sha)) {
      why = "a sha256 that is not 64 lowercase hex digits";
      return false;
    }
    h.sha256 = *sha;
  }
  return true;
}

std::string ClientFileHeader(const UpstreamFileHeader& upstream, uint64_t filepos, uint64_t length,
                             const std::string& sha256) {
  OrderedFields fields;
  bool hasPos = false, hasLength = false;
  for (const auto& [name, value] : upstream.fields) {
    if (name == "resume" || name == "sha256") continue;
    if (name == "filepos") {
      if (hasPos) continue;
      hasPos = true;
      fields.emplace_back(name, std::to_string(filepos));
    } else if (name == "downloadlength") {
      if (hasLength) continue;
      hasLength = true;
      fields.emplace_back(name, std::to_string(length));
    } else {
      fields.emplace_back(name, value);
    }
  }
  if (!hasPos) fields.emplace_back("filepos", std::to_string(filepos));
  if (!hasLength) fields.emplace_back("downloadlength", std::to_string(length));
  if (!sha256.empty()) {
    fields.emplace_back("resume", "1");
    fields.emplace_back("sha256", sha256);
  }
  return "GetUpgradeFile" + EncodeOrderedFields(fields);
}

bool SameArchive(const ArchiveMeta& held, const UpstreamFileHeader& reply) {
  if (!reply.sha256.empty()) return !held.sha256.empty() && held.sha256 == reply.sha256 && held.length == reply.length;
  return held.updateVersion == reply.updateVersion && held.length == reply.length;
}

UpstreamResumeAsk PlanUpstreamResume(const ArchiveMeta* held, UpstreamResumes resumes) {
  UpstreamResumeAsk ask;
  if (held == nullptr || !held->shaFromUpstream || held->sha256.empty() || resumes == UpstreamResumes::kNo) return ask;
  ask.ask = true;
  ask.from = held->length;
  ask.sha256 = held->sha256;
  return ask;
}

HeaderVerdict JudgeHeader(const UpstreamFileHeader& reply, bool heldMatches) {
  if (!reply.Accepted()) return HeaderVerdict::kRelayHeader;
  if (heldMatches) return HeaderVerdict::kServeHeld;
  if (reply.filepos == 0) return HeaderVerdict::kFetch;
  return HeaderVerdict::kBad;
}

}  // namespace quon::server
