// quon-wire: reads and writes the protocol's texts for support engineers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>
#include <algorithm>

#include "net/FieldMap.h"
#include "net/PayloadCodec.h"
#include "platform_stdio.h"

namespace {

const char kUsage[] =
    "usage: quon-wire COMMAND [OPTIONS]\n"
    "\n"
    "Commands (input on stdin, output on stdout, binary-safe):\n"
    "  scramble [--seed N]        escape and scramble stdin\n"
    "  unscramble                 unscramble stdin\n"
    "  encode [--scramble] [--seed N] NAME=VALUE...\n"
    "                             the fields text of these fields (split at the first '=')\n"
    "  decode [--unscramble]      one line per field of the fields text on stdin:\n"
    "                             escaped name=escaped value, sorted bytewise\n"
    "\n"
    "Options for every command:\n"
    "  --key-file F               use the 244-character key in F instead of the built-in one\n"
    "  --seed N                   seed the generator with N first (as srand(N) would);\n"
    "                             without it the generator is seeded with the current time\n"
    "  --help                     show this text\n";

struct UsageError {
  std::string message;
};

std::string ReadAll(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string LoadKey(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw UsageError{"cannot read key file '" + path + "'"};
  std::string key = ReadAll(file);
  while (!key.empty() && (key.back() == '\n' || key.back() == '\r' || key.back() == ' ')) key.pop_back();
  const bool alnum = std::all_of(key.begin(), key.end(), [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  });
  if (key.size() != 244 || !alnum)
    throw UsageError{"key file '" + path + "' must hold exactly 244 ASCII letters and digits"};
  return key;
}

uint32_t ParseSeed(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || text[0] == '-' || errno != 0 || value > 0xFFFFFFFFull)
    throw UsageError{"--seed needs a number from 0 to 4294967295, not '" + text + "'"};
  return static_cast<uint32_t>(value);
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (std::find(args.begin(), args.end(), "--help") != args.end() ||
      std::find(args.begin(), args.end(), "-h") != args.end()) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.empty()) throw UsageError{"missing command (try --help)"};
  const std::string command = args.front();

  std::string key(quon::ScrambleKey());
  bool haveSeed = false, scramble = false, unscramble = false;
  uint32_t seed = 0;
  std::vector<std::string> fields;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
      return args[++i];
    };
    if (a == "--key-file") {
      key = LoadKey(value());
    } else if (a == "--seed" && (command == "scramble" || command == "encode")) {
      seed = ParseSeed(value());
      haveSeed = true;
    } else if (a == "--scramble" && command == "encode") {
      scramble = true;
    } else if (a == "--unscramble" && command == "decode") {
      unscramble = true;
    } else if (command == "encode" && a.rfind("--", 0) != 0) {
      if (a.find('=') == std::string::npos) throw UsageError{"field '" + a + "' has no '='"};
      fields.push_back(a);
    } else {
      throw UsageError{"unknown argument '" + a + "' for " + command};
    }
  }
  quon::CrtSeed(haveSeed ? seed : static_cast<uint32_t>(std::time(nullptr)));
  quon::SetBinaryStdio();

  std::string out;
  if (command == "scramble") {
    out = quon::ScrambleText(ReadAll(std::cin), key);
  } else if (command == "unscramble") {
    out = quon::UnscrambleText(ReadAll(std::cin), key);
  } else if (command == "encode") {
    quon::FieldMap map;
    for (const std::string& f : fields) {
      const size_t eq = f.find('=');
      map.Set(f.substr(0, eq), f.substr(eq + 1));
    }
    out = quon::EncodeFields(map, scramble, key);
  } else if (command == "decode") {
    quon::FieldMap map;
    quon::DecodeFields(ReadAll(std::cin), map, unscramble, key);
    std::vector<std::string> lines;
    for (const auto& [name, value] : map) lines.push_back(quon::PercentEncode(name) + "=" + quon::PercentEncode(value) + "\n");
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) out += line;
  } else {
    throw UsageError{"unknown command '" + command + "' (try --help)"};
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "quon-wire: %s\n", e.message.c_str());
    return 2;
  }
}
