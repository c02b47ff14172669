// do_decab on Linux: libmspack does the decompression through our own
// mspack_system, so that every file it reads or writes is one we chose.
//
// Sequence: open the target directory once (all later names are resolved
// relative to that descriptor), read the archive's listing (names not marked
// UTF-8 are read as Windows-1252), refuse it as a whole unless CheckListing
// accepts it and the volume has room, unpack every file into an exclusively
// created temporary file in the directory (an entry that a later one of the
// same name supersedes is decompressed and counted, never written), and only
// when all of them are complete rename them over their final names. A
// temporary file is never opened through a symlink (O_EXCL|O_NOFOLLOW), and a
// rename replaces whatever entry holds the final name instead of following it.
// On any failure every file this call created is removed again.

#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "CabHeader.h"
#include "Decab.h"
#include "SafeNames.h"
#include "Windows1252_posix.h"
#include "cablib.h"

namespace cablib {
namespace {

// Names our mspack_system understands; libmspack passes them through unchanged.
constexpr char kMemoryArchive[] = "\x01memory-archive";
constexpr char kOutputFile[] = "\x01output-file";
constexpr char kDiscardOutput[] = "\x01discard";  // counts what is written, keeps nothing

constexpr std::size_t kReadBufferBytes = 256 * 1024;
// Small writes are gathered; a whole frame (32 KiB) goes straight to the
// kernel while it is still in the CPU cache (a larger buffer made copying
// into the page cache the dominant cost).
constexpr std::size_t kWriteBufferBytes = 64 * 1024;
constexpr std::size_t kDirectWriteBytes = 16 * 1024;
constexpr int kDecompressInputBytes = 64 * 1024;  // libmspack's own input buffer
constexpr int kMaxTempAttempts = 100;

struct Context;

// What our open() returns as an mspack_file.
struct SysFile {
  Context* ctx = nullptr;
  bool writing = false;
  int fd = -1;
  // Reading from memory.
  const unsigned char* mem = nullptr;
  std::size_t memSize = 0;
  off_t memPos = 0;
  // Reading from a file: buf holds the bytes from offset bufStart on.
  std::unique_ptr<unsigned char[]> buf;
  off_t bufStart = 0;
  std::size_t bufPos = 0;
  std::size_t bufLen = 0;
  off_t size = 0;
  // Writing (to fd, or nowhere when fd < 0): bytes accepted, bytes waiting in
  // the context's write buffer.
  std::uint64_t written = 0;
  std::size_t pending = 0;
  bool failed = false;
};

// libmspack hands the mspack_system back as `self`; the hook leads to our context.
struct SystemHook {
  mspack_system sys;
  Context* ctx;
};

struct Context {
  SystemHook hook{};
  const char* archivePath = nullptr;
  const unsigned char* mem = nullptr;
  std::size_t memSize = 0;
  // Output of the file being unpacked: created by us, handed to libmspack once.
  int pendingFd = -1;
  bool outputClosed = false;
  bool outputFailed = false;
  std::uint64_t outputBytes = 0;
  std::unique_ptr<unsigned char[]> writeBuf;
};

SysFile* AsFile(mspack_file* f) { return reinterpret_cast<SysFile*>(f); }

ssize_t ReadFull(int fd, unsigned char* p, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// The first error of the system that failed this thread's unpacking (a
// full disk, say): errno tells it to the caller when do_decab returns 0.
thread_local int g_systemError = 0;
void NoteSystemError(int error) {
  if (g_systemError == 0) g_systemError = error;
}

bool WriteFull(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::write(fd, p, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      NoteSystemError(errno);
      return false;
    }
    if (r == 0) {
      NoteSystemError(ENOSPC);
      return false;
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool Flush(SysFile* f) {
  if (f->pending == 0) return !f->failed;
  if (!f->failed && !WriteFull(f->fd, f->ctx->writeBuf.get(), f->pending)) f->failed = true;
  f->pending = 0;
  return !f->failed;
}

mspack_file* SysOpen(mspack_system* self, const char* filename, int mode) {
  if (!self || !filename) return nullptr;
  Context* ctx = reinterpret_cast<SystemHook*>(self)->ctx;
  std::unique_ptr<SysFile> f(new (std::nothrow) SysFile);
  if (!f) return nullptr;
  f->ctx = ctx;
  if (mode == MSPACK_SYS_OPEN_READ) {
    if (ctx->mem) {
      if (std::strcmp(filename, kMemoryArchive) != 0) return nullptr;
      f->mem = ctx->mem;
      f->memSize = ctx->memSize;
      return reinterpret_cast<mspack_file*>(f.release());
    }
    if (!ctx->archivePath || std::strcmp(filename, ctx->archivePath) != 0) return nullptr;
    // O_NONBLOCK keeps a FIFO planted as the archive from blocking the open.
    const int fd = ::open(filename, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    f->buf.reset(new (std::nothrow) unsigned char[kReadBufferBytes]);
    if (!f->buf) {
      ::close(fd);
      return nullptr;
    }
    f->fd = fd;
    f->size = st.st_size;
    return reinterpret_cast<mspack_file*>(f.release());
  }
  if (mode == MSPACK_SYS_OPEN_WRITE) {
    f->writing = true;
    if (std::strcmp(filename, kDiscardOutput) == 0) return reinterpret_cast<mspack_file*>(f.release());
    if (std::strcmp(filename, kOutputFile) != 0 || ctx->pendingFd < 0 || !ctx->writeBuf) return nullptr;
    f->fd = ctx->pendingFd;
    ctx->pendingFd = -1;
    return reinterpret_cast<mspack_file*>(f.release());
  }
  return nullptr;  // update and append are never needed
}

void SysClose(mspack_file* file) {
  SysFile* f = AsFile(file);
  if (!f) return;
  if (f->writing) {
    Flush(f);
    if (f->fd >= 0 && ::close(f->fd) != 0) {
      NoteSystemError(errno);
      f->failed = true;
    }
    f->ctx->outputClosed = true;
    f->ctx->outputFailed = f->failed;
    f->ctx->outputBytes = f->written;
  } else if (f->fd >= 0) {
    ::close(f->fd);
  }
  delete f;
}

int SysRead(mspack_file* file, void* buffer, int bytes) {
  SysFile* f = AsFile(file);
  if (!f || f->writing || !buffer || bytes < 0) return -1;
  auto* out = static_cast<unsigned char*>(buffer);
  const auto want = static_cast<std::size_t>(bytes);
  if (f->mem) {
    if (f->memPos >= static_cast<off_t>(f->memSize)) return 0;
    const std::size_t n = std::min(want, f->memSize - static_cast<std::size_t>(f->memPos));
    std::memcpy(out, f->mem + f->memPos, n);
    f->memPos += static_cast<off_t>(n);
    return static_cast<int>(n);
  }
  std::size_t got = 0;
  while (got < want) {
    if (f->bufPos < f->bufLen) {
      const std::size_t n = std::min(want - got, f->bufLen - f->bufPos);
      std::memcpy(out + got, f->buf.get() + f->bufPos, n);
      f->bufPos += n;
      got += n;
      continue;
    }
    const off_t next = f->bufStart + static_cast<off_t>(f->bufLen);
    if (want - got >= kReadBufferBytes) {  // large request: straight into the caller's buffer
      const ssize_t r = ReadFull(f->fd, out + got, want - got);
      if (r < 0) return -1;
      f->bufStart = next + r;
      f->bufPos = f->bufLen = 0;
      got += static_cast<std::size_t>(r);
      break;
    }
    const ssize_t r = ReadFull(f->fd, f->buf.get(), kReadBufferBytes);
    if (r < 0) return -1;
    f->bufStart = next;
    f->bufPos = 0;
    f->bufLen = static_cast<std::size_t>(r);
    if (r == 0) break;
  }
  return static_cast<int>(got);
}

int SysWrite(mspack_file* file, void* buffer, int bytes) {
  SysFile* f = AsFile(file);
  if (!f || !f->writing || !buffer || bytes < 0 || f->failed) return -1;
  const auto n = static_cast<std::size_t>(bytes);
  if (f->fd < 0) {
    f->written += n;
    return bytes;
  }
  const auto* in = static_cast<const unsigned char*>(buffer);
  if ((f->pending + n > kWriteBufferBytes || n >= kDirectWriteBytes) && !Flush(f)) return -1;
  if (n >= kDirectWriteBytes) {
    if (!WriteFull(f->fd, in, n)) {
      f->failed = true;
      return -1;
    }
  } else {
    std::memcpy(f->ctx->writeBuf.get() + f->pending, in, n);
    f->pending += n;
  }
  f->written += n;
  return bytes;
}

int SysSeek(mspack_file* file, off_t offset, int mode) {
  SysFile* f = AsFile(file);
  if (!f || f->writing) return -1;
  off_t base;
  const off_t pos = f->mem ? f->memPos : f->bufStart + static_cast<off_t>(f->bufPos);
  const off_t size = f->mem ? static_cast<off_t>(f->memSize) : f->size;
  switch (mode) {
    case MSPACK_SYS_SEEK_START: base = 0; break;
    case MSPACK_SYS_SEEK_CUR: base = pos; break;
    case MSPACK_SYS_SEEK_END: base = size; break;
    default: return -1;
  }
  off_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  if (f->mem) {
    f->memPos = target;
    return 0;
  }
  if (target >= f->bufStart && target <= f->bufStart + static_cast<off_t>(f->bufLen)) {
    f->bufPos = static_cast<std::size_t>(target - f->bufStart);
    return 0;
  }
  if (::lseek(f->fd, target, SEEK_SET) < 0) return -1;
  f->bufStart = target;
  f->bufPos = f->bufLen = 0;
  return 0;
}

off_t SysTell(mspack_file* file) {
  SysFile* f = AsFile(file);
  if (!f) return -1;
  if (f->writing) return static_cast<off_t>(f->written);
  return f->mem ? f->memPos : f->bufStart + static_cast<off_t>(f->bufPos);
}

void SysMessage(mspack_file*, const char*, ...) {}

void* SysAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes ? bytes : 1); }

void SysFree(void* p) { std::free(p); }

void SysCopy(void* src, void* dest, size_t bytes) {
  if (src && dest && bytes) std::memmove(dest, src, bytes);
}

// Files this call created in the target directory; removed again unless the
// whole archive was unpacked.
class CreatedFiles {
 public:
  explicit CreatedFiles(int dirfd) : dirfd_(dirfd) {}
  ~CreatedFiles() {
    if (!committed_) {
      for (const std::string& name : names_) ::unlinkat(dirfd_, name.c_str(), 0);
    }
    ::close(dirfd_);
  }
  std::size_t Add(std::string name) {
    names_.push_back(std::move(name));
    return names_.size() - 1;
  }
  void Rename(std::size_t slot, std::string name) { names_[slot] = std::move(name); }
  void Commit() { committed_ = true; }

 private:
  int dirfd_;
  std::vector<std::string> names_;
  bool committed_ = false;
};

struct DecompressorDeleter {
  void operator()(mscab_decompressor* d) const { mspack_destroy_cab_decompressor(d); }
};

int Unpack(Context& ctx, const char* openName, const char* dir, const DecabOptions& options) {
  if (!dir || !*dir) return 0;
  int selftest;
  MSPACK_SYS_SELFTEST(selftest);
  if (selftest != MSPACK_ERR_OK) return 0;

  const int dirfd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return 0;
  CreatedFiles created(dirfd);

  ctx.hook.sys = mspack_system{SysOpen,    SysClose, SysRead, SysWrite, SysSeek, SysTell,
                               SysMessage, SysAlloc, SysFree, SysCopy,  nullptr};
  ctx.hook.ctx = &ctx;
  std::unique_ptr<mscab_decompressor, DecompressorDeleter> d(mspack_create_cab_decompressor(&ctx.hook.sys));
  if (!d) return 0;
  d->set_param(d.get(), MSCABD_PARAM_DECOMPBUF, kDecompressInputBytes);
  d->set_param(d.get(), MSCABD_PARAM_FIXMSZIP, 0);
  d->set_param(d.get(), MSCABD_PARAM_SALVAGE, 0);

  // Our own reading of the directory decides what is refused, as on Windows.
  CabDirectory directory;
  {
    mspack_file* in = SysOpen(&ctx.hook.sys, openName, MSPACK_SYS_OPEN_READ);
    if (!in) return 0;
    const bool parsed = ReadCabDirectory(
        [in](std::uint64_t offset, void* dst, std::size_t n) {
          return offset <= std::uint64_t(INT32_MAX) && n <= std::size_t(INT32_MAX) &&
                 SysSeek(in, static_cast<off_t>(offset), MSPACK_SYS_SEEK_START) == 0 &&
                 SysRead(in, dst, static_cast<int>(n)) == static_cast<int>(n);
        },
        &directory);
    SysClose(in);
    if (!parsed) return 0;
  }

  mscabd_cabinet* cab = d->open(d.get(), openName);
  if (!cab) return 0;
  struct CabCloser {
    mscab_decompressor* d;
    mscabd_cabinet* cab;
    ~CabCloser() { d->close(d, cab); }
  } closer{d.get(), cab};

  // One self-contained cabinet only: a member of a set cannot be complete.
  if (cab->next || cab->prevcab || cab->nextcab || (cab->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB))) {
    return 0;
  }

  std::vector<mscabd_file*> files;
  std::vector<ArchiveEntry> entries;
  Windows1252 codePage;
  for (mscabd_file* f = cab->files; f; f = f->next) {
    if (!f->folder || !f->filename) return 0;
    const std::size_t i = files.size();
    if (i >= directory.files.size()) return 0;
    const CabFile& listed = directory.files[i];
    if (listed.size != f->length || listed.offset != f->offset || listed.rawName != f->filename) {
      return 0;  // libmspack read the directory differently from us
    }
    files.push_back(f);
    const bool utf8 = (listed.attribs & kAttribNameIsUtf8) != 0;
    const std::string text = utf8 ? listed.rawName : codePage.ToUtf8(listed.rawName);
    entries.push_back(ArchiveEntry{LastComponent(text), f->length});
  }
  if (files.size() != directory.files.size()) return 0;
  std::uint64_t total = 0;
  if (CheckListing(&entries, options.maxTotalBytes, &total) != ListingProblem::None) return 0;

  if (options.checkFreeSpace) {
    struct statvfs vfs;
    if (::fstatvfs(dirfd, &vfs) == 0) {
      const std::uint64_t avail = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
      if (avail < total + kFreeSpaceReserve) {
        NoteSystemError(ENOSPC);
        return 0;
      }
    }
  }
  // A directory under a final name cannot be replaced by a file: refuse before writing.
  for (const ArchiveEntry& e : entries) {
    struct stat st;
    if (e.superseded) continue;
    if (::fstatat(dirfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return 0;
  }

  // Unpack folder by folder in data order, so no folder is decompressed twice.
  std::map<const mscabd_folder*, std::size_t> folderIndex;
  for (mscabd_folder* fol = cab->folders; fol; fol = fol->next) folderIndex.emplace(fol, folderIndex.size());
  std::vector<std::size_t> order(files.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const std::size_t fa = folderIndex[files[a]->folder], fb = folderIndex[files[b]->folder];
    return fa != fb ? fa < fb : files[a]->offset < files[b]->offset;
  });

  ctx.writeBuf.reset(new (std::nothrow) unsigned char[kWriteBufferBytes]);
  if (!ctx.writeBuf) return 0;
  TempNamer namer(entries, static_cast<unsigned long>(::getpid()));
  std::vector<std::string> tempName(files.size());
  std::vector<std::size_t> slot(files.size());
  for (const std::size_t i : order) {
    ctx.outputClosed = ctx.outputFailed = false;
    ctx.outputBytes = 0;
    const char* output = kDiscardOutput;
    if (!entries[i].superseded) {
      int fd = -1;
      for (int attempt = 0; attempt < kMaxTempAttempts && fd < 0; ++attempt) {
        tempName[i] = namer.Next();
        fd = ::openat(dirfd, tempName[i].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) return 0;
      }
      if (fd < 0) return 0;
      slot[i] = created.Add(tempName[i]);
      ctx.pendingFd = fd;
      output = kOutputFile;
    }
    const int err = d->extract(d.get(), files[i], output);
    if (ctx.pendingFd >= 0) {  // libmspack gave up before opening the output
      ::close(ctx.pendingFd);
      ctx.pendingFd = -1;
      return 0;
    }
    if (err != MSPACK_ERR_OK || !ctx.outputClosed || ctx.outputFailed || ctx.outputBytes != files[i]->length) {
      return 0;
    }
  }

  for (std::size_t i = 0; i < files.size(); ++i) {
    if (entries[i].superseded) continue;
    if (::renameat(dirfd, tempName[i].c_str(), dirfd, entries[i].name.c_str()) != 0) return 0;
    created.Rename(slot[i], entries[i].name);
  }
  created.Commit();
  return 1;
}

}  // namespace

int DecabFile(const char* archive, const char* dir, const DecabOptions& options) {
  if (!archive || !*archive) return 0;
  Context ctx;
  ctx.archivePath = archive;
  g_systemError = 0;
  const int unpacked = Unpack(ctx, archive, dir, options);
  // Said last, after everything the unpacking left behind was removed.
  errno = unpacked ? 0 : g_systemError;
  return unpacked;
}

int DecabMemory(const unsigned char* data, std::size_t size, const char* dir, const DecabOptions& options) {
  if (!data || size == 0) return 0;
  Context ctx;
  ctx.mem = data;
  ctx.memSize = size;
  return Unpack(ctx, kMemoryArchive, dir, options);
}

}  // namespace cablib

extern "C" CABLIB_API int do_decab(const char* archive, const char* dir) {
  try {
    return cablib::DecabFile(archive, dir, cablib::DecabOptions{});
  } catch (...) {
    return 0;  // exhausted memory; nothing may escape into the C caller
  }
}
