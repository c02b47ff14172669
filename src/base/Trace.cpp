// The trace hook. Silent by default; QUON_UPDATE_TRACE in the environment
// sends one line per call to stderr; tests may install their own sink.
#include "base/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

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

void Emit(std::string line) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(line);
  } else if (TraceToStderr()) {
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
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
