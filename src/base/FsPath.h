// Paths are 8-bit texts in the system's code page everywhere in the program;
// this is the one place where they become the file system's own paths, and
// where names read from the file system become texts again. On Windows the
// text is in the ANSI code page (and the file system's names are UTF-16);
// elsewhere the bytes pass unchanged.
#pragma once
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace quon {

// The file-system path that the 8-bit `path` names.
std::filesystem::path FsPath(const std::string& path);

// The 8-bit text of a path or name that the file system gave. A name that
// the code page cannot spell comes back with the code page's default
// character in its place (never a look-alike), so it never matches a name
// of ours.
std::string PathText(const std::filesystem::path& path);
// The 8-bit text of a name, when the text spells it exactly: FsPath of the
// text names it again. False for a name the code page cannot spell, which
// is then never to be opened through a converted form.
bool NameText(const std::filesystem::path& name, std::string& text);

// std::fopen on the path FsPath gives.
std::FILE* OpenFile(const std::string& path, const char* mode);

// The position of the first directory separator ('\\' or '/') in `path` at
// or after `from`, reading `path` by characters of the system's code page:
// on Windows the second byte of a double-byte character is never a
// separator. npos when there is none.
size_t FindPathSeparator(std::string_view path, size_t from = 0);

}  // namespace quon
