// do_decab on Windows: the system's FDI (cabinet.dll) decompresses, through
// callbacks of ours, so every file it opens, reads or writes is one we chose.
//
// Sequence: read and check the archive's directory ourselves (CabHeader,
// SafeNames), refuse it as a whole unless every file name (the last part of
// each stored name, read in the system code page unless marked UTF-8) is one
// plain file name and the volume has room, then let FDICopy unpack every file
// into an exclusively created temporary file in the target directory (its
// names are matched against the directory read before; an entry that a later
// one of the same name supersedes is decompressed and counted, never
// written), and only when all of them are complete move them over their final
// names. On any failure every file this call created is deleted again.

#include <windows.h>
#include <fdi.h>

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "CabHeader.h"
#include "Decab.h"
#include "SafeNames.h"
#include "cablib.h"

namespace cablib {
namespace {

// The only name our open callback accepts; it stands for the archive.
char kArchiveToken[] = "decab-archive";
char kEmptyPath[] = "";
// Small writes are gathered; whole frames go straight to the system.
constexpr DWORD kWriteBufferBytes = 64 * 1024;
constexpr DWORD kDirectWriteBytes = 16 * 1024;
constexpr int kMaxTempAttempts = 100;

struct Handle {
  bool output = false;
  bool open = true;
  HANDLE h = INVALID_HANDLE_VALUE;  // an output without one only counts its bytes
  std::size_t index = 0;  // output: the archive file it receives
  std::unique_ptr<unsigned char[]> buf;
  DWORD pending = 0;
  std::uint64_t written = 0;
  bool failed = false;
};

struct Entry {
  CabFile file;
  std::wstring wideName;  // the file name it is unpacked under
  std::wstring tempPath;
  std::size_t createdSlot = 0;  // its place in Job::created
  bool done = false;
};

struct Job {
  std::wstring archive;
  std::wstring dir;  // ends with a separator
  std::vector<Entry> entries;
  std::vector<ArchiveEntry> listing;
  std::unique_ptr<TempNamer> namer;
  // Every handle given to FDI, closed ones included (so a stale value is
  // still recognised), by the value FDI holds.
  std::unordered_map<INT_PTR, std::unique_ptr<Handle>> handles;
  std::size_t next = 0;
  std::uint16_t firstFolder = 0, endFolder = 0;  // folders unpacked by the current FDICopy
  std::vector<std::wstring> created;  // files of ours in dir, removed on failure
  bool committed = false;

  ~Job() {
    for (auto& h : handles) {
      if (h.second->open && h.second->h != INVALID_HANDLE_VALUE) ::CloseHandle(h.second->h);
    }
    if (!committed) {
      for (const std::wstring& p : created) ::DeleteFileW(p.c_str());
    }
  }
};

// FDI's file callbacks carry no context of their own: one job per thread.
thread_local Job* t_job = nullptr;

std::wstring Widen(const char* s, int len, UINT codePage) {
  if (len == 0) return std::wstring();
  const int n = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, s, len, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, s, len, &w[0], n);
  return w;
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int len = static_cast<int>(w.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.data(), len, &s[0], n, nullptr, nullptr);
  return s;
}

Handle* Find(INT_PTR hf) {
  if (!t_job) return nullptr;
  const auto it = t_job->handles.find(hf);
  return it == t_job->handles.end() ? nullptr : it->second.get();
}

INT_PTR Register(Job* job, std::unique_ptr<Handle> f) {
  const auto key = reinterpret_cast<INT_PTR>(f.get());
  job->handles.emplace(key, std::move(f));
  return key;
}

// The first error of the system that failed this thread's unpacking (a
// full disk, say): GetLastError tells it to the caller when do_decab
// returns 0.
thread_local DWORD g_systemError = 0;
void NoteSystemError(DWORD error) {
  if (g_systemError == 0) g_systemError = error;
}

bool WriteAll(HANDLE h, const unsigned char* p, DWORD n) {
  while (n > 0) {
    DWORD done = 0;
    if (!::WriteFile(h, p, n, &done, nullptr) || done == 0) {
      NoteSystemError(done == 0 && ::GetLastError() == 0 ? ERROR_DISK_FULL : ::GetLastError());
      return false;
    }
    p += done;
    n -= done;
  }
  return true;
}

bool Flush(Handle* f) {
  if (f->pending && !f->failed && !WriteAll(f->h, f->buf.get(), f->pending)) f->failed = true;
  f->pending = 0;
  return !f->failed;
}

bool CloseOne(Handle* f) {
  if (!f->open) return false;
  bool ok = true;
  if (f->output) ok = Flush(f);
  if (f->h != INVALID_HANDLE_VALUE && !::CloseHandle(f->h)) ok = false;
  f->open = false;
  if (f->output) {
    f->failed = f->failed || !ok;
    f->buf.reset();
  }
  return ok;
}

// Zeroed memory: some versions of FDI free pointers of their decompression
// state that they never set (seen after a truncated LZX folder).
FNALLOC(FdiAlloc) { return std::calloc(cb ? cb : 1, 1); }

FNFREE(FdiFree) { std::free(pv); }

FNOPEN(FdiOpen) {
  (void)pmode;
  Job* job = t_job;
  if (!job || !pszFile || std::strcmp(pszFile, kArchiveToken) != 0) return -1;
  if (oflag & (_O_WRONLY | _O_RDWR | _O_CREAT | _O_TRUNC | _O_APPEND)) return -1;
  HANDLE h = ::CreateFileW(job->archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  auto f = std::make_unique<Handle>();
  f->h = h;
  return Register(job, std::move(f));
}

FNREAD(FdiRead) {
  Handle* f = Find(hf);
  if (!f || f->output || !f->open || !pv) return static_cast<UINT>(-1);
  auto* p = static_cast<unsigned char*>(pv);
  UINT total = 0;
  while (total < cb) {
    DWORD got = 0;
    if (!::ReadFile(f->h, p + total, cb - total, &got, nullptr)) return static_cast<UINT>(-1);
    if (got == 0) break;
    total += got;
  }
  return total;
}

FNWRITE(FdiWrite) {
  Handle* f = Find(hf);
  if (!f || !f->output || !f->open || !pv || f->failed) return static_cast<UINT>(-1);
  if (f->h == INVALID_HANDLE_VALUE) {
    f->written += cb;
    return cb;
  }
  const auto* p = static_cast<const unsigned char*>(pv);
  if ((f->pending + cb > kWriteBufferBytes || cb >= kDirectWriteBytes) && !Flush(f)) {
    return static_cast<UINT>(-1);
  }
  if (cb >= kDirectWriteBytes) {
    if (!WriteAll(f->h, p, cb)) {
      f->failed = true;
      return static_cast<UINT>(-1);
    }
  } else {
    std::memcpy(f->buf.get() + f->pending, p, cb);
    f->pending += cb;
  }
  f->written += cb;
  return cb;
}

FNCLOSE(FdiClose) {
  Handle* f = Find(hf);
  if (!f) return -1;
  return CloseOne(f) ? 0 : -1;
}

FNSEEK(FdiSeek) {
  Handle* f = Find(hf);
  if (!f || f->output || !f->open) return -1;
  DWORD method;
  switch (seektype) {
    case SEEK_SET: method = FILE_BEGIN; break;
    case SEEK_CUR: method = FILE_CURRENT; break;
    case SEEK_END: method = FILE_END; break;
    default: return -1;
  }
  LARGE_INTEGER move, now;
  move.QuadPart = dist;
  if (!::SetFilePointerEx(f->h, move, &now, method) || now.QuadPart > 0x7FFFFFFF) return -1;
  return static_cast<__LONG32>(now.QuadPart);
}

// fdintCOPY_FILE: the next file must be the one the directory listed at that
// place; it goes to a fresh temporary file of ours.
INT_PTR StartFile(Job* job, PFDINOTIFICATION pfdin) {
  const std::size_t i = job->next++;
  if (i >= job->entries.size()) return -1;
  Entry& e = job->entries[i];
  if (!pfdin->psz1 || e.file.rawName != pfdin->psz1 || static_cast<std::uint32_t>(pfdin->cb) != e.file.size) {
    return -1;
  }
  if (e.file.folder < job->firstFolder || e.file.folder >= job->endFolder) return 0;  // another pass
  if (e.done || !e.tempPath.empty()) return -1;
  auto f = std::make_unique<Handle>();
  f->output = true;
  f->index = i;
  if (job->listing[i].superseded) return Register(job, std::move(f));
  f->buf.reset(new (std::nothrow) unsigned char[kWriteBufferBytes]);
  if (!f->buf) return -1;
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    const std::string name = job->namer->Next();
    const std::wstring path = job->dir + std::wstring(name.begin(), name.end());
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD err = ::GetLastError();
      if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) continue;
      return -1;
    }
    e.createdSlot = job->created.size();
    job->created.push_back(path);
    e.tempPath = path;
    f->h = h;
    return Register(job, std::move(f));
  }
  return -1;
}

// fdintCLOSE_FILE_INFO: FDI sends it also after a failed file, so a file
// counts as done only when every declared byte was written.
INT_PTR FinishFile(Job* job, PFDINOTIFICATION pfdin) {
  Handle* f = Find(pfdin->hf);
  if (!f || !f->output) return FALSE;
  const bool ok = CloseOne(f) && !f->failed;
  Entry& e = job->entries[f->index];
  if (!ok || f->written != e.file.size) return FALSE;
  e.done = true;
  return TRUE;
}

FNFDINOTIFY(FdiNotify) {
  Job* job = t_job;
  if (!job || !pfdin) return -1;
  switch (fdint) {
    case fdintCABINET_INFO:
      return 0;
    case fdintCOPY_FILE:
      return StartFile(job, pfdin);
    case fdintCLOSE_FILE_INFO:
      return FinishFile(job, pfdin);
    case fdintENUMERATE:
      return 0;
    case fdintPARTIAL_FILE:
    case fdintNEXT_CABINET:
    default:
      return -1;  // never part of a cabinet set
  }
}

std::wstring DirWithSeparator(const std::wstring& dir) {
  const wchar_t last = dir.back();
  return (last == L'\\' || last == L'/') ? dir : dir + L'\\';
}

int Unpack(const char* archive, const char* dirArg, const DecabOptions& options) {
  if (!archive || !*archive || !dirArg || !*dirArg) return 0;
  Job job;
  job.archive = Widen(archive, static_cast<int>(std::strlen(archive)), CP_ACP);
  const std::wstring dir = Widen(dirArg, static_cast<int>(std::strlen(dirArg)), CP_ACP);
  if (job.archive.empty() || dir.empty()) return 0;
  const DWORD dirAttrs = ::GetFileAttributesW(dir.c_str());
  if (dirAttrs == INVALID_FILE_ATTRIBUTES || !(dirAttrs & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  job.dir = DirWithSeparator(dir);

  // The directory of the archive, read and checked before anything is written.
  CabDirectory cab;
  {
    HANDLE h = ::CreateFileW(job.archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    const bool disk = ::GetFileType(h) == FILE_TYPE_DISK;
    const bool parsed = disk && ReadCabDirectory(
                                    [h](std::uint64_t offset, void* dst, std::size_t n) {
                                      LARGE_INTEGER at;
                                      at.QuadPart = static_cast<LONGLONG>(offset);
                                      if (!::SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) return false;
                                      auto* p = static_cast<unsigned char*>(dst);
                                      while (n > 0) {
                                        DWORD got = 0;
                                        if (!::ReadFile(h, p, static_cast<DWORD>(n), &got, nullptr) || got == 0) {
                                          return false;
                                        }
                                        p += got;
                                        n -= got;
                                      }
                                      return true;
                                    },
                                    &cab);
    ::CloseHandle(h);
    if (!parsed) return 0;
  }
  for (const CabFile& f : cab.files) {
    Entry e;
    e.file = f;
    // A name not marked UTF-8 is split only once read in the code page: in a
    // double-byte code page a backslash byte may be half of a character.
    const std::string text = (f.attribs & kAttribNameIsUtf8)
                                 ? f.rawName
                                 : Utf8(Widen(f.rawName.data(), static_cast<int>(f.rawName.size()), CP_ACP));
    const std::string name = LastComponent(text);
    e.wideName = Widen(name.data(), static_cast<int>(name.size()), CP_UTF8);
    if (e.wideName.empty() && !name.empty()) return 0;  // the system does not take it as UTF-8: refuse
    job.listing.push_back(ArchiveEntry{name, f.size});
    job.entries.push_back(std::move(e));
  }
  std::uint64_t total = 0;
  if (CheckListing(&job.listing, options.maxTotalBytes, &total) != ListingProblem::None) return 0;
  if (options.checkFreeSpace) {
    ULARGE_INTEGER avail;
    if (::GetDiskFreeSpaceExW(job.dir.c_str(), &avail, nullptr, nullptr) &&
        avail.QuadPart < total + kFreeSpaceReserve) {
      NoteSystemError(ERROR_DISK_FULL);
      return 0;
    }
  }
  // A directory under a final name cannot be replaced by a file: refuse before writing.
  for (std::size_t i = 0; i < job.entries.size(); ++i) {
    if (job.listing[i].superseded) continue;
    const DWORD a = ::GetFileAttributesW((job.dir + job.entries[i].wideName).c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  }

  job.namer = std::make_unique<TempNamer>(job.listing, static_cast<unsigned long>(::GetCurrentProcessId()));
  // One FDICopy per run of folders of one compression method: FDI keeps the
  // state of all methods in one union and, on a switch from MSZIP to LZX in
  // one call, frees a window pointer that is really MSZIP state (Wine).
  ERF erf{};
  HFDI fdi = ::FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &erf);
  if (!fdi) return 0;
  Job* const previous = t_job;
  t_job = &job;
  bool copied = true;
  for (std::size_t first = 0; copied && first < cab.folders.size();) {
    std::size_t end = first + 1;
    while (end < cab.folders.size() && cab.folders[end].method == cab.folders[first].method) ++end;
    job.firstFolder = static_cast<std::uint16_t>(first);
    job.endFolder = static_cast<std::uint16_t>(end);
    job.next = 0;
    copied = ::FDICopy(fdi, kArchiveToken, kEmptyPath, 0, FdiNotify, nullptr, &job) &&
             job.next == job.entries.size();
    first = end;
  }
  t_job = previous;
  ::FDIDestroy(fdi);
  if (!copied) return 0;
  for (const Entry& e : job.entries) {
    if (!e.done) return 0;
  }

  for (std::size_t i = 0; i < job.entries.size(); ++i) {
    if (job.listing[i].superseded) continue;
    const Entry& e = job.entries[i];
    const std::wstring target = job.dir + e.wideName;
    // A read-only file of that name is replaced like any other.
    const DWORD a = ::GetFileAttributesW(target.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) && !(a & FILE_ATTRIBUTE_DIRECTORY)) {
      ::SetFileAttributesW(target.c_str(), a & ~DWORD(FILE_ATTRIBUTE_READONLY));
    }
    if (!::MoveFileExW(e.tempPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
    job.created[e.createdSlot] = target;
  }
  job.committed = true;
  return 1;
}

}  // namespace

int DecabFile(const char* archive, const char* dir, const DecabOptions& options) {
  g_systemError = 0;
  const int unpacked = Unpack(archive, dir, options);
  // Said last, after everything the unpacking left behind was removed.
  ::SetLastError(unpacked ? 0 : g_systemError);
  return unpacked;
}

}  // namespace cablib

extern "C" CABLIB_API int CABLIB_CALL do_decab(const char* archive, const char* dir) {
  try {
    return cablib::DecabFile(archive, dir, cablib::DecabOptions{});
  } catch (...) {
    return 0;  // exhausted memory; nothing may escape into the C caller
  }
}
