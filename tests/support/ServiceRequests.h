// The updater's two requests as the reference server receives them, built
// with the wire-format code, and the file reply it must send back.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/BuildConfig.h"
#include "net/FieldMap.h"
#include "net/PayloadCodec.h"

namespace quon::test {

using Fields = std::vector<std::pair<std::string, std::string>>;

// The function's name followed by the scrambled fields text.
inline std::string RequestBody(const std::string& function, const Fields& fields) {
  FieldMap map;
  for (const auto& [name, value] : fields) map.Set(name, value);
  return function + EncodeFields(map, true);
}

// The installation identity as the updater sends it.
struct Installation {
  std::string keyId = "1234";
  std::string keyType = "std";
  std::string keyVersion = "6";
};

inline std::string ListBody(const std::string& version, const std::string& code = "77", const Installation& who = {}) {
  return RequestBody("GetUpgradeList", {{"code", code},
                                        {"VI", "2"},
                                        {"KeyID", who.keyId},
                                        {"KeyType", who.keyType},
                                        {"KeyVersion", who.keyVersion},
                                        {"updateversion", version},
                                        {"DB", "usermt"}});
}

inline std::string FileBody(const std::string& tableId, const std::string& version, const std::string& code = "4711",
                            const Installation& who = {}) {
  return RequestBody("GetUpgradeFile", {{"code", code},
                                        {"VI", "2"},
                                        {"KeyID", who.keyId},
                                        {"KeyType", who.keyType},
                                        {"KeyVersion", who.keyVersion},
                                        {"updateversion", version},
                                        {"TableID", tableId},
                                        {"DB", "usermt"}});
}

inline std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// A POST to the service page as raw HTTP/1.0, for clients on sockets of
// their own.
inline std::string RawPost(const std::string& query, const std::string& body) {
  return "POST " + std::string(kUpdatePath) + (query.empty() ? "" : "?" + query) +
         " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The SHA-256 of the bytes, lowercase hex, as the file replies give it.
inline std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// BytesCount, the header's length, the header text, then the archive from
// `filepos` on, as quon-update-server sends it: the fields an old updater
// reads, then (from a server that resumes) `resume` and `sha256`.
inline std::string FileReplyBytes(const std::string& code, const std::string& brings, const std::string& archive,
                                  size_t filepos = 0, bool resumes = true) {
  std::string header = "GetUpgradeFilecode=" + PercentEncode(code) +
                       "&status=ACCEPTED&updateversion=" + PercentEncode(brings) +
                       "&filepos=" + std::to_string(filepos) + "&downloadlength=" + std::to_string(archive.size());
  if (resumes) header += "&resume=1&sha256=" + Sha256Hex(archive);
  return "BytesCount" + Le32(static_cast<uint32_t>(header.size())) + header + archive.substr(filepos);
}

// The update numbers a plain list reply offers, in its order.
inline std::vector<std::string> OfferedIds(const std::string& listReply) {
  FieldMap fields;
  if (listReply.size() > 14) DecodeFields(std::string_view(listReply).substr(14), fields, false);
  std::vector<std::string> cells, ids;
  SplitFields(fields.Get("dbdata"), cells, ";");
  for (size_t i = 0; i + 3 < cells.size(); i += 4) ids.push_back(cells[i]);
  return ids;
}

}  // namespace quon::test
