// The trace hook. Silent by default; QUON_UPDATE_TRACE in the environment
// sends one line per call to stderr; tests may install their own sink.
#include "base/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "base/DisplayText.h"
#include "base/ProgramText.h"

namespace quon {
namespace {

// Never destroyed, so that a worker finishing during the program's exit
// can still trace.
std::mutex& SinkMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

TraceSink& Sink() {
  static auto* sink = new TraceSink;
  return *sink;
}

bool TraceToStderr() {
  static const bool enabled = std::getenv("QUON_UPDATE_TRACE") != nullptr;
  return enabled;
}

// A traced line as it may reach a terminal or a log: the details are often
// a server's text (a redirect's Location, a reply), so it is cut to
// kMaxShownLineChars, its line breaks are kept as line feeds, and whatever
// could command a terminal is replaced.
std::string TerminalLine(std::string_view line) {
  std::string text = ShortenText(line, kMaxShownLineChars);
  std::string out;
  out.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      out += '\n';
    } else {
      out += text[i];
    }
  }
  out = TerminalText(out);
  out += '\n';
  return out;
}

void Emit(std::string line) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(line);
  } else if (TraceToStderr()) {
    const std::string text = TerminalLine(line);
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
}

}  // namespace

void TraceMessage(std::string_view text) { Emit(std::string(text)); }

void TraceMessage(std::string_view text, std::string_view detail) {
  std::string line(text);
  if (!detail.empty() && detail.front() != ' ') line += ' ';
  line += detail;
  Emit(std::move(line));
}

void TraceMessage(std::string_view text, int64_t number) {
  TraceMessage(text, std::to_string(number));
}

void SetTraceSink(TraceSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace quon
