#include "cli/Console.h"

#include <algorithm>
#include <cstdio>

#include "base/DisplayText.h"

namespace quon::cli {

namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian
// calendar.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(std::min(text.size(), kMaxShownLineChars));
  std::string line;
  auto endLine = [&](bool more) {
    out += ShortenText(line, kMaxShownLineChars);
    if (more) out += '\n';
    line.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      endLine(true);
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      line += '?';
    } else if (line.size() <= 4 * kMaxShownLineChars) {
      // Enough bytes for the line's first characters in any encoding.
      line += static_cast<char>(c);
    }
  }
  endLine(false);
  return out;
}

std::string OneLine(std::string_view text) {
  std::string out = PrintableText(text);
  for (char& c : out) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return ShortenText(out, kMaxShownLineChars);
}

std::string Iso8601LocalTime(std::time_t t) {
  std::tm local{};
  if (!LocalTime(t, local)) return "?";
  const long long localSeconds =
      DaysFromCivil(local.tm_year + 1900LL, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) * 86400LL +
      local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec;
  long long offsetMinutes = (localSeconds - static_cast<long long>(t)) / 60;
  const char sign = offsetMinutes < 0 ? '-' : '+';
  if (offsetMinutes < 0) offsetMinutes = -offsetMinutes;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, sign,
                offsetMinutes / 60, offsetMinutes % 60);
  return text;
}

ConsoleOutput::ConsoleOutput(ConsoleSystem& system, bool quiet)
    : m_system(system), m_quiet(quiet), m_progressInPlace(!quiet && system.IsTerminal(Stream::Out)) {}

ConsoleOutput::~ConsoleOutput() = default;

bool ConsoleOutput::OpenLog(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string why;
  m_log = m_system.OpenLog(path, why);
  if (!m_log) {
    error = "cannot open the log file " + path + ": " + why;
    return false;
  }
  m_logPath = path;
  return true;
}

void ConsoleOutput::Info(std::string_view text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_quiet) Print(Stream::Out, text);
  Log(text);
}

void ConsoleOutput::Error(std::string_view text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Print(Stream::Err, text);
  Log(text);
}

void ConsoleOutput::LogOnly(std::string_view text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Log(text);
}

void ConsoleOutput::Progress(std::string_view text, bool milestone) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_progressInPlace) {
    const std::string line = OneLine(text);
    // Blanks wipe what a longer earlier line left on the screen.
    std::string redraw = "\r" + line;
    if (line.size() < m_progressWidth) redraw.append(m_progressWidth - line.size(), ' ');
    m_system.Write(Stream::Out, redraw);
    m_progressWidth = line.size() > 0 ? line.size() : 1;
  } else if (milestone && !m_quiet) {
    m_system.Write(Stream::Out, OneLine(text) + "\n");
  }
  if (milestone) Log(text);
}

void ConsoleOutput::EndProgress() {
  std::lock_guard<std::mutex> lock(m_mutex);
  EndProgressLocked();
}

void ConsoleOutput::EndProgressLocked() {
  if (m_progressWidth == 0) return;
  m_system.Write(Stream::Out, "\n");
  m_progressWidth = 0;
}

bool ConsoleOutput::Ask(std::string_view question, std::string& answer, bool hidden) {
  std::lock_guard<std::mutex> lock(m_mutex);
  EndProgressLocked();
  Log(question);
  if (!m_system.InputIsTerminal()) {
    Log("(no terminal to answer)");
    return false;
  }
  m_system.Write(Stream::Err, PrintableText(question));
  const bool answered = m_system.ReadLine(answer, !hidden);
  if (hidden) m_system.Write(Stream::Err, "\n");
  if (!answered) {
    m_system.Write(Stream::Err, "\n");
    Log("(no answer)");
    return false;
  }
  if (!hidden) Log("answer: " + OneLine(answer));
  return true;
}

void ConsoleOutput::Print(Stream stream, std::string_view text) {
  EndProgressLocked();
  std::string printable = PrintableText(text);
  printable += '\n';
  m_system.Write(stream, printable);
}

void ConsoleOutput::Log(std::string_view text) {
  if (!m_log) return;
  const std::string line = TextForFile(Iso8601LocalTime(std::time(nullptr)) + " " + OneLine(text) + "\n");
  std::string why;
  if (m_log->Append(line, why) || m_logFailureTold) return;
  // Told once: a full disk would otherwise repeat it on every line.
  m_logFailureTold = true;
  EndProgressLocked();
  m_system.Write(Stream::Err,
                 PrintableText("QuonUpdate: cannot write to the log file " + m_logPath + ": " + why + ".") + "\n");
}

}  // namespace quon::cli
