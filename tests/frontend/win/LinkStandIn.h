// What the test build of QuonUpdate.exe and the process that drives it
// agree on. Wine renders no HTML, so no one can click a link in a page; the
// test build stands in for that one part of the HTML engine. The driver
// names the link that lies under the pointer; when the user's next click or
// Enter (real input) reaches the browser control, the test build raises the
// control's BeforeNavigate2 for that link through the browser host's event
// sink, as the control raises it while it handles such input.
#pragma once
#include <windows.h>

namespace quon::wintest {

// The test build's message-only window (FindWindowEx with HWND_MESSAGE).
constexpr char kLinkStandInClass[] = "QuonUpdateTestLinkStandIn";
// WM_COPYDATA with this dwData and the link's URL (8-bit text, no zero):
// the link now under the pointer.
constexpr ULONG_PTR kPointAtLink = 0x51554C4B;
// Sent: returns 1 while a named link waits for the user's input, else 0.
constexpr UINT kLinkPending = WM_APP + 1;

}  // namespace quon::wintest
