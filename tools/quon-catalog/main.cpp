// quon-catalog: adds an update to the update server's catalog, packing its
// archive first when given quon-pack's arguments (a release in one command),
// and changes an update's rollout or pause. The catalog is checked as the
// server reads it before it replaces the old one.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "Catalog.h"
#include "base/CText.h"

using namespace quon::server;
using quon::AsciiLower;
using quon::Trim;

namespace {

const char kUsage[] =
    "usage: quon-catalog add --root DIR --id N --applies-to VERSIONS --brings VERSION --archive FILE\n"
    "                        [--name TEXT] [--description TEXT] [--posted DATE] [--rollout P%] [--paused]\n"
    "                        [-- QUON-PACK-ARGUMENTS...]\n"
    "       quon-catalog set --root DIR --id N [--rollout P%] [--paused yes|no]\n"
    "  add   appends [update N] to DIR/catalog.ini. With arguments after --, quon-pack first builds\n"
    "        DIR/FILE from them (-o is added), and --name and --description default to the ones\n"
    "        given to quon-pack for the update itself. --posted defaults to now (UTC).\n"
    "  set   changes the rollout share or the pause of update N.\n"
    "The servers offer the change once they reload the catalog (SIGHUP).\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "quon-catalog: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

int Fail(const std::string& problem) {
  std::fprintf(stderr, "quon-catalog: %s\n", problem.c_str());
  return 1;
}

std::string ReadText(const std::string& path, bool& exists) {
  std::ifstream in(path, std::ios::binary);
  exists = static_cast<bool>(in);
  return exists ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : std::string();
}

// Holds DIR/catalog.ini.lock for the whole read, change and write of the
// catalog, so that runs at once change it one after another and none
// loses another's change. The catalog itself is replaced by rename, so the
// lock is a file of its own.
class CatalogLock {
 public:
  explicit CatalogLock(const std::string& root) {
    m_fd = open((root + "/" + kCatalogFileName + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd >= 0 && flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
      std::fprintf(stderr, "quon-catalog: waiting for another quon-catalog changing %s/%s\n", root.c_str(),
                   kCatalogFileName);
      if (flock(m_fd, LOCK_EX) != 0) Release();
    }
    if (m_fd < 0) m_error = std::strerror(errno);
  }
  ~CatalogLock() { Release(); }
  bool Held() const { return m_fd >= 0; }
  const std::string& Error() const { return m_error; }

 private:
  void Release() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }
  int m_fd = -1;
  std::string m_error;
};

// Removes what earlier runs, killed while they worked, left in `dir`: files
// whose names start with `prefix` followed by `tag` and digits. Only called
// under the lock, when no other run is working.
void RemoveLeftovers(const std::string& dir, const std::string& prefix, const std::vector<std::string>& tags) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    for (const std::string& tag : tags) {
      const std::string start = prefix + tag;
      if (name.size() > start.size() && name.compare(0, start.size(), start) == 0 &&
          name.find_first_not_of("0123456789", start.size()) == std::string::npos)
        unlink((dir + "/" + name).c_str());
    }
  }
  closedir(d);
}

// Checks the new text as the server will read it, then puts it in place of
// the catalog through a temporary file of this run, flushed to disk before
// the rename.
bool Replace(const std::string& root, const std::string& text, std::string& problem) {
  const std::string path = root + "/" + kCatalogFileName;
  std::vector<std::string> errors;
  if (!Catalog::Parse(text, path, root, errors)) {
    for (const auto& e : errors) problem += (problem.empty() ? "" : "\n") + e;
    return false;
  }
  const std::string temp = path + ".new" + std::to_string(getpid());
  FILE* f = std::fopen(temp.c_str(), "wbx");
  bool ok =
      f && std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0 && fsync(fileno(f)) == 0;
  if (f) ok = std::fclose(f) == 0 && ok;
  struct stat st {};
  if (ok && stat(path.c_str(), &st) == 0) chmod(temp.c_str(), st.st_mode & 07777);
  if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    problem = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

std::string Now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
  return buf;
}

// Runs quon-pack (beside this program, or from PATH) with -o OUT and args.
int RunPack(const char* self, const std::string& out, const std::vector<std::string>& args) {
  std::string pack = "quon-pack";
  const std::string me = self;
  const size_t slash = me.rfind('/');
  if (slash != std::string::npos) {
    for (const std::string& candidate :
         {me.substr(0, slash + 1) + "quon-pack", me.substr(0, slash + 1) + "../quon-pack/quon-pack"})
      if (access(candidate.c_str(), X_OK) == 0) {
        pack = candidate;
        break;
      }
  }
  std::vector<std::string> argv = {pack, "-o", out};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // quon-pack ends with this program, also when it is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    execvp(cargv[0], cargv.data());
    std::fprintf(stderr, "quon-catalog: cannot run %s: %s\n", cargv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

struct Options {
  std::string root, id, appliesTo, brings, archive, name, description, posted, rollout, paused;
  bool pausedFlag = false;
  std::vector<std::string> pack;
};

// The first value of `option` among quon-pack's arguments before any
// --module, or empty.
std::string PackOption(const std::vector<std::string>& pack, const std::string& option) {
  for (size_t i = 0; i + 1 < pack.size() && pack[i] != "--module"; ++i)
    if (pack[i] == option) return pack[i + 1];
  return {};
}

int Add(const char* self, Options o) {
  if (o.root.empty() || o.id.empty() || o.appliesTo.empty() || o.brings.empty() || o.archive.empty())
    return Usage("add needs --root, --id, --applies-to, --brings and --archive");
  if (o.name.empty()) o.name = PackOption(o.pack, "--name");
  if (o.description.empty()) o.description = PackOption(o.pack, "--description");
  if (o.name.empty() || o.description.empty()) return Usage("add needs --name and --description");
  if (o.posted.empty()) o.posted = Now();

  CatalogLock lock(o.root);
  if (!lock.Held()) return Fail("cannot lock the catalog in " + o.root + ": " + lock.Error());
  RemoveLeftovers(o.root, std::string(kCatalogFileName), {".new"});
  bool exists = false;
  const std::string path = o.root + "/" + kCatalogFileName;
  std::string text = ReadText(path, exists);
  std::vector<std::string> errors;
  auto current = Catalog::Parse(text, path, o.root, errors);
  if (!current) {
    for (const auto& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    return Fail("the catalog has errors; nothing was changed");
  }
  const unsigned long long id = std::strtoull(o.id.c_str(), nullptr, 10);
  if (id > 0 && id <= 0xFFFFFFFFu && current->Find(static_cast<uint32_t>(id)))
    return Fail("update " + o.id + " is already listed in " + path + "; nothing was changed");
  const std::string archivePath = o.root + "/" + o.archive;
  if (!o.pack.empty()) {
    // Its folders are made inside the root only: the path is checked as the
    // catalog checks it first.
    if (o.archive[0] == '/' || o.archive.find('\\') != std::string::npos ||
        ("/" + o.archive + "/").find("/../") != std::string::npos)
      return Fail("archive '" + o.archive + "' must be a path relative to the root directory without '..'");
    // An archive that an update of the catalog uses is never packed over;
    // one that none uses was left by a run that ended before it changed
    // the catalog, and is packed again.
    for (const CatalogEntry& e : current->Entries())
      if (e.archive == o.archive || e.archiveRelative == o.archive)
        return Fail("'" + archivePath + "' exists already: update " + std::to_string(e.id) +
                    " uses it; nothing was changed");
    if (access(archivePath.c_str(), F_OK) == 0)
      std::fprintf(stderr, "quon-catalog: '%s' is used by no update; packed again\n", archivePath.c_str());
    for (size_t slash = o.archive.find('/'); slash != std::string::npos; slash = o.archive.find('/', slash + 1))
      mkdir((o.root + "/" + o.archive.substr(0, slash)).c_str(), 0755);
    // What a quon-pack killed with an earlier run left beside the archive.
    const size_t slash = archivePath.rfind('/');
    RemoveLeftovers(archivePath.substr(0, slash), archivePath.substr(slash + 1), {".tmp", ".unsigned", ".sign"});
    if (RunPack(self, archivePath, o.pack) != 0) return Fail("quon-pack failed; nothing was changed");
  }

  if (!text.empty() && text.back() != '\n') text += '\n';
  if (!text.empty()) text += '\n';
  text += "[update " + o.id + "]\nposted      = " + o.posted + "\nname        = " + o.name +
          "\ndescription = " + o.description + "\napplies-to  = " + o.appliesTo + "\narchive     = " + o.archive +
          "\nbrings      = " + o.brings + "\n";
  if (!o.rollout.empty()) text += "rollout     = " + o.rollout + "\n";
  if (o.pausedFlag) text += "paused      = yes\n";
  std::string problem;
  if (!Replace(o.root, text, problem)) {
    // An archive packed for an update that the catalog refused is removed.
    if (!o.pack.empty()) std::remove(archivePath.c_str());
    std::fprintf(stderr, "%s\n", problem.c_str());
    return Fail("the update was not added");
  }
  std::printf("update %s added to %s; reload the servers (SIGHUP) to offer it\n", o.id.c_str(), path.c_str());
  return 0;
}

// What is trimmed off a catalog line and its parts, its line end included.
constexpr std::string_view kLineBlanks = " \t\r\n";

int Set(Options o) {
  if (o.root.empty() || o.id.empty()) return Usage("set needs --root and --id");
  if (o.rollout.empty() && o.paused.empty()) return Usage("set needs --rollout or --paused");
  CatalogLock lock(o.root);
  if (!lock.Held()) return Fail("cannot lock the catalog in " + o.root + ": " + lock.Error());
  RemoveLeftovers(o.root, std::string(kCatalogFileName), {".new"});
  bool exists = false;
  const std::string path = o.root + "/" + kCatalogFileName;
  const std::string text = ReadText(path, exists);
  if (!exists) return Fail("cannot read " + path);

  std::vector<std::string> lines;
  for (size_t p = 0; p < text.size();) {
    size_t nl = text.find('\n', p);
    if (nl == std::string::npos) nl = text.size() - 1;
    lines.push_back(text.substr(p, nl - p + 1));
    p = nl + 1;
  }
  // The section [update N], written with any blanks and case.
  size_t begin = lines.size(), end = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string t = AsciiLower(Trim(lines[i], kLineBlanks));
    if (t.empty() || t[0] != '[') continue;
    if (begin != lines.size()) {
      end = i;
      break;
    }
    const std::string_view inner =
        t.size() > 2 && t.back() == ']' ? Trim(std::string_view(t).substr(1, t.size() - 2), kLineBlanks) : "";
    if (inner.rfind("update", 0) == 0 && inner.size() > 6 && (inner[6] == ' ' || inner[6] == '\t') &&
        Trim(inner.substr(6), kLineBlanks) == o.id)
      begin = i;
  }
  if (begin == lines.size()) return Fail("update " + o.id + " is not in " + path);
  const std::string eol = lines[begin].size() > 1 && lines[begin][lines[begin].size() - 2] == '\r' ? "\r\n" : "\n";
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"rollout", o.rollout}, {"paused", o.paused}}) {
    if (value.empty()) continue;
    const std::string line = key + std::string(12 - key.size(), ' ') + "= " + value + eol;
    size_t found = end, last = begin;
    for (size_t i = begin + 1; i < end; ++i) {
      const std::string_view t = Trim(lines[i], kLineBlanks);
      if (t.empty() || t[0] == '#') continue;
      last = i;
      if (AsciiLower(Trim(t.substr(0, t.find('=')), kLineBlanks)) == key) found = i;
    }
    if (found != end) {
      lines[found] = line;
    } else {
      if (!lines[last].empty() && lines[last].back() != '\n') lines[last] += eol;
      lines.insert(lines.begin() + static_cast<long>(last) + 1, line);
      ++end;
    }
  }
  std::string updated;
  for (const auto& l : lines) updated += l;
  std::string problem;
  if (!Replace(o.root, updated, problem)) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return Fail("the catalog was not changed");
  }
  std::printf("update %s changed in %s; reload the servers (SIGHUP) to apply it\n", o.id.c_str(), path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("a command is required");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::printf("%s", kUsage);
    return 0;
  }
  if (command != "add" && command != "set") return Usage("unknown command '" + command + "'");
  Options o;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      o.pack.assign(argv + i + 1, argv + argc);
      if (command != "add" || o.pack.empty()) return Usage("quon-pack's arguments go after -- of add");
      break;
    }
    if (arg == "--paused" && command == "add") {
      o.pausedFlag = true;
      continue;
    }
    std::string* target = arg == "--root"          ? &o.root
                          : arg == "--id"          ? &o.id
                          : arg == "--applies-to"  ? &o.appliesTo
                          : arg == "--brings"      ? &o.brings
                          : arg == "--archive"     ? &o.archive
                          : arg == "--name"        ? &o.name
                          : arg == "--description" ? &o.description
                          : arg == "--posted"      ? &o.posted
                          : arg == "--rollout"     ? &o.rollout
                          : arg == "--paused"      ? &o.paused
                                                   : nullptr;
    if (target == nullptr) return Usage("unknown argument '" + arg + "'");
    if (i + 1 >= argc) return Usage("missing value after " + arg);
    *target = argv[++i];
  }
  return command == "add" ? Add(argv[0], o) : Set(o);
}
