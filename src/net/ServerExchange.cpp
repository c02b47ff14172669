// One request/reply exchange with the update server and the chunked
// download of a file. Both run the same exchange: session, `code`, body,
// connection, the send loop with the proxy prompt, the final status; only
// the reading of the reply differs. A failure is a value, and what the user
// sees of it is decided in one place, once.
#include "net/ServerExchange.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "base/SystemError.h"
#include "base/Trace.h"
#include "net/ArchiveDigest.h"
#include "net/DownloadTarget.h"
#include "net/PayloadCodec.h"
#include "net/ReplyReader.h"

namespace quon {
namespace {

constexpr char kContentType[] = "Content-Type: application/x-quon-encoded";
constexpr char kLogonFailed565[] = "Logon Failed.  Error #565";
constexpr size_t kReplyPiece = 5000;
constexpr int32_t kFirstReplyCapacity = 5010;
constexpr size_t kBytesCountHeader = 14;
constexpr uint32_t kReadBufferSize = 4096;
constexpr size_t kDataBlock = 10000;
constexpr int kBlocksPerProgressUpdate = 10;
constexpr char kAccepted[] = "ACCEPTED";
constexpr char kTryingAgain[] = "The connection was lost. Trying again...";
constexpr char kReplyDoesNotFit[] =
    "The server's reply does not fit the part of the file already downloaded. The download was stopped.";
constexpr char kLongerThanStated[] = "The server sent more data than the file's length. The download was stopped.";
constexpr char kDigestMismatch[] =
    "The downloaded file does not match the checksum the server gave for it. It was deleted; please download the "
    "update again.";

std::string LogonFailed570(uint32_t status) {
  char text[96];
  std::snprintf(text, sizeof text, "Logon Failed. Error code=%lu\r\n  Error #570", static_cast<unsigned long>(status));
  return text;
}

std::string StatusDetail(uint32_t status) {
  char text[32];
  std::snprintf(text, sizeof text, " %lu ", static_cast<unsigned long>(status));
  return text;
}

bool Status2xx(uint32_t status) { return status >= 200 && status <= 299; }

// The C library's decimal conversion (optional white space and sign, then
// the leading digits; none give 0), saturating instead of overflowing.
int64_t DecimalValue(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < (INT64_MAX - 9) / 10) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

// ---- one call's context -------------------------------------------------

// What the user is told when a call fails.
// A failure with an empty text shows nothing (the caller tells why). A cut
// is a transfer that broke off (a reset, a reply short of its length, a
// connection that could not be made, the stall rule): a download that had
// begun its data may try again.
struct Failure {
  std::string text;
  MsgIcon icon;
  bool cut = false;
};

struct Call {
  Call(const char* name, UserPrompts& prompts, const ServerCall& call, FieldMap& fields, std::atomic<uint32_t>& error,
       const CancelFlag* cancel)
      : name(name), prompts(prompts), call(call), fields(fields), error(error), cancel(cancel) {}

  std::string Text(const char* suffix) const { return std::string(name) + suffix; }
  void CheckCancel() const {
    if (cancel && cancel->IsCancelled()) throw CancelledException();
  }

  // The failure an exception of the request or the reading stands for:
  // traced, with an Internet error code kept. Called inside a catch block;
  // the abandonment passes through.
  Failure FromException(const char* traceSuffix) {
    std::string message;
    bool cut = false;
    try {
      throw;
    } catch (const CancelledException&) {
      throw;
    } catch (const InternetException& e) {
      message = e.what();
      cut = true;
      error.store(e.Code());
    } catch (const std::bad_alloc&) {
      message = "Out of memory.";
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
      message = "An unknown error occurred.";
    }
    TraceMessage(Text(traceSuffix), std::string_view(message).substr(0, 99));
    return Failure{message, MsgIcon::Stop, cut};
  }

  // The failure of a call that ended without an exception: the server's own
  // text when it answered with one, else the standard logon failure.
  Failure StatusFailure() const {
    if (!Status2xx(status)) return Failure{LogonFailed570(status), MsgIcon::Exclamation};
    return Failure{replyText.empty() ? std::string(kLogonFailed565) : replyText, MsgIcon::Exclamation};
  }

  // Ends the request and the connection (the session stays until the end).
  void Close() {
    request.reset();
    connection.reset();
  }

  const char* name;
  UserPrompts& prompts;
  const ServerCall& call;
  FieldMap& fields;
  std::atomic<uint32_t>& error;
  const CancelFlag* cancel;

  // Working values.
  std::unique_ptr<HttpSession> session;
  std::unique_ptr<HttpConnection> connection;
  std::unique_ptr<HttpRequest> request;
  std::string code;
  std::string body;
  std::string path;
  std::string replyText;
  uint32_t status = 0;
};

using MaybeFailure = std::optional<Failure>;

// Runs `step` unless the call was abandoned; false when it did not run.
template <class Step>
bool RunStep(const CancelFlag* cancel, Step&& step) {
  if (cancel) return cancel->RunUnlessCancelled(step);
  step();
  return true;
}

// `code`, `VI` and the body; the request fields are gone from the map
// afterwards.
MaybeFailure BuildBody(Call& c) {
  try {
    CrtSeed(static_cast<uint32_t>(std::time(nullptr)));
    c.code = std::to_string(CrtRand() % 9999 + 1);
    c.fields.Set("code", c.code);
    c.fields.Set("VI", "2");
    c.body = c.call.prefix + EncodeFields(c.fields, c.call.scrambleRequest);
    c.fields.Clear();
    return std::nullopt;
  } catch (...) {
    c.fields.Clear();
    return c.FromException(": <<FAILED>> Exception(2):");
  }
}

// Reads the proxy's answer to the end before the request goes out again. A
// proxy that refuses may close without reading the body: the end of that
// answer, however it comes, is only the end of the draining.
void DrainProxyAnswer(Call& c) {
  try {
    char discard[4096];
    while (c.request->Read(discard, sizeof discard) != 0) {
    }
  } catch (const InternetException& e) {
    TraceMessage(c.Text(": proxy answer ended:"), e.what());
  }
  c.request.reset();
}

// Opens the request and sends it; true when the reply's status is in, false
// when no request could be opened.
bool SendOnce(Call& c) {
  TraceMessage(c.Text(": OpenRequest"), c.path);
  c.CheckCancel();
  const uint32_t secure = c.call.secure ? inet::kFlagSecure : 0;
  c.request = c.connection->OpenRequest(
      "POST", c.path, "HTTP/1.0", inet::kFlagReload | inet::kFlagNoCacheWrite | inet::kFlagKeepConnection | secure);
  if (!c.request) {
    TraceMessage(c.Text(": OpenRequest <<FAILED>>"));
    return false;
  }
  TraceMessage(c.Text(": SendRequest"));
  c.request->Send(kContentType, c.body);
  c.status = c.request->QueryStatusCode();
  TraceMessage(c.Text("(455): QueryInfoStatusCode:"), StatusDetail(c.status));
  return true;
}

// True when the proxy asked for credentials and the user gave them: the
// request is to be sent again.
bool RetryWithProxyCredentials(Call& c) {
  if (c.status != inet::kStatusProxyAuthReq) return false;
  TraceMessage(c.Text(": ErrorDlg for HTTP_STATUS_PROXY_AUTH_REQ"));
  c.CheckCancel();
  const uint32_t answer = c.request->ProxyAuthDialog();
  TraceMessage(c.Text("(464): ErrorDlg return code:"), StatusDetail(answer));
  if (answer != inet::kErrorForceRetry) return false;
  TraceMessage(c.Text("(467): ErrorDlg ERROR_INTERNET_FORCE_RETRY"));
  DrainProxyAnswer(c);
  return true;
}

// The connection, the request, the send loop with the proxy prompt and the
// final status. An exception leaves nothing sent.
MaybeFailure SendRequest(Call& c) {
  try {
    TraceMessage(c.Text(": GetHttpConnection"), c.call.server);
    c.CheckCancel();
    c.connection = c.session->Connect(c.call.server, c.call.port);
    if (!c.connection) {
      TraceMessage(c.Text(": GetHttpConnection <<FAILED>>"));
      return c.StatusFailure();
    }
    c.path = c.call.object;
    if (c.call.query) c.path += "?" + *c.call.query;
    do {
      if (!SendOnce(c)) return c.StatusFailure();
    } while (RetryWithProxyCredentials(c));
    TraceMessage(c.Text(" (502): QueryInfoStatusCode:"), StatusDetail(c.status));
    return std::nullopt;
  } catch (...) {
    c.Close();
    c.status = 0;
    return c.FromException(": <<FAILED>>(Possible:Internet not connected) Exception(1):");
  }
}

// The first capacity of the buffer a reply is read into: its stated length
// (within the bound) and a piece more, so that a reply that states its
// length is read without growing the buffer.
int32_t FirstReplyCapacity(HttpRequest& reply, int32_t holding) {
  const std::optional<uint64_t> stated = reply.ContentLength();
  if (!stated) return holding + kFirstReplyCapacity;
  return static_cast<int32_t>(std::min<uint64_t>(*stated, kMaxReplyTextBytes)) + kFirstReplyCapacity;
}

// Reads the rest of a reply into a ReplyBuffer that already holds `total`
// bytes, in pieces of at most 5000 bytes with at least 5000 bytes free
// before each read; bounded by kMaxReplyTextBytes. Returns the reply text,
// which lies in `buffer`.
std::string_view ReadReplyText(HttpRequest& request, ReplyBuffer& buffer, int32_t total, int32_t wanted,
                               const Call& c) {
  for (;;) {
    char* data = buffer.Reserve(wanted);
    size_t got = request.Read(data + total, kReplyPiece);
    if (got == 0) break;
    total += static_cast<int32_t>(got);
    if (static_cast<size_t>(total) > kMaxReplyTextBytes) throw ReplyTooLarge();
    if (wanted - total < static_cast<int32_t>(kReplyPiece)) {
      // Grow geometrically (never by less than a piece), so a long reply
      // costs few copies.
      wanted += std::max<int32_t>(static_cast<int32_t>(kReplyPiece), wanted / 2);
    }
    c.CheckCancel();
  }
  char* data = buffer.Reserve(total + 1);
  data[total] = '\0';
  const void* nul = std::memchr(data, '\0', static_cast<size_t>(total));
  return std::string_view(data, nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : total);
}

// What a call keeps of a reply's text, for the user's message: its start.
// The message shows less than that (BoundedMessage), and the fields are
// read from the reply itself, so a reply of megabytes is not held twice.
std::string KeptReplyText(std::string_view text) { return std::string(text.substr(0, kMaxKeptReplyText)); }

bool HasCode(const FieldMap& fields, const std::string& code) {
  const std::string* value = fields.Find("code");
  return value && *value == code;
}

// One exchange: the session, the body, the request; then `readReply` reads
// a reply with a 2xx status. Every failure comes back as a value, and the
// user is told it here, once (unless the call is silent).
using ReplyStep = std::function<MaybeFailure(Call&)>;

MaybeFailure Exchange(Call& c, HttpClient& http, const ReplyStep& readReply) {
  c.session = http.OpenSession(c.call.agent, c.cancel);
  if (!c.session) {
    TraceMessage(c.Text(": InternetOpen <<FAILED>>"));
    return c.StatusFailure();
  }
  if (MaybeFailure failure = BuildBody(c)) return failure;
  if (MaybeFailure failure = SendRequest(c)) return failure;
  if (!Status2xx(c.status)) return c.StatusFailure();
  return readReply(c);
}

int RunCall(Call& c, HttpClient& http, const ReplyStep& readReply) {
  try {
    c.error.store(0);
    const MaybeFailure failure = Exchange(c, http, readReply);
    c.Close();
    if (failure && !c.call.silent) {
      // An abandoned call shows nothing more.
      c.CheckCancel();
      c.prompts.MessageBox(failure->text, MsgButtons::Ok, failure->icon);
    }
    c.session.reset();
    return failure ? 0 : 1;
  } catch (const CancelledException&) {
    return 0;
  }
}

// The plain reply: the prefix (after any line ends) and the fields, which
// must carry the request's code.
MaybeFailure ReadFieldsReply(Call& c) {
  ReplyBuffer buffer;
  std::string_view text;
  try {
    ReplyReader reader(*c.request, nullptr);
    text = ReadReplyText(reader, buffer, 0, FirstReplyCapacity(reader, 0), c);
    c.replyText = KeptReplyText(text);
  } catch (...) {
    c.replyText.clear();
    c.Close();
    return c.FromException(": <<FAILED>> Exception(2):");
  }
  c.Close();
  try {
    const size_t start = text.find_first_not_of("\r\n");
    text.remove_prefix(start == std::string::npos ? text.size() : start);
    if (text.substr(0, c.call.prefix.size()) != c.call.prefix) return c.StatusFailure();
    text.remove_prefix(c.call.prefix.size());
    DecodeFields(text, c.fields, c.call.unscrambleReply);
  } catch (const std::bad_alloc&) {
    return c.FromException(": <<FAILED>> Exception(2):");
  }
  if (!HasCode(c.fields, c.code)) return c.StatusFailure();
  return std::nullopt;
}

void ShowProgress(ProgressDisplay& display, int64_t written, int64_t length) {
  char text[96];
  if (length > 0) {
    int64_t percent = std::clamp<int64_t>(written * 100 / length, 0, 100);
    std::snprintf(text, sizeof text, "%" PRId64 " KB  of  %" PRId64 " KB", written / 1000, length / 1000);
    display.SetDetailText(text);
    display.SetProgressPos(static_cast<int>(percent));
  } else {
    // The server did not state a usable length: count only.
    std::snprintf(text, sizeof text, "%" PRId64 " KB", written / 1000);
    display.SetDetailText(text);
  }
}

// What a download carries from one attempt to the next.
struct ResumeState {
  int retries = 0;         // attempts made after the first
  bool dataBegan = false;  // an accepted reply's data began to be written
  int64_t held = 0;        // the file's bytes from its start, as received
  ArchiveDigest digest;    // of exactly those bytes, while digestValid
  bool digestValid = true;
  bool resumable = false;      // the latest reply announced `resume` with a `sha256`
  std::string sha256;          // the latest reply's
  bool askedToResume = false;  // this attempt sent `resumefrom` = held
  int64_t blocks = 0;
};

// Where a download goes and what it reports.
struct FileTarget {
  const std::string& path;
  std::atomic<int32_t>& bytesWritten;
  ProgressDisplay* display;
  ResumeState& resume;
  const ReplyCheck& acceptReply;
};

// The position an attempt's data may start at: the file's start, or (when
// it was asked to resume) exactly the bytes held. A reply with `sha256`
// must start where the digest covers what comes before, and a resumed one
// carries the `sha256` it was asked with, so that the assembled file is
// checked against it.
bool FitsHeldData(const ResumeState& r, int64_t filepos, int64_t downloadlength, const std::string* sha) {
  if (r.retries > 0 && filepos > 0 && !(r.askedToResume && filepos == r.held && sha && *sha == r.sha256)) return false;
  if (sha && filepos > 0 && !(r.retries > 0 && r.digestValid)) return false;
  return downloadlength <= 0 || filepos <= downloadlength;
}

// The file data after the header: written to the target in blocks of
// kDataBlock bytes from `filepos` on, the progress shown every tenth block,
// never beyond the stated length (a length of 0 or less, or none, states
// nothing); a reply that ends short of it is a cut. Checked against the
// reply's `sha256` once complete.
MaybeFailure WriteFileData(Call& c, HttpRequest& reply, const FileTarget& target) {
  ResumeState& r = target.resume;
  const std::string* pos = c.fields.Find("filepos");
  const std::string* len = c.fields.Find("downloadlength");
  const std::string* status = c.fields.Find("status");
  const std::string* sha = c.fields.Find("sha256");
  const std::string* resume = c.fields.Find("resume");
  const int64_t filepos = pos ? DecimalValue(*pos) : 0;
  const int64_t downloadlength = len ? DecimalValue(*len) : -1;
  const bool accepted = status && *status == kAccepted;

  // A later attempt that is refused is the caller's to tell, as the first
  // would be; nothing of it is written.
  if (r.retries > 0 && !accepted) return std::nullopt;
  if (target.acceptReply && !target.acceptReply(c.fields)) return Failure{std::string(), MsgIcon::Stop};
  if (!FitsHeldData(r, filepos, downloadlength, sha)) return Failure{kReplyDoesNotFit, MsgIcon::Stop};
  r.resumable = resume && *resume == "1" && sha && IsSha256Hex(*sha);
  r.sha256 = r.resumable ? *sha : std::string();
  const int64_t start = std::max<int64_t>(filepos, 0);
  // The display counts the whole file across attempts.
  const int64_t shownBase = r.retries > 0 ? start : 0;

  if (target.display) {
    target.display->SetStatusText("Downloading file...");
    target.display->SetDetailText("");
    target.display->ShowProgressBar(0, 100);
    if (shownBase > 0) ShowProgress(*target.display, shownBase, downloadlength);
  }
  DownloadTarget file;
  FsError openError = FsError::None;
  if (!RunStep(c.cancel, [&] { openError = file.Open(target.path, filepos <= 0); })) throw CancelledException();
  if (openError != FsError::None) return Failure{FileErrorMessage(FileCauseOf(openError), target.path), MsgIcon::Stop};
  if (filepos > 0) file.Seek(filepos);
  if (start == 0) {
    r.digest.Reset();
    r.digestValid = true;
  } else if (start != r.held) {
    r.digestValid = false;  // a first reply that starts inside the file
  }
  r.held = start;
  if (accepted) r.dataBegan = true;

  std::vector<char> block(kDataBlock);
  int64_t written = 0;
  for (;;) {
    // A block is full unless the reply ends, as with a blocking read of
    // the whole block size.
    const size_t got = ReadExactly(reply, block.data(), kDataBlock);
    if (got == 0) break;
    if (downloadlength > 0 && start + written + static_cast<int64_t>(got) > downloadlength) {
      return Failure{kLongerThanStated, MsgIcon::Stop};
    }
    if (!RunStep(c.cancel, [&] { file.Write(block.data(), got); })) throw CancelledException();
    r.digest.Update(block.data(), got);
    written += static_cast<int64_t>(got);
    r.held = start + written;
    target.bytesWritten.store(static_cast<int32_t>(std::min<int64_t>(shownBase + written, INT32_MAX)));
    if (++r.blocks % kBlocksPerProgressUpdate == 0 && target.display)
      ShowProgress(*target.display, shownBase + written, downloadlength);
  }
  if (!RunStep(c.cancel, [&] { file.Finish(filepos > 0, static_cast<uint64_t>(start + written)); })) {
    throw CancelledException();
  }
  if (downloadlength > 0 && start + written < downloadlength) {
    char text[160];
    std::snprintf(text, sizeof text, "The download was cut short: %" PRId64 " of %" PRId64 " bytes arrived.",
                  start + written, downloadlength);
    return Failure{text, MsgIcon::Stop, true};
  }
  if (sha && !(r.digestValid && r.digest.HexDigest() == *sha)) {
    TraceMessage(c.Text(": sha256 does not match"));
    if (!RunStep(c.cancel, [&] { file.Discard(); })) throw CancelledException();
    r.held = 0;
    return Failure{kDigestMismatch, MsgIcon::Stop};
  }
  return std::nullopt;
}

// The file reply: "BytesCount", the header's length (four bytes, least
// significant first), the header (prefix and fields with the request's
// code), then the file data. Anything else is the server's message.
MaybeFailure ReadFileReply(Call& c, HttpRequest& reply, const FileTarget& target) {
  char head[kBytesCountHeader] = {};
  const size_t n = ReadExactly(reply, head, kBytesCountHeader);
  if (n < 10 || std::memcmp(head, "BytesCount", 10) != 0) {
    const int32_t wanted = FirstReplyCapacity(reply, static_cast<int32_t>(n));
    ReplyBuffer buffer(wanted);
    std::memcpy(buffer.Data(), head, n);
    c.replyText = KeptReplyText(ReadReplyText(reply, buffer, static_cast<int32_t>(n), wanted, c));
    return c.StatusFailure();
  }
  if (n != kBytesCountHeader) return c.StatusFailure();
  const auto* b = reinterpret_cast<const unsigned char*>(head) + 10;
  const uint32_t length = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  if (length > kMaxFileHeaderBytes) throw ReplyTooLarge();
  std::vector<char> header(static_cast<size_t>(length) + 1, '\0');
  if (ReadExactly(reply, header.data(), length) != length) return c.StatusFailure();
  const void* nul = std::memchr(header.data(), '\0', length);
  const std::string_view text(header.data(), nul ? static_cast<size_t>(static_cast<const char*>(nul) - header.data())
                                                 : static_cast<size_t>(length));
  c.replyText = KeptReplyText(text);
  if (text.substr(0, c.call.prefix.size()) != c.call.prefix) return c.StatusFailure();
  DecodeFields(text.substr(c.call.prefix.size()), c.fields, c.call.unscrambleReply);
  if (!HasCode(c.fields, c.code)) return c.StatusFailure();
  return WriteFileData(c, reply, target);
}

MaybeFailure ReceiveFile(Call& c, const FileTarget& target) {
  try {
    ReplyReader reply(*c.request, target.display);
    reply.SetReadBufferSize(kReadBufferSize);
    return ReadFileReply(c, reply, target);
  } catch (...) {
    c.Close();
    return c.FromException(": <<FAILED>> Exception(2):");
  }
}

int DirectImpl(HttpClient& http, UserPrompts& prompts, const ServerCall& call, FieldMap& fields,
               std::atomic<uint32_t>& error, const CancelFlag* cancel) {
  Call c("InternetCall_Function_Direct", prompts, call, fields, error, cancel);
  return RunCall(c, http, ReadFieldsReply);
}

// One attempt of a download. A stall that cut it comes back as a silent
// cut; an abandonment passes through.
MaybeFailure RunFileAttempt(Call& c, HttpClient& http, const FileTarget& target) {
  try {
    c.error.store(0);
    MaybeFailure failure = Exchange(c, http, [&target](Call& call) { return ReceiveFile(call, target); });
    c.Close();
    c.session.reset();
    return failure;
  } catch (const CancelledException&) {
    if (c.cancel && !c.cancel->IsAbandoned() && c.cancel->TakeCut()) {
      TraceMessage(c.Text(": the download stalled"));
      return Failure{std::string(), MsgIcon::Stop, true};
    }
    throw;
  }
}

// The download and its retries, all in one call: a transfer cut once its
// data began is asked for again after a pause, with `resumefrom` and
// `sha256` when the latest reply announced `resume` (never otherwise, so a
// server that did not announce it never sees them). Only the last failure
// is shown.
int GetFileImpl(HttpClient& http, UserPrompts& prompts, const ServerCall& call, FieldMap& fields,
                std::atomic<uint32_t>& error, const std::string& filePath, std::atomic<int32_t>& bytesWritten,
                ProgressDisplay* dialog, const CancelFlag* cancel, const DownloadOptions& options) {
  bytesWritten.store(0);
  const FieldMap request = fields;
  const RetryPolicy& policy = options.retry;
  ResumeState resume;
  for (;;) {
    if (cancel) cancel->TakeCut();
    Call c("InternetCall_Function_GetFile", prompts, call, fields, error, cancel);
    const FileTarget target{filePath, bytesWritten, dialog, resume, options.acceptReply};
    MaybeFailure failure;
    try {
      failure = RunFileAttempt(c, http, target);
    } catch (const CancelledException&) {
      return 0;
    }
    if (!failure) return 1;
    if (failure->cut && resume.dataBegan && resume.retries < policy.maxRetries) {
      const double factor = policy.jitter ? policy.jitter() : RandomRetryFactor();
      const std::chrono::milliseconds delay = RetryDelay(policy, resume.retries, factor);
      TraceMessage("InternetCall_Function_GetFile: cut, trying again after ms:", static_cast<int64_t>(delay.count()));
      if (dialog) dialog->SetStatusText(kTryingAgain);
      const bool waited = policy.pause ? policy.pause(delay, cancel) : PauseUnlessAbandoned(delay, cancel);
      if (!waited || (cancel && cancel->IsAbandoned())) return 0;
      ++resume.retries;
      fields = request;
      resume.askedToResume = resume.resumable;
      if (resume.resumable) {
        fields.Set("resumefrom", std::to_string(resume.held));
        fields.Set("sha256", resume.sha256);
      }
      continue;
    }
    // An abandoned call shows nothing more.
    if (failure->text.empty() || call.silent || (cancel && cancel->IsAbandoned())) return 0;
    prompts.MessageBox(failure->text, MsgButtons::Ok, failure->icon);
    return 0;
  }
}

}  // namespace

int RunDirectCall(HttpClient& http, UserPrompts& prompts, InternetCallArgs& args, const CancelFlag* cancel) {
  return DirectImpl(http, prompts, args.call, args.fields, args.error, cancel);
}

int RunFileCall(HttpClient& http, UserPrompts& prompts, InternetCallArgs& args, ProgressDisplay* progress,
                const CancelFlag* cancel) {
  return GetFileImpl(http, prompts, args.call, args.fields, args.error, args.filePath, args.bytesWritten, progress,
                     cancel, args.options);
}

size_t ReadExactly(HttpRequest& request, void* buffer, size_t n) {
  size_t total = 0;
  auto* out = static_cast<char*>(buffer);
  while (total < n) {
    size_t got = request.Read(out + total, n - total);
    if (got == 0) break;
    total += got;
  }
  return total;
}

int InternetCall_Function_Direct(HttpClient& http, UserPrompts& prompts, const ServerCall& call, FieldMap& fields,
                                 uint32_t* errorOut, const CancelFlag* cancel) {
  std::atomic<uint32_t> error{0};
  if (errorOut) *errorOut = 0;
  int result = DirectImpl(http, prompts, call, fields, error, cancel);
  if (errorOut) *errorOut = error.load();
  return result;
}

int InternetCall_Function_GetFile(HttpClient& http, UserPrompts& prompts, const ServerCall& call, FieldMap& fields,
                                  uint32_t* errorOut, const std::string& filePath, int32_t* bytesWritten,
                                  ProgressDisplay* dialog, const CancelFlag* cancel, const DownloadOptions* options) {
  std::atomic<uint32_t> error{0};
  std::atomic<int32_t> written{0};
  if (errorOut) *errorOut = 0;
  if (bytesWritten) *bytesWritten = 0;
  const DownloadOptions defaults;
  int result =
      GetFileImpl(http, prompts, call, fields, error, filePath, written, dialog, cancel, options ? *options : defaults);
  if (errorOut) *errorOut = error.load();
  if (bytesWritten) *bytesWritten = written.load();
  return result;
}

}  // namespace quon
