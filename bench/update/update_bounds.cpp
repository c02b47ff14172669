// Runs one step of the update session on files made beforehand, so that its
// peak memory and time can be measured from outside (run.sh):
//   update_bounds list FILE                       read a list file, build the install page
//   update_bounds install FILE PRODUCT UNPACK [--whole]
//                                                 read a list file (--whole: all of it, past
//                                                 the size bound) and install its files
//   update_bounds version FILE                    write 8.2.0.11 into a version file
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/FileSystem.h"
#include "base/UserPrompts.h"
#include "update/Pages.h"
#include "update/RunFiles.h"
#include "update/UpdateListFile.h"

namespace {

struct CountingPrompts : quon::UserPrompts {
  size_t boxes = 0;
  int MessageBox(std::string_view, quon::MsgButtons, quon::MsgIcon) override {
    ++boxes;
    return quon::kIdOk;
  }
  bool PromptProxyCredentials(std::string_view, std::string&, std::string&) override { return false; }
};

int Usage() {
  std::fputs("usage: update_bounds list FILE | install FILE PRODUCT UNPACK [--whole] | version FILE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 2) return Usage();
  CountingPrompts prompts;
  quon::UpdateListFile list;
  if (args[0] == "list" && args.size() == 2) {
    const bool read = list.ReadListFile(args[1], prompts);
    const std::string page = quon::InstallPage(list, {});
    std::printf("read %d, sections %zu, page %zu bytes, boxes %zu\n", read, list.SectionCount(), page.size(),
                prompts.boxes);
    return 0;
  }
  if (args[0] == "install" && (args.size() == 4 || (args.size() == 5 && args[4] == "--whole"))) {
    if (args.size() == 5) {
      std::ifstream in(args[1], std::ios::binary);
      list.ParseText(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    } else if (!list.ReadListFile(args[1], prompts)) {
      std::printf("list refused, boxes %zu\n", prompts.boxes);
      return 0;
    }
    std::vector<std::string> failed;
    const bool all = list.InstallFiles(quon::SystemFileSystem(), {}, args[2], args[3], failed, prompts);
    std::printf("installed all %d, failed %zu, boxes %zu\n", all, failed.size(), prompts.boxes);
    return 0;
  }
  if (args[0] == "version" && args.size() == 2) {
    const uint16_t words[4] = {8, 2, 0, 11};
    std::printf("written %d\n", quon::WriteVersionFile(quon::SystemFileSystem(), args[1], words));
    return 0;
  }
  return Usage();
}
