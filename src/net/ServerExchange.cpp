// One request/reply exchange with the update server and the chunked
// download of a file. Both share the request phase: session, `code`, body,
// connection, the send loop with the proxy prompt, the final status. What
// the user sees of a failure is decided in one place per call, once.
#include "net/ServerExchange.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <new>
#include <vector>

#include "net/PayloadCodec.h"
#include "base/SystemError.h"
#include "base/Trace.h"

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

// Text handling of a reply ends at its first NUL byte.
std::string TextUpToNul(const char* data, size_t length) {
  const void* nul = std::memchr(data, '\0', length);
  return std::string(data, nul ? static_cast<const char*>(nul) - data : length);
}

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

// ---- the local file ---------------------------------------------------

class FileException : public std::runtime_error {
 public:
  FileException(FileCause cause, const std::string& path) : std::runtime_error(FileErrorMessage(cause, path)) {}
};

// The downloaded file: unbuffered, so that every block is in the file once
// its write returns and nothing is left to flush after an abandonment.
class DownloadFile {
 public:
  ~DownloadFile() {
    if (m_file) std::fclose(m_file);
  }
  // Returns 0 or the errno of the failure.
  int Open(const std::string& path, bool truncate) {
    m_path = path;
    if (truncate) {
      m_file = std::fopen(path.c_str(), "wb");
    } else {
      m_file = std::fopen(path.c_str(), "r+b");
      if (!m_file && errno == ENOENT) m_file = std::fopen(path.c_str(), "w+b");
    }
    if (!m_file) return errno ? errno : EIO;
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    return 0;
  }
  void Seek(int64_t position) {
    if (position > static_cast<int64_t>(LONG_MAX) || std::fseek(m_file, static_cast<long>(position), SEEK_SET) != 0)
      throw FileException(FileCause::BadSeek, m_path);
  }
  void Write(const char* data, size_t n) {
    errno = 0;
    if (std::fwrite(data, 1, n, m_file) != n) throw FileException(FileCauseOf(errno ? errno : EIO), m_path);
  }
  // Closes the file and, when the data started inside it, cuts it to
  // `length` (a new or truncated file already ends there).
  void Finish(bool setLength, uint64_t length) {
    int failed = std::fclose(m_file);
    int error = errno;
    m_file = nullptr;
    if (failed != 0) throw FileException(FileCauseOf(error ? error : EIO), m_path);
    if (setLength) {
      std::error_code ec;
      std::filesystem::resize_file(std::filesystem::path(m_path), length, ec);
      if (ec) throw FileException(FileCauseOf(ec.value()), m_path);
    }
  }

 private:
  std::FILE* m_file = nullptr;
  std::string m_path;
};

// ---- one call's context -------------------------------------------------

class ReplyTooLarge : public std::runtime_error {
 public:
  ReplyTooLarge() : std::runtime_error("The server's reply is too large to be read.") {}
};

std::string CutShortText(uint64_t received, uint64_t stated) {
  char text[128];
  std::snprintf(text, sizeof text, "The server's reply was cut short: %llu of %llu bytes arrived.",
                static_cast<unsigned long long>(received), static_cast<unsigned long long>(stated));
  return text;
}

// The reply as the exchange reads it: counts the bytes, tells the wait
// dialog that data arrived, and at the end holds the count against the
// length the server stated. A reply cut short is then a failure of the
// reading phase on every transport, whatever the transport made of it.
class ReplyReader final : public HttpRequest {
 public:
  ReplyReader(HttpRequest& request, ProgressDisplay* display)
      : m_request(request), m_display(display), m_stated(request.ContentLength()) {}

  void Send(std::string_view headers, std::string_view body) override { m_request.Send(headers, body); }
  uint32_t QueryStatusCode() override { return m_request.QueryStatusCode(); }
  std::optional<uint64_t> ContentLength() override { return m_stated; }
  uint32_t ProxyAuthDialog() override { return m_request.ProxyAuthDialog(); }
  void SetReadBufferSize(uint32_t bytes) override { m_request.SetReadBufferSize(bytes); }
  size_t Read(void* buffer, size_t n) override {
    size_t got = m_request.Read(buffer, n);
    if (got > 0) {
      m_received += got;
      if (m_display) m_display->DataReceived();
    } else if (n > 0 && m_stated && m_received < *m_stated) {
      throw InternetException(inet::kErrorConnectionAborted, CutShortText(m_received, *m_stated));
    }
    return got;
  }

 private:
  HttpRequest& m_request;
  ProgressDisplay* m_display;
  std::optional<uint64_t> m_stated;
  uint64_t m_received = 0;
};

struct Call {
  Call(const char* name, UserPrompts& prompts, const ServerCall& call, FieldMap& fields,
       std::atomic<uint32_t>& error, const CancelFlag* cancel)
      : name(name), prompts(prompts), call(call), fields(fields), error(error), cancel(cancel), shown(call.silent) {}

  std::string Text(const char* suffix) const { return std::string(name) + suffix; }
  void CheckCancel() const {
    if (cancel && cancel->IsCancelled()) throw CancelledException();
  }
  // A message box of this call; an abandoned call shows nothing more.
  void Show(const std::string& text, MsgIcon icon) {
    CheckCancel();
    prompts.MessageBox(text, MsgButtons::Ok, icon);
  }

  // An exception of phase 1 or 2: trace it, keep an Internet error code,
  // show its standard box unless something was shown, and set shown.
  // Called inside a catch block; the abandonment passes through.
  void Handle(const char* traceSuffix) {
    std::string message;
    try {
      throw;
    } catch (const CancelledException&) {
      throw;
    } catch (const InternetException& e) {
      message = e.what();
      error.store(e.Code());
    } catch (const std::bad_alloc&) {
      message = "Out of memory.";
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
      message = "An unknown error occurred.";
    }
    TraceMessage(Text(traceSuffix), std::string_view(message).substr(0, 99));
    if (!shown) Show(message, MsgIcon::Stop);
    shown = true;
  }

  const char* name;
  UserPrompts& prompts;
  const ServerCall& call;
  FieldMap& fields;
  std::atomic<uint32_t>& error;
  const CancelFlag* cancel;
  bool shown;

  // Working values.
  std::unique_ptr<HttpSession> session;
  std::unique_ptr<HttpConnection> connection;
  std::unique_ptr<HttpRequest> request;
  std::string code;
  std::string body;
  std::string path;
  std::string replyText;
  uint32_t status = 0;
  bool sent = false;
};

// Steps 3 and 4: `code`, `VI` and the body; the request fields are gone
// from the map afterwards. Phase 2: false after a handled exception.
bool BuildBody(Call& c) {
  try {
    CrtSeed(static_cast<uint32_t>(std::time(nullptr)));
    c.code = std::to_string(CrtRand() % 9999 + 1);
    c.fields.Set("code", c.code);
    c.fields.Set("VI", "2");
    c.body = c.call.prefix + EncodeFields(c.fields, c.call.scrambleRequest);
    c.fields.Clear();
    return true;
  } catch (...) {
    c.fields.Clear();
    c.Handle(": <<FAILED>> Exception(2):");
    return false;
  }
}

// Steps 5 to 9: connection, request, the send loop with the proxy prompt,
// the final status. Phase 1: an exception leaves nothing sent.
void SendRequest(Call& c) {
  try {
    const std::string headers = kContentType;
    TraceMessage(c.Text(": GetHttpConnection"), c.call.server);
    c.CheckCancel();
    c.connection = c.session->Connect(c.call.server, c.call.port);
    if (!c.connection) {
      TraceMessage(c.Text(": GetHttpConnection <<FAILED>>"));
      return;
    }
    c.path = c.call.object;
    if (c.call.query) c.path += "?" + *c.call.query;
    for (;;) {
      TraceMessage(c.Text(": OpenRequest"), c.path);
      c.CheckCancel();
      c.request = c.connection->OpenRequest("POST", c.path, "HTTP/1.0",
                                            inet::kFlagReload | inet::kFlagNoCacheWrite | inet::kFlagKeepConnection);
      if (!c.request) {
        TraceMessage(c.Text(": OpenRequest <<FAILED>>"));
        return;
      }
      TraceMessage(c.Text(": SendRequest"));
      c.request->Send(headers, c.body);
      c.status = c.request->QueryStatusCode();
      TraceMessage(c.Text("(455): QueryInfoStatusCode:"), StatusDetail(c.status));
      if (c.status != inet::kStatusProxyAuthReq) break;
      TraceMessage(c.Text(": ErrorDlg for HTTP_STATUS_PROXY_AUTH_REQ"));
      c.CheckCancel();
      uint32_t answer = c.request->ProxyAuthDialog();
      TraceMessage(c.Text("(464): ErrorDlg return code:"), StatusDetail(answer));
      if (answer != inet::kErrorForceRetry) break;
      TraceMessage(c.Text("(467): ErrorDlg ERROR_INTERNET_FORCE_RETRY"));
      // Drain the proxy's answer before the request goes out again. A proxy
      // that refuses may close without reading the body: the end of that
      // answer, however it comes, is only the end of the draining.
      try {
        char discard[4096];
        while (c.request->Read(discard, sizeof discard) != 0) {
        }
      } catch (const InternetException& e) {
        TraceMessage(c.Text(": proxy answer ended:"), e.what());
      }
      c.request.reset();
    }
    c.sent = true;
    TraceMessage(c.Text(" (502): QueryInfoStatusCode:"), StatusDetail(c.status));
  } catch (...) {
    c.Handle(": <<FAILED>>(Possible:Internet not connected) Exception(1):");
    c.request.reset();
    c.connection.reset();
    c.status = 0;
    c.sent = false;
  }
}

bool Status2xx(uint32_t status) { return status >= 200 && status <= 299; }

// Reads the rest of a reply into a ReplyBuffer that already holds `total`
// bytes, in pieces of at most 5000 bytes with at least 5000 bytes free
// before each read; bounded by kMaxReplyTextBytes. Returns the reply text.
std::string ReadReplyText(HttpRequest& request, ReplyBuffer& buffer, int32_t total, int32_t wanted,
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
  return TextUpToNul(data, static_cast<size_t>(total));
}

// Step 13: tell the user why the call failed, unless something was shown.
void ShowFailure(Call& c) {
  if (c.shown) return;
  if (Status2xx(c.status)) {
    c.Show(c.replyText.empty() ? std::string(kLogonFailed565) : c.replyText, MsgIcon::Exclamation);
  } else {
    c.Show(LogonFailed570(c.status), MsgIcon::Exclamation);
  }
  c.shown = true;
}

// The session could not be opened: nothing was sent.
int NoSession(Call& c) {
  TraceMessage(c.Text(": InternetOpen <<FAILED>>"));
  ShowFailure(c);
  return 0;
}

bool HasCode(const FieldMap& fields, const std::string& code) {
  const std::string* value = fields.Find("code");
  return value && *value == code;
}

int DirectImpl(HttpClient& http, UserPrompts& prompts, const ServerCall& call, FieldMap& fields,
               std::atomic<uint32_t>& error, const CancelFlag* cancel) {
  Call c("InternetCall_Function_Direct", prompts, call, fields, error, cancel);
  try {
    error.store(0);
    c.session = http.OpenSession(call.agent, cancel);
    if (!c.session) return NoSession(c);
    int result = 0;
    if (BuildBody(c)) {
      SendRequest(c);
      if (c.sent) {
        try {
          if (Status2xx(c.status)) {
            ReplyReader reader(*c.request, nullptr);
            ReplyBuffer buffer;
            c.replyText = ReadReplyText(reader, buffer, 0, kFirstReplyCapacity, c);
          }
          c.request.reset();
          c.connection.reset();
        } catch (...) {
          c.replyText.clear();
          c.request.reset();
          c.connection.reset();
          c.Handle(": <<FAILED>> Exception(2):");
        }
      }
    }
    c.request.reset();
    c.connection.reset();

    try {
      if (Status2xx(c.status)) {
        size_t start = c.replyText.find_first_not_of("\r\n");
        std::string_view text(c.replyText);
        text.remove_prefix(start == std::string::npos ? text.size() : start);
        if (text.substr(0, call.prefix.size()) == call.prefix) {
          text.remove_prefix(call.prefix.size());
          DecodeFields(text, fields, call.unscrambleReply);
          if (HasCode(fields, c.code)) result = 1;
        }
      }
    } catch (const std::bad_alloc&) {
      c.Handle(": <<FAILED>> Exception(2):");
    }
    if (result == 0) ShowFailure(c);
    c.session.reset();
    return result;
  } catch (const CancelledException&) {
    return 0;
  }
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

int GetFileImpl(HttpClient& http, UserPrompts& prompts, const ServerCall& call, FieldMap& fields,
                std::atomic<uint32_t>& error, const std::string& filePath, std::atomic<int32_t>& bytesWritten,
                ProgressDisplay* dialog, const CancelFlag* cancel) {
  Call c("InternetCall_Function_GetFile", prompts, call, fields, error, cancel);
  try {
    error.store(0);
    bytesWritten.store(0);
    c.session = http.OpenSession(call.agent, cancel);
    if (!c.session) return NoSession(c);
    int result = 0;
    if (BuildBody(c)) SendRequest(c);
    if (c.sent && Status2xx(c.status)) {
      try {
        ReplyReader request(*c.request, dialog);
        request.SetReadBufferSize(kReadBufferSize);
        char head[kBytesCountHeader] = {};
        size_t n = ReadExactly(request, head, kBytesCountHeader);
        bool isFile = n >= 10 && std::memcmp(head, "BytesCount", 10) == 0;
        if (!isFile) {
          // A message from the server instead of a file.
          ReplyBuffer buffer(static_cast<int32_t>(n) + kFirstReplyCapacity);
          std::memcpy(buffer.Data(), head, n);
          c.replyText = ReadReplyText(request, buffer, static_cast<int32_t>(n),
                                      static_cast<int32_t>(n) + kFirstReplyCapacity, c);
        } else if (n == kBytesCountHeader) {
          const auto* b = reinterpret_cast<const unsigned char*>(head) + 10;
          uint32_t length = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
          if (length > kMaxFileHeaderBytes) throw ReplyTooLarge();
          std::vector<char> header(static_cast<size_t>(length) + 1, '\0');
          if (ReadExactly(request, header.data(), length) == length) {
            c.replyText = TextUpToNul(header.data(), length);
            std::string_view text(c.replyText);
            if (text.substr(0, call.prefix.size()) == call.prefix) {
              DecodeFields(text.substr(call.prefix.size()), fields, call.unscrambleReply);
              if (HasCode(fields, c.code)) {
                const std::string* pos = fields.Find("filepos");
                const std::string* len = fields.Find("downloadlength");
                const int64_t filepos = pos ? DecimalValue(*pos) : 0;
                const int64_t downloadlength = len ? DecimalValue(*len) : -1;

                if (dialog) {
                  dialog->SetStatusText("Downloading file...");
                  dialog->SetDetailText("");
                  dialog->ShowProgressBar(0, 100);
                }
                DownloadFile file;
                int openError = 0;
                auto open = [&] { openError = file.Open(filePath, filepos <= 0); };
                if (cancel ? cancel->RunUnlessCancelled(open) : (open(), true)) {
                  if (openError != 0) {
                    if (!c.shown) c.Show(FileErrorMessage(FileCauseOf(openError), filePath), MsgIcon::Stop);
                    c.shown = true;
                  } else {
                    if (filepos > 0) file.Seek(filepos);
                    std::vector<char> block(kDataBlock);
                    int64_t written = 0;
                    int64_t blocks = 0;
                    for (;;) {
                      // A block is full unless the reply ends, as with a
                      // blocking read of the whole block size.
                      size_t got = ReadExactly(request, block.data(), kDataBlock);
                      if (got == 0) break;
                      auto write = [&] { file.Write(block.data(), got); };
                      if (cancel ? !cancel->RunUnlessCancelled(write) : (write(), false)) throw CancelledException();
                      written += static_cast<int64_t>(got);
                      bytesWritten.store(static_cast<int32_t>(std::min<int64_t>(written, INT32_MAX)));
                      if (++blocks % kBlocksPerProgressUpdate == 0 && dialog) ShowProgress(*dialog, written, downloadlength);
                    }
                    auto finish = [&] { file.Finish(filepos > 0, static_cast<uint64_t>(filepos + written)); };
                    if (cancel ? !cancel->RunUnlessCancelled(finish) : (finish(), false)) throw CancelledException();
                    result = 1;
                  }
                } else {
                  throw CancelledException();
                }
              }
            }
          }
        }
        c.request.reset();
        c.connection.reset();
      } catch (...) {
        c.request.reset();
        c.connection.reset();
        c.Handle(": <<FAILED>> Exception(2):");
      }
    }
    c.request.reset();
    c.connection.reset();
    if (result == 0) ShowFailure(c);
    c.session.reset();
    return result;
  } catch (const CancelledException&) {
    return 0;
  }
}

}  // namespace

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
                                  ProgressDisplay* dialog, const CancelFlag* cancel) {
  std::atomic<uint32_t> error{0};
  std::atomic<int32_t> written{0};
  if (errorOut) *errorOut = 0;
  if (bytesWritten) *bytesWritten = 0;
  int result = GetFileImpl(http, prompts, call, fields, error, filePath, written, dialog, cancel);
  if (errorOut) *errorOut = error.load();
  if (bytesWritten) *bytesWritten = written.load();
  return result;
}

namespace {

constexpr char kNoAnswerInTime[] =
    "The update server has not answered for nearly ten minutes. The request was abandoned.";
constexpr char kNoDataInTime[] =
    "No data has arrived from the update server for nearly ten minutes. The download was abandoned.";

// Runs a server call's worker under the wait dialog. The worker has its own
// copies; the caller's fields are written only here, after the dialog, and
// only from a worker that finished. When the time limit ended the wait, the
// user is told so here, once, on the caller's thread, whether or not the
// call is silent: it is the wait that ended, not the exchange.
int RunServerCall(NetEnvironment& env, WaitForm form, const std::shared_ptr<InternetCallArgs>& args,
                  FieldMap& fields, WaitProcedure procedure) {
  WaitEnd end = WaitEnd::Cancelled;
  int result = env.wait.RunUnderWait(form, std::move(procedure), env.waitTimerIntervalMs, &end);
  if (end == WaitEnd::Finished) {
    fields = std::move(args->fields);
  } else {
    fields.Clear();
  }
  if (end == WaitEnd::TimeLimit) env.prompts.MessageBox(form == WaitForm::Progress ? kNoDataInTime : kNoAnswerInTime);
  return result;
}

}  // namespace

int CallServer(NetEnvironment& env, const ServerCall& call, FieldMap& fields, uint32_t* errorOut) {
  if (errorOut) *errorOut = 0;
  auto args = std::make_shared<InternetCallArgs>();
  args->call = call;
  args->fields = fields;
  HttpClient* http = &env.http;
  UserPrompts* prompts = &env.prompts;
  int result = RunServerCall(env, WaitForm::Plain, args, fields, [args, http, prompts](ProgressDisplay*, const CancelFlag& cancel) {
    return DirectImpl(*http, *prompts, args->call, args->fields, args->error, &cancel);
  });
  if (errorOut) *errorOut = args->error.load();
  return result;
}

int DownloadToFile(NetEnvironment& env, const ServerCall& call, FieldMap& fields, std::string filePath) {
  auto args = std::make_shared<InternetCallArgs>();
  args->call = call;
  args->fields = fields;
  args->filePath = std::move(filePath);
  HttpClient* http = &env.http;
  UserPrompts* prompts = &env.prompts;
  return RunServerCall(env, WaitForm::Progress, args, fields, [args, http, prompts](ProgressDisplay* progress, const CancelFlag& cancel) {
    return GetFileImpl(*http, *prompts, args->call, args->fields, args->error, args->filePath, args->bytesWritten,
                       progress, &cancel);
  });
}

}  // namespace quon
