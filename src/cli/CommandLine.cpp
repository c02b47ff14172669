#include "cli/CommandLine.h"

#include "base/CText.h"
#include "cli/ExitCodes.h"

namespace quon::cli {

const char kVersionText[] = "QuonUpdate Version 2.1";

namespace {

const char kUsage[] =
    "Usage:\n"
    "  QuonUpdate --list              show the updates available for this installation\n"
    "  QuonUpdate --install ID|all    download, unpack and install the update(s), in list order\n"
    "             [--yes]             do not ask before closing running product applications\n"
    "             [--quiet]           print nothing but errors\n"
    "             [--log FILE]        append what happened, with times, to FILE\n"
    "  QuonUpdate --install-archive FILE [--brings VERSION]\n"
    "                                 install an update archive from a file, without the server\n"
    "             [--yes] [--quiet] [--log FILE]\n"
    "  QuonUpdate --rollback [--yes]  put the product back as it was before the last installation\n"
    "  QuonUpdate --help | --version\n"
    "\n"
    "Without options QuonUpdate opens its window. It updates the installation in its own\n"
    "directory. --install ID takes a number that --list shows; --install all installs every\n"
    "listed update one after the other, asking the server again after each one, and stops at\n"
    "the first failure. --install-archive takes the version the archive brings from its\n"
    "release file, else from --brings (four numbers joined by dots). --rollback needs no\n"
    "server; it exits 2 when there is nothing to roll back and 5 when a file could not be\n"
    "restored (then nothing was changed).\n"
    "\n"
    "Exit codes:\n";

// An update number as --list prints it (as the list page does: numbers
// from 2147483648 on as negative ones), or as the unsigned number the
// server sent. 0 is none.
bool ParseUpdateId(const std::string& text, uint32_t& id) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = text.substr(negative ? 1 : 0);
  if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long long value = std::stoull(digits);
  if (value == 0 || value > (negative ? 0x80000000ull : 0xFFFFFFFFull)) return false;
  id = static_cast<uint32_t>(negative ? 0x100000000ull - value : value);
  return true;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine parsed;
  CommandLineOptions& o = parsed.options;
  bool help = false, version = false, list = false, install = false, archive = false, rollback = false;
  std::string installArg;
  auto fail = [&parsed](std::string error) {
    parsed.ok = false;
    parsed.error = std::move(error);
    return parsed;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      hasValue = true;
    }
    const bool takesValue = name == "--install" || name == "--log" || name == "--install-archive" || name == "--brings";
    if (takesValue && !hasValue) {
      if (i + 1 >= args.size()) return fail(name + " needs a value");
      value = args[++i];
      hasValue = true;
    } else if (!takesValue && hasValue) {
      return fail(name + " takes no value");
    }
    if (name == "--help" || name == "-h" || name == "/?") {
      help = true;
    } else if (name == "--version") {
      version = true;
    } else if (name == "--list") {
      list = true;
    } else if (name == "--install") {
      if (install) return fail("--install is given twice");
      install = true;
      installArg = value;
    } else if (name == "--install-archive") {
      if (archive) return fail("--install-archive is given twice");
      if (value.empty()) return fail("--install-archive needs a file name");
      archive = true;
      o.archiveFile = value;
    } else if (name == "--brings") {
      if (value.empty()) return fail("--brings needs a version");
      o.brings = value;
    } else if (name == "--rollback") {
      rollback = true;
    } else if (name == "--yes") {
      o.yes = true;
    } else if (name == "--quiet") {
      o.quiet = true;
    } else if (name == "--log") {
      if (value.empty()) return fail("--log needs a file name");
      o.logFile = value;
    } else {
      return fail("unknown option '" + args[i] + "'");
    }
  }
  if (help) {
    o.command = CommandLineOptions::Command::Help;
  } else if (version) {
    o.command = CommandLineOptions::Command::Version;
  } else if (list + install + archive + rollback > 1) {
    return fail("--list, --install, --install-archive and --rollback cannot be given together");
  } else if (!o.brings.empty() && !archive) {
    return fail("--brings goes with --install-archive");
  } else if (archive) {
    o.command = CommandLineOptions::Command::InstallArchive;
  } else if (rollback) {
    o.command = CommandLineOptions::Command::Rollback;
  } else if (list) {
    o.command = CommandLineOptions::Command::List;
  } else if (install) {
    o.command = CommandLineOptions::Command::Install;
    if (AsciiUpper(installArg) == "ALL") {
      o.installAll = true;
    } else if (!ParseUpdateId(installArg, o.installId)) {
      return fail("--install needs an update number as --list shows it, or 'all', not '" + installArg + "'");
    }
  } else {
    return fail("nothing to do: give --list, --install, --install-archive, --rollback, --help or --version");
  }
  parsed.ok = true;
  return parsed;
}

std::string HelpText() { return kUsage + ExitCodeTable(); }

}  // namespace quon::cli
