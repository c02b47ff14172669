// The text side of the command-line mode: information on standard output
// (unless --quiet), errors on standard error, the download's progress line,
// questions at the terminal, and the log file (--log), which gets every
// line with its local time, also those that --quiet keeps off the screen.
// Callable from any thread.
#pragma once
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "cli/ConsoleSystem.h"

namespace quon::cli {

// Text as it may reach a terminal: CR LF and lone CR become LF, every other
// control character but tab and LF becomes '?', so that a text from the
// server cannot move the cursor or send the terminal commands, and each
// line is cut to kMaxShownLineChars (DisplayText.h). The characters beyond
// ASCII that command a terminal are replaced on the way out (TextForFile).
std::string PrintableText(std::string_view text);
// The same, on one line: tabs and line ends become blanks.
std::string OneLine(std::string_view text);
// "2026-03-16T09:30:12+01:00": the local time with its offset from UTC.
std::string Iso8601LocalTime(std::time_t t);

class ConsoleOutput {
 public:
  ConsoleOutput(ConsoleSystem& system, bool quiet);
  ~ConsoleOutput();
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  // Opens FILE for appending (ConsoleSystem::OpenLog); false with the
  // reason when it cannot be. A write to it that fails later is told once
  // on standard error; the run goes on.
  bool OpenLog(const std::string& path, std::string& error);

  void Info(std::string_view text);
  void Error(std::string_view text);
  void LogOnly(std::string_view text);
  // The progress of a download. On a terminal every call redraws one line
  // in place; otherwise only the calls marked `milestone` print, each as a
  // line of its own (and go to the log).
  void Progress(std::string_view text, bool milestone);
  // Ends the progress line, so that the next text starts on a line of its
  // own.
  void EndProgress();
  // Asks on the terminal and reads the answer; false when nobody can answer
  // (standard input is no terminal, its end, an interrupt). A hidden answer
  // (a password) is neither echoed nor logged.
  bool Ask(std::string_view question, std::string& answer, bool hidden);

  bool InputIsTerminal() { return m_system.InputIsTerminal(); }
  bool InterruptRequested() { return m_system.InterruptRequested(); }

 private:
  void Print(Stream stream, std::string_view text);  // with the mutex held
  void Log(std::string_view text);                   // with the mutex held
  void EndProgressLocked();

  ConsoleSystem& m_system;
  const bool m_quiet;
  const bool m_progressInPlace;
  std::mutex m_mutex;
  std::unique_ptr<LogFile> m_log;
  std::string m_logPath;
  bool m_logFailureTold = false;
  size_t m_progressWidth = 0;  // of the open progress line; 0 when none
};

}  // namespace quon::cli
