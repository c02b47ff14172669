// What the command-line mode needs of the process's console and of the
// system around it: whether a stream is a terminal, writing text the way
// its reader expects it, reading a typed line, the interrupt (Ctrl+C) and
// the local time. ConsoleSystem_posix.cpp and ConsoleSystem_win.cpp
// implement it.
#pragma once
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

namespace quon::cli {

enum class Stream { Out, Err };

// The log file (--log), open for appending.
class LogFile {
 public:
  virtual ~LogFile() = default;
  // Appends the bytes; false, with the reason in `error`, when they could
  // not all be written (a full disk).
  virtual bool Append(std::string_view bytes, std::string& error) = 0;
};

class ConsoleSystem {
 public:
  virtual ~ConsoleSystem() = default;
  // Whether the output stream, or standard input, is an interactive
  // terminal.
  virtual bool IsTerminal(Stream stream) = 0;
  virtual bool InputIsTerminal() = 0;
  // Writes the program's 8-bit text (control characters already replaced),
  // converted for the stream's reader. Failures (a closed pipe) are
  // ignored: the run goes on.
  virtual void Write(Stream stream, std::string_view text) = 0;
  // One line typed at the terminal, without its line end, at most 1000
  // characters; false at the end of input or when an interrupt came
  // meanwhile. With `echo` false the typed characters are not shown.
  virtual bool ReadLine(std::string& line, bool echo) = 0;
  // True once Ctrl+C was pressed, or the system asked the program to end.
  virtual bool InterruptRequested() = 0;
  // Opens `path` for appending, creating it when it is missing. A symbolic
  // link (the file it points to is not the one named) and anything but a
  // regular file (a FIFO, which would block, or a device) are refused. Null,
  // with the reason in `error`, when it is not opened.
  virtual std::unique_ptr<LogFile> OpenLog(const std::string& path, std::string& error) = 0;
};

// The process's own console. Catches Ctrl+C and every request to end (on
// Linux SIGINT, SIGTERM, SIGHUP and SIGQUIT; on Windows Ctrl+C, Ctrl+Break
// and the closing of the console, the logoff and the shutdown) from now
// on, so that the run can end cleanly instead of being killed; on Windows,
// attaches to the parent's console for the streams that the parent did not
// hand over.
std::unique_ptr<ConsoleSystem> OpenProcessConsole();

// The program's 8-bit text as files and pipes of this system hold it
// (UTF-8 on Linux; the system's code page with CR LF line ends on
// Windows), with every character that could command a terminal replaced
// (TerminalText).
std::string TextForFile(std::string_view text);

// The broken-down local time of `t`; false when the system cannot give it.
bool LocalTime(std::time_t t, std::tm& local);

}  // namespace quon::cli
