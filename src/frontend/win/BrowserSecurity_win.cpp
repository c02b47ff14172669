#include "frontend/win/BrowserSecurity_win.h"

#include <cstring>

namespace quon::win {
namespace {

// What a page may not do by itself, whatever zone it is in: refresh or
// redirect, navigate frames, submit forms, reach a more trusted zone, run
// scripts, Java or ActiveX controls, or start a file download.
constexpr DWORD kRefusedUrlActions[] = {
    URLACTION_HTML_META_REFRESH,    URLACTION_HTML_SUBFRAME_NAVIGATE,
    URLACTION_HTML_SUBMIT_FORMS,    URLACTION_HTML_SUBMIT_FORMS_FROM,
    URLACTION_HTML_SUBMIT_FORMS_TO, URLACTION_FEATURE_ZONE_ELEVATION,
    URLACTION_SCRIPT_RUN,           URLACTION_HTML_JAVA_RUN,
    URLACTION_ACTIVEX_RUN,          URLACTION_SHELL_FILE_DOWNLOAD,
};

}  // namespace

STDMETHODIMP BrowserSecurityManager::ProcessUrlAction(LPCWSTR, DWORD action, BYTE* policy, DWORD policySize, BYTE*,
                                                      DWORD, DWORD, DWORD) {
  bool refused = false;
  for (DWORD a : kRefusedUrlActions) refused = refused || a == action;
  if (!refused) return INET_E_DEFAULT_ACTION;
  if (policy && policySize >= sizeof(DWORD)) {
    const DWORD disallow = URLPOLICY_DISALLOW;
    std::memcpy(policy, &disallow, sizeof disallow);
  }
  return S_FALSE;  // answered, and not allowed
}

}  // namespace quon::win
