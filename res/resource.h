// Resource identifiers of QuonUpdate.exe (dialog templates, controls,
// pictures, strings). Shared by the resource script and the Windows views.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDR_MAINFRAME 128
#define IDD_QUONUPDATE_DIALOG 129
#define IDR_AVI_WAIT 130
#define IDD_INTERNET_WAIT 212
#define IDD_INTERNET_WAIT_PROGRESS 214
#define IDS_APP_TITLE 57344

#define IDC_CLOSE_BUTTON 1002
#define IDC_EXPLORER 1003
#define IDC_PROGRESS 1004
#define IDC_WAIT_STATUS 1005
#define IDC_WAIT_DETAIL 1006
#define IDC_WAIT_CANCEL 1007
#define IDC_ABOUT_BUTTON 1009
#define IDC_ANIMATE 1126
#define IDC_STATUS_LINE 1162

// Window class of the placeholder at the browser control's rectangle in the
// main window template; the browser host registers it and embeds the web
// browser control in it.
#define QUON_BROWSER_SITE_CLASS "QuonBrowserSite"
