// Update.List text of any shape: reading it, building the install page for
// module numbers taken from the input's first bytes, and the file system's
// spelling of its entries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/Installer.h"
#include "update/Pages.h"
#include "update/UpdateListFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<int32_t> modules;
  size_t used = 0;
  if (size > 0) {
    size_t count = data[0] % 5;
    used = 1;
    for (size_t i = 0; i < count && used < size; ++i, ++used) modules.push_back(static_cast<int8_t>(data[used]));
  }
  std::string text(reinterpret_cast<const char*>(data) + used, size - used);
  quon::UpdateListFile file;
  file.ParseText(text);
  std::string page = quon::InstallPage(file, modules);
  if (page.empty()) __builtin_trap();
  for (const char* name : {"MAIN", "M1", "M-1"}) {
    if (const quon::UpdateListSection* section = file.FindSection(name)) {
      for (const std::string& entry : section->m_fileLines) {
        // A line ends at its first NUL.
        if (entry.find('\0') != std::string::npos) __builtin_trap();
        const std::string relative = quon::RelativeEntryPath(entry);
        // Mapping a name to the file system's spelling never makes or
        // loses a separator.
        const std::string onDisk = quon::EntryNameOnDisk(relative);
        if (std::count(onDisk.begin(), onDisk.end(), '/') != std::count(relative.begin(), relative.end(), '/') ||
            std::count(onDisk.begin(), onDisk.end(), '\\') != std::count(relative.begin(), relative.end(), '\\'))
          __builtin_trap();
        // A contained path never climbs out.
        if (quon::IsContainedRelativePath(relative) &&
            (relative.find("..\\") == 0 || relative.find("../") == 0 || relative == ".."))
          __builtin_trap();
      }
    }
  }
  return 0;
}
