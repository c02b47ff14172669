// Test doubles for the main window's collaborators, and a scratch product
// directory.
#pragma once
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "support/HeadlessWaitHost.h"
#include "support/TempDir.h"
#include "update/ProductWindows.h"
#include "app/UpdateView.h"
#include "app/WaitDialog.h"
#include "net/HttpTransport.h"
#include "net/ServerExchange.h"
#include "base/UserPrompts.h"
#include "update/Platform.h"

namespace quon::test {

namespace fs = std::filesystem;

// Records what the window is told to do.
struct FakeView : UpdateView {
  std::vector<std::string> navigations;
  std::vector<std::string> statusTexts;
  std::vector<int> endResults;
  std::vector<std::string> events;  // "wait-on", "sleep 5000", "wait-off", "about"
  bool statusVisible = false;
  std::deque<std::function<void()>> posted;  // until RunPosted

  void Navigate(const std::string& url) override { navigations.push_back(url); }
  void SetStatusText(const std::string& text) override { statusTexts.push_back(text); }
  void ShowStatus(bool visible) override { statusVisible = visible; }
  void EndDialog(int result) override { endResults.push_back(result); }
  void RunAboutBox() override { events.push_back("about"); }
  void SetWaitCursor(bool wait) override { events.push_back(wait ? "wait-on" : "wait-off"); }
  void SleepMs(unsigned ms) override { events.push_back("sleep " + std::to_string(ms)); }
  void PostToUiThread(std::function<void()> fn) override { posted.push_back(std::move(fn)); }
  // Runs what was posted, in order, as the user-interface thread does once
  // the event being handled has returned.
  void RunPosted() {
    while (!posted.empty()) {
      std::function<void()> fn = std::move(posted.front());
      posted.pop_front();
      fn();
    }
  }
};

// Records every message box; answers from a queue (OK when it is empty).
struct FakePrompts : UserPrompts {
  struct Box {
    std::string text;
    MsgButtons buttons;
  };
  std::mutex mutex;
  std::vector<Box> boxes;
  std::deque<int> answers;
  std::function<void(const std::string&)> onBox;  // runs before answering

  int MessageBox(std::string_view text, MsgButtons buttons, MsgIcon) override {
    std::function<void(const std::string&)> hook;
    int answer = kIdOk;
    {
      std::lock_guard<std::mutex> lock(mutex);
      boxes.push_back({std::string(text), buttons});
      if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
      } else if (buttons == MsgButtons::YesNo) {
        answer = kIdNo;
      }
      hook = onBox;
    }
    if (hook) hook(std::string(text));
    return answer;
  }
  bool PromptProxyCredentials(std::string_view, std::string&, std::string&) override { return false; }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    for (const Box& box : boxes) out.push_back(box.text);
    return out;
  }
};

// A platform whose executable lives in `moduleDir`.
struct FakePlatform : Platform {
  std::string modulePath;
  char separator = fs::path::preferred_separator == '\\' ? '\\' : '/';
  // Version strings by path; a path not listed has no version information.
  std::map<std::string, std::string> versions;

  std::string ModuleFileName() override { return modulePath; }
  char PathSeparator() const override { return separator; }
  bool QueryProductVersionString(const std::string& path, std::string& version) override {
    auto it = versions.find(path);
    if (it == versions.end()) return false;
    version = it->second;
    return true;
  }
  bool LoadCabLibrary(const std::string&, DoDecabFn* fn, std::string&) override {
    *fn = nullptr;
    return true;
  }
  // The file system the run writes through (a test's wrapper), else the
  // system's own.
  FileSystem* files = nullptr;
  FileSystem& Files() override { return files != nullptr ? *files : SystemFileSystem(); }
  // Whether another copy of the updater holds the product directory.
  bool otherCopyRunning = false;
  std::unique_ptr<ProductDirectoryLock> HoldProductDirectory(const std::string&,
                                                             const std::function<void()>& whileAlone) override {
    if (!otherCopyRunning) whileAlone();
    return std::make_unique<ProductDirectoryLock>();
  }
};

struct FakeWindows : WindowSystem {
  std::vector<TopLevel> windows;
  std::vector<WindowHandle> posts;  // every attempt
  std::map<WindowHandle, int> failuresBeforeSuccess;

  std::vector<TopLevel> EnumerateTopLevelWindows() override { return windows; }
  bool PostRequestClose(WindowHandle window) override {
    posts.push_back(window);
    int& failures = failuresBeforeSuccess[window];
    if (failures > 0) {
      --failures;
      return false;
    }
    return true;
  }
};

// A transport that never reaches a server.
struct UnreachableHttp : HttpClient {
  std::unique_ptr<HttpSession> OpenSession(std::string_view, const CancelFlag*) override { return nullptr; }
};

}  // namespace quon::test
