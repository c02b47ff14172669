// Linux: paths are the bytes of the text.
#include "base/FsPath.h"

namespace quon {

std::filesystem::path FsPath(const std::string& path) { return std::filesystem::path(path); }

std::string PathText(const std::filesystem::path& path) { return path.string(); }

bool NameText(const std::filesystem::path& name, std::string& text) {
  text = name.string();
  return !text.empty();
}

std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

size_t FindPathSeparator(std::string_view path, size_t from) { return path.find_first_of("\\/", from); }

}  // namespace quon
