// quon-pack: builds an update archive, a cabinet holding the update's files
// stored flat under their file names and the list file Update.List.
#include <libgcab.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CabSigner.h"
#include "PackList.h"
#include "update/ReleaseFile.h"

using namespace quon::pack;

namespace {

const char kUsage[] =
    "usage: quon-pack -o OUT.cab [-C DIR] [--sign-cert F --sign-key F --applies-to VERSIONS --brings VERSION\n"
    "                 [--revokes FINGERPRINT]...]\n"
    "                 --name TEXT [--description TEXT] [FILE...]\n"
    "                 [--module N [--name TEXT] [--description TEXT] FILE...]...\n"
    "  -o OUT.cab          the archive to write\n"
    "  -C DIR              read the files relative to DIR (default: the current directory)\n"
    "  --sign-cert F, --sign-key F\n"
    "                      sign the archive with this code-signing certificate and its private\n"
    "                      key (PEM or DER; the key unencrypted)\n"
    "  --applies-to VERSIONS, --brings VERSION\n"
    "                      with --sign-cert: the installed versions the update is for (four\n"
    "                      numbers joined by dots, a part may be *, separated by commas) and the\n"
    "                      version it brings, signed with the archive in its release file\n"
    "                      Update.Release (not listed in Update.List), so that an updater that\n"
    "                      requires signatures installs it only on those versions and records\n"
    "                      that version\n"
    "  --revokes FINGERPRINT\n"
    "                      with --sign-cert: the SHA-256 fingerprint of a signer certificate\n"
    "                      that updaters are to refuse from now on, in the release file\n"
    "  --name, --description\n"
    "                      title and description of the section being described: the update\n"
    "                      itself (MAIN) until the first --module, then that module's section\n"
    "  --module N          the files that follow belong to module N (section M<N>)\n"
    "  FILE                a path relative to the product directory; it is read from DIR/FILE,\n"
    "                      stored in the archive under its file name and listed in Update.List\n";

// The cabinet format's limit on a file, and on all files of a folder.
constexpr uint64_t kMaxCabinetBytes = uint64_t{1} << 32;

int Usage(const std::string& problem) {
  std::fprintf(stderr, "quon-pack: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

int Fail(const std::string& problem) {
  std::fprintf(stderr, "quon-pack: %s\n", problem.c_str());
  return 1;
}

struct GErrorHolder {
  GError* error = nullptr;
  ~GErrorHolder() {
    if (error) g_error_free(error);
  }
  std::string Message() const { return error ? error->message : "unknown error"; }
};

// Writes the cabinet to a temporary file beside `out`, then renames it into
// place, so that a failure never leaves a half-written archive under the
// final name.
bool WriteCabinet(const std::vector<PackSection>& sections, const std::string& listText, const std::string& releaseText,
                  const std::string& out, std::string& problem) {
  GErrorHolder err;
  GCabCabinet* cabinet = gcab_cabinet_new();
  GCabFolder* folder = gcab_folder_new(GCAB_COMPRESSION_MSZIP);
  bool ok = true;
  for (const PackSection& s : sections) {
    for (const PackEntry& e : s.entries) {
      GFile* source = g_file_new_for_path(e.source.c_str());
      GCabFile* file = gcab_file_new_with_file(e.storedName.c_str(), source);
      ok = gcab_folder_add_file(folder, file, FALSE, nullptr, &err.error);
      g_object_unref(file);
      g_object_unref(source);
      if (!ok) {
        problem = "cannot add '" + e.source + "': " + err.Message();
        break;
      }
    }
    if (!ok) break;
  }
  // The list file, and the release file of a signed archive.
  const std::pair<const char*, const std::string*> texts[] = {{kListFileName, &listText},
                                                              {kReleaseFileName, &releaseText}};
  for (const auto& [name, text] : texts) {
    if (!ok || (name == kReleaseFileName && text->empty())) continue;
    GBytes* bytes = g_bytes_new(text->data(), text->size());
    GCabFile* file = gcab_file_new_with_bytes(name, bytes);
    GDateTime* now = g_date_time_new_now_utc();
    gcab_file_set_date_time(file, now);
    g_date_time_unref(now);
    ok = gcab_folder_add_file(folder, file, FALSE, nullptr, &err.error);
    g_object_unref(file);
    g_bytes_unref(bytes);
    if (!ok) problem = std::string("cannot add ") + name + ": " + err.Message();
  }
  if (ok) {
    ok = gcab_cabinet_add_folder(cabinet, folder, &err.error);
    if (!ok) problem = "cannot build the cabinet: " + err.Message();
  }
  const std::string temp = out + ".tmp" + std::to_string(getpid());
  if (ok) {
    GFile* target = g_file_new_for_path(temp.c_str());
    GFileOutputStream* stream =
        g_file_replace(target, nullptr, FALSE, G_FILE_CREATE_REPLACE_DESTINATION, nullptr, &err.error);
    if (stream == nullptr) {
      ok = false;
      problem = "cannot create '" + temp + "': " + err.Message();
    } else {
      ok = gcab_cabinet_write_simple(cabinet, G_OUTPUT_STREAM(stream), nullptr, nullptr, nullptr, &err.error);
      if (!ok) problem = "cannot write '" + out + "': " + err.Message();
      GErrorHolder closeErr;
      if (!g_output_stream_close(G_OUTPUT_STREAM(stream), nullptr, &closeErr.error) && ok) {
        ok = false;
        problem = "cannot write '" + out + "': " + closeErr.Message();
      }
      g_object_unref(stream);
    }
    g_object_unref(target);
  }
  g_object_unref(folder);
  g_object_unref(cabinet);
  if (ok && std::rename(temp.c_str(), out.c_str()) != 0) {
    ok = false;
    problem = "cannot rename '" + temp + "' to '" + out + "': " + std::strerror(errno);
  }
  if (!ok) std::remove(temp.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  std::string baseDir;
  std::string signCert, signKey;
  std::optional<std::string> appliesTo, brings;
  std::vector<std::string> revokes;
  std::vector<PackSection> sections(1);  // MAIN first
  bool nameSet = false, descriptionSet = false;
  std::vector<std::string> paths;
  std::vector<size_t> pathSection;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--sign-cert" || arg == "--sign-key") {
      const char* v = next();
      if (v == nullptr) return Usage("missing value after " + arg);
      (arg == "--sign-cert" ? signCert : signKey) = v;
      continue;
    }
    if (arg == "--applies-to" || arg == "--brings") {
      const char* v = next();
      if (v == nullptr) return Usage("missing value after " + arg);
      (arg == "--applies-to" ? appliesTo : brings) = v;
      continue;
    }
    if (arg == "--revokes") {
      const char* v = next();
      if (v == nullptr) return Usage("missing value after " + arg);
      revokes.push_back(v);
      continue;
    }
    if (arg == "-o" || arg == "-C" || arg == "--name" || arg == "--description" || arg == "--module") {
      const char* v = next();
      if (v == nullptr) return Usage("missing value after " + arg);
      if (arg == "-o") {
        out = v;
      } else if (arg == "-C") {
        baseDir = v;
      } else if (arg == "--name" || arg == "--description") {
        bool& set = arg == "--name" ? nameSet : descriptionSet;
        if (set) return Usage(arg + " is given twice for section " + sections.back().SectionName());
        if (auto problem = CheckText(v)) return Usage(arg + " " + *problem);
        set = true;
        (arg == "--name" ? sections.back().name : sections.back().description) = v;
      } else {
        auto n = ParseModuleNumber(v);
        if (!n) return Usage(std::string("--module needs a number, not '") + v + "'");
        PackSection s;
        s.isModule = true;
        s.module = *n;
        sections.push_back(s);
        nameSet = descriptionSet = false;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-' && arg != "--") return Usage("unknown option '" + arg + "'");
    if (arg == "--") {
      for (++i; i < argc; ++i) {
        paths.push_back(argv[i]);
        pathSection.push_back(sections.size() - 1);
      }
      break;
    }
    paths.push_back(arg);
    pathSection.push_back(sections.size() - 1);
  }
  if (out.empty()) return Usage("-o OUT.cab is required");
  if (sections[0].name.empty()) return Usage("--name is required for the update");
  if (signCert.empty() != signKey.empty()) return Usage("--sign-cert and --sign-key go together");
  // A signed archive binds its versions: without them a server could offer
  // it for any installed version and name any version for it.
  std::string releaseText;
  if (signCert.empty() && (appliesTo || brings || !revokes.empty()))
    return Usage("--applies-to, --brings and --revokes go with --sign-cert");
  if (!signCert.empty()) {
    if (!appliesTo || !brings) return Usage("a signed archive needs --applies-to and --brings");
    std::string problem;
    const std::optional<std::string> text = quon::FormatReleaseText(*appliesTo, *brings, problem, revokes);
    if (!text) return Usage(problem);
    releaseText = *text;
  }

  std::vector<std::string> problems;
  uint64_t total = 0;
  for (size_t k = 0; k < paths.size(); ++k) {
    PackEntry entry;
    if (auto problem = MakeEntry(paths[k], baseDir, entry)) {
      problems.push_back(*problem);
      continue;
    }
    // What is packed is what the path names in the tree: a symbolic link
    // on the way (to a file or a folder) could lead anywhere, and would not
    // give the same archive on another machine.
    std::string problem;
    const std::string prefix = baseDir.empty() ? std::string() : baseDir + "/";
    const std::string relative = entry.source.substr(prefix.size());
    struct stat st {};
    for (size_t end = relative.find('/'); problem.empty(); end = relative.find('/', end + 1)) {
      const std::string partial = prefix + relative.substr(0, end);
      if (lstat(partial.c_str(), &st) != 0)
        problem = "cannot read '" + partial + "': " + std::strerror(errno);
      else if (S_ISLNK(st.st_mode))
        problem = "'" + partial + "' is a symbolic link; only files and folders of the tree are packed";
      if (end == std::string::npos) break;
    }
    if (problem.empty() && !S_ISREG(st.st_mode)) problem = "'" + entry.source + "' is not a regular file";
    // A cabinet counts sizes and offsets in 32 bits.
    if (problem.empty() && static_cast<uint64_t>(st.st_size) >= kMaxCabinetBytes)
      problem = "'" + entry.source + "' is 4 GiB or larger: a cabinet cannot hold it";
    if (!problem.empty()) {
      problems.push_back(problem);
      continue;
    }
    total += static_cast<uint64_t>(st.st_size);
    sections[pathSection[k]].entries.push_back(entry);
  }
  if (total + BuildUpdateList(sections).size() + releaseText.size() >= kMaxCabinetBytes)
    problems.push_back("the files add up to 4 GiB or more: a cabinet cannot hold them");
  for (const auto& p : CheckSections(sections)) problems.push_back(p);
  if (!problems.empty()) {
    for (const auto& p : problems) std::fprintf(stderr, "quon-pack: %s\n", p.c_str());
    return 1;
  }

  std::string problem;
  if (signCert.empty()) return WriteCabinet(sections, BuildUpdateList(sections), "", out, problem) ? 0 : Fail(problem);
  const std::string unsignedCab = out + ".unsigned" + std::to_string(getpid());
  bool ok = WriteCabinet(sections, BuildUpdateList(sections), releaseText, unsignedCab, problem) &&
            SignCabinetFile(unsignedCab, out, signCert, signKey, problem);
  std::remove(unsignedCab.c_str());
  return ok ? 0 : Fail(problem);
}
