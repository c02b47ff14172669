// HTTPS through WinINet under Wine against the reference server, whose
// certificate comes from a test authority that no store trusts: the request
// goes over TLS, the certificate's failure is never ignored nor put to the
// user as a question, and it is told with the sentence the Linux transport
// gives. (Wine's WinINet answers 12057, the revocation check, for any such
// certificate before the authority, also once the authority is put into the
// Root store; so a verifying certificate cannot be shown to pass here.)
#include "support/WinTestSupport.h"  // windows.h first

#include <gtest/gtest.h>

#include "net/ServerExchange.h"
#include "platform/win/WinInetHttpClient.h"
#include "support/RecordingPrompts.h"

using namespace quon;
using namespace quon::test;

namespace {

TEST(WinHttps, ACertificateThatDoesNotVerifyEndsTheCallWithItsSentence) {
  if (wintest::ReferenceServerPort() == 0) GTEST_SKIP() << "no TLS server (wine-test.sh --server --tls)";
  for (const bool secure : {true, false}) {
    SCOPED_TRACE(secure ? "https" : "plain http to the TLS port");
    RecordingPrompts prompts;
    WinInetHttpClient http;
    ServerCall call;
    call.server = "127.0.0.1";
    call.port = wintest::ReferenceServerPort();
    call.object = "/quonupdate/service.asp";
    call.query = call.prefix = "GetUpgradeList";
    call.agent = "QuonUpdate";
    call.secure = secure;
    FieldMap fields;
    fields.Set("updateversion", "6.0.121.3");
    uint32_t error = 0;
    EXPECT_EQ(InternetCall_Function_Direct(http, prompts, call, fields, &error), 0);
    ASSERT_EQ(prompts.Boxes().size(), 1u);
    EXPECT_EQ(prompts.ProxyPrompts(), 0);
    // Only the secure request meets the certificate.
    EXPECT_EQ(inet::IsSecureChannelError(error), secure) << error;
    if (secure) {
      EXPECT_EQ(prompts.Boxes()[0].text, inet::SecureChannelErrorText(error));
    }
  }
}

}  // namespace
