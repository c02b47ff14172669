// HTTPS through the libcurl transport against the reference server with a
// certificate authority made for the test: a server whose certificate
// verifies answers as over plain HTTP; one whose certificate names another
// host or comes from an authority the client does not trust is refused
// with the certificate's error and sentence, and the user is asked nothing.
#include <gtest/gtest.h>

#include <cstdlib>

#include "net/ServerExchange.h"
#include "platform/posix/CurlHttpClient.h"
#include "support/RecordingPrompts.h"
#include "support/ServerProcess.h"

namespace quon::test {
namespace {

ServerCall ListCall(const char* host, uint16_t port, bool secure) {
  ServerCall call;
  call.server = host;
  call.port = port;
  call.object = "/quonupdate/service.asp";
  call.query = call.prefix = "GetUpgradeList";
  call.agent = "QuonUpdate";
  call.secure = secure;
  return call;
}

TEST(Https, TheServerCertificateMustVerifyAndNameTheHost) {
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY"}) unsetenv(name);
  TempDir root, pki, otherPki;
  root.Write("catalog.ini", "");
  ASSERT_TRUE(MakeTestTlsCertificates(pki.Root().string()));
  ASSERT_TRUE(MakeTestTlsCertificates(otherPki.Root().string()));
  ServerProcess server;
  ASSERT_TRUE(server.Start(root.Root().string(), {"--tls-cert", pki.Path("server.pem"), "--tls-key",
                                                  pki.Path("server-key.pem")}))
      << server.Error();

  const struct {
    const char* what;
    const char* host;
    std::string trusted;  // the client's extra authorities
    uint32_t error;       // 0: the call succeeds
  } cases[] = {
      {"trusted", "127.0.0.1", pki.Read("ca.pem"), 0},
      {"another host's name", "localhost", pki.Read("ca.pem"), inet::kErrorSecCertCnInvalid},
      {"unknown authority", "127.0.0.1", otherPki.Read("ca.pem"), inet::kErrorInvalidCa},
      {"system store only", "127.0.0.1", "", inet::kErrorInvalidCa},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingPrompts prompts;
    CurlHttpClient client(prompts, nullptr, c.trusted);
    FieldMap fields;
    fields.Set("updateversion", "6.0.121.3");
    uint32_t error = 0;
    const int done = InternetCall_Function_Direct(
        client, prompts, ListCall(c.host, static_cast<uint16_t>(server.Port()), true), fields, &error);
    EXPECT_EQ(error, c.error);
    if (c.error == 0) {
      EXPECT_EQ(done, 1);
      EXPECT_TRUE(fields.Has("status"));
      EXPECT_TRUE(prompts.Boxes().empty());
    } else {
      EXPECT_EQ(done, 0);
      ASSERT_EQ(prompts.Boxes().size(), 1u);
      EXPECT_EQ(prompts.Boxes()[0].text, inet::SecureChannelErrorText(c.error));
    }
  }
  // A plain request to the TLS port gets no reply either.
  RecordingPrompts prompts;
  CurlHttpClient client(prompts, nullptr, pki.Read("ca.pem"));
  FieldMap fields;
  uint32_t error = 0;
  EXPECT_EQ(InternetCall_Function_Direct(
                client, prompts, ListCall("127.0.0.1", static_cast<uint16_t>(server.Port()), false), fields, &error),
            0);
}

}  // namespace
}  // namespace quon::test
