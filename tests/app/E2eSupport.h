// The headless update session end to end: the real main-window logic, the
// real curl transport, the headless wait dialog, the Linux platform (with
// the executable's path pointed into a temporary product directory), the
// real CAB library and a real QUON.EXE. The user is a script: it records
// every box, page and status text, answers boxes as told and clicks the
// links it finds in the page file.
#pragma once
#include <cerrno>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/Fakes.h"
#include "support/HeadlessWaitHost.h"
#include "app/UpdateDlg.h"
#include "base/BuildConfig.h"
#include "platform/posix/CurlHttpClient.h"
#include "platform/posix/PosixPlatform.h"

namespace quon::e2e {

namespace fs = std::filesystem;

// The Linux platform, except that the running executable is
// <productDir>/QuonUpdate.
class ProductPlatform : public Platform {
 public:
  ProductPlatform(Platform& inner, std::string modulePath) : m_inner(inner), m_module(std::move(modulePath)) {}
  std::string ModuleFileName() override { return m_module; }
  char PathSeparator() const override { return m_inner.PathSeparator(); }
  std::string DirectoryOfPath(const std::string& path) const override { return m_inner.DirectoryOfPath(path); }
  bool QueryProductVersionString(const std::string& path, std::string& version) override {
    return m_inner.QueryProductVersionString(path, version);
  }
  bool LoadCabLibrary(const std::string& productDir, DoDecabFn* fn, std::string& errorText) override {
    if (decabFailure == FsError::None) return m_inner.LoadCabLibrary(productDir, fn, errorText);
    // A CAB library whose writes fail as the system says.
    FailingErrno() = decabFailure == FsError::DiskFull ? ENOSPC : EIO;
    *fn = [](const char*, const char*) {
      errno = FailingErrno();
      return 0;
    };
    return true;
  }
  FsError decabFailure = FsError::None;
  void ReleaseCabLibrary() override { m_inner.ReleaseCabLibrary(); }
  std::unique_ptr<ProductDirectoryLock> HoldProductDirectory(const std::string& productDir,
                                                             const std::function<void()>& whileAlone) override {
    return m_inner.HoldProductDirectory(productDir, whileAlone);
  }
  SignatureVerdict CheckUpdateArchive(const std::string& archivePath) override {
    return checkArchive ? checkArchive(archivePath) : m_inner.CheckUpdateArchive(archivePath);
  }
  // The verdict on a downloaded archive in place of the build's own check.
  std::function<SignatureVerdict(const std::string&)> checkArchive;
  FileSystem& Files() override { return files != nullptr ? *files : m_inner.Files(); }
  // The file system the run writes through, in place of the system's own.
  FileSystem* files = nullptr;

 private:
  static int& FailingErrno() {
    static int error = 0;
    return error;
  }
  Platform& m_inner;
  std::string m_module;
};

inline void ClearProxies() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
}

// One product installation and one session over it.
class Session {
 public:
  // The product directory is `productSubdir` in a scratch directory.
  explicit Session(std::string productSubdir = "Quon 6/")
      : m_productSubdir(std::move(productSubdir)), m_posix(MakePosixPlatform()) {
    ClearProxies();
    fs::create_directories(fs::path(ProductDir()));
    platform = std::make_unique<ProductPlatform>(*m_posix, ProductDir() + "QuonUpdate");
  }

  // The product directory has a blank in its name, as installations do.
  std::string ProductDir() const { return scratch.Dir() + m_productSubdir; }
  std::string Product(const std::string& relative) const { return ProductDir() + relative; }
  std::string PagePath() const { return Product("QuonUpdateLast.html"); }

  void InstallExe(const std::string& sampleExe) { fs::copy_file(sampleExe, Product("QUON.EXE")); }
  void InstallCabLibrary() { fs::copy_file(QUON_E2E_CABLIB, Product("libcablib.so")); }
  void WriteProduct(const std::string& relative, const std::string& bytes) {
    fs::path p(Product(relative));
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string ReadProduct(const std::string& relative) const { return test::ReadFile(Product(relative)); }
  bool ProductHas(const std::string& relative) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(fs::path(Product(relative)), ec));
  }

  // Opens the main window against the server at 127.0.0.1:port.
  void Start(uint16_t port) {
    // The build's settings (path, scheme) for a server on loopback.
    UpdateServerSettings server = UpdateServerSettings::FromBuildConfig();
    server.host = "127.0.0.1";
    server.port = port;
    dlg = std::make_unique<UpdateDlg>(view, prompts, net, *platform, windows, [] { return WindowHandle{1}; },
                                      server);
    dlg->OnInitDialog();
  }
  bool Ended() const { return !view.endResults.empty(); }

  std::string Page() const { return test::ReadFile(PagePath()); }
  // The anchors of the page's links, in page order.
  std::vector<std::string> Links() const {
    std::vector<std::string> links;
    const std::string page = Page();
    static const std::regex href("href=\"(#[^\"]*)\"");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), href); it != std::sregex_iterator(); ++it) {
      links.push_back((*it)[1]);
    }
    return links;
  }
  // Clicks the link with that anchor, which must be on the page showing,
  // and runs what the click posted; returns whether the window took the
  // click (cancelled the navigation).
  bool Click(const std::string& anchor) {
    const std::vector<std::string> links = Links();
    if (std::find(links.begin(), links.end(), anchor) == links.end()) {
      ADD_FAILURE() << "no link " << anchor << " on the page:\n" << Page();
      return false;
    }
    EXPECT_EQ(view.navigations.back(), "file://" + PagePath());
    bool cancel = false;
    dlg->OnBeforeNavigate2(view.navigations.back() + anchor, true, cancel);
    view.RunPosted();
    return cancel;
  }
  std::vector<std::string> Boxes() { return prompts.Texts(); }

  test::TempDir scratch;
  test::FakeView view;
  test::FakePrompts prompts;
  test::FakeWindows windows;
  CurlHttpClient http{prompts};
  HeadlessWaitHost wait;
  NetEnvironment net{http, prompts, wait};
  std::unique_ptr<ProductPlatform> platform;
  std::unique_ptr<UpdateDlg> dlg;

 private:
  std::string m_productSubdir;
  std::unique_ptr<Platform> m_posix;
};

}  // namespace quon::e2e
