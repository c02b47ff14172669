// What the update session needs from the operating system beyond the
// standard library's file system: where it runs from, the version resource
// of a file, the check of a downloaded archive's signature, and the CAB
// library.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/FileSystem.h"
#include "update/ArchiveSignature.h"
#include "update/UpdateState.h"

namespace quon {

// The directory part of `path` up to and including its last character from
// `separators`, compared byte by byte; empty when there is none.
std::string DirectoryPartOf(const std::string& path, std::string_view separators);

// Marks this copy of the updater as running on a product directory for as
// long as the object lives.
class ProductDirectoryLock {
 public:
  virtual ~ProductDirectoryLock() = default;
};

// How long a starting copy waits for the directory's hold (another copy's
// start-up clean-up, or whoever else holds it) before it goes on without.
constexpr std::chrono::milliseconds kRunLockWait{10000};

// int do_decab(const char *archive, const char *dir), C calling convention.
using DoDecabFn = int (*)(const char* archive, const char* dir);

class Platform {
 public:
  virtual ~Platform() = default;
  // The file system the run writes and deletes through.
  virtual FileSystem& Files() { return SystemFileSystem(); }
  // Full path of the running executable (at most 499 characters).
  virtual std::string ModuleFileName() = 0;
  // Directory separator the platform prefers when the session appends one.
  virtual char PathSeparator() const = 0;
  // The directory part of a path, up to and including its last separator;
  // empty when it has none. By default a byte-wise search for
  // PathSeparator(); a platform with a multibyte code page overrides it so
  // that a trail byte is never taken for a separator.
  virtual std::string DirectoryOfPath(const std::string& path) const {
    const char separator = PathSeparator();
    return DirectoryPartOf(path, std::string_view(&separator, 1));
  }
  // The ProductVersion string under \StringFileInfo\040904b0\ of a file's
  // version resource. False when the file is missing, has no version
  // information or it cannot be read; true with an empty text when only the
  // string is missing.
  virtual bool QueryProductVersionString(const std::string& path, std::string& version) = 0;
  // Loads the CAB library ("CABLIB.DLL" on Windows, libcablib.so from the
  // product directory on Linux) and finds do_decab. On a load failure
  // returns false with the system's text for the error (may be empty);
  // on success *fn is do_decab, or null when the export is missing.
  virtual bool LoadCabLibrary(const std::string& productDir, DoDecabFn* fn, std::string& errorText) = 0;
  // The file of what this installation remembers (UpdateState.h); by
  // default the build's.
  virtual std::string StateFilePath() { return quon::StateFilePath(); }
  // The verdict on a downloaded archive before anything of it is unpacked.
  // By default the build's own check (CheckUpdateArchive): the signature
  // against the vendor's certificates, and the revocations compiled in and
  // remembered, when the build requires one, else an accepting verdict
  // without reading the file.
  virtual SignatureVerdict CheckUpdateArchive(const std::string& archivePath) {
    return quon::CheckUpdateArchive(archivePath, StateFilePath());
  }
  // Unloads what LoadCabLibrary loaded; the function it gave is then gone.
  virtual void ReleaseCabLibrary() {}
  // Holds the product directory for this copy's run, so that a copy started
  // meanwhile knows it is not alone. When no other copy holds it,
  // `whileAlone` runs first, and copies that start meanwhile wait until it
  // has returned, but never longer than the run lock's wait: nobody can
  // keep the updater from starting by holding the lock. When another copy
  // holds it, `whileAlone` does not run. The hold ends when the returned
  // object is destroyed. Null, without running `whileAlone`, when the
  // directory cannot be held in time; the default holds nothing.
  virtual std::unique_ptr<ProductDirectoryLock> HoldProductDirectory(const std::string& /*productDir*/,
                                                                     const std::function<void()>& /*whileAlone*/) {
    return nullptr;
  }
  void SetRunLockWait(std::chrono::milliseconds wait) { m_runLockWait = wait; }

 protected:
  std::chrono::milliseconds m_runLockWait = kRunLockWait;
};

}  // namespace quon
