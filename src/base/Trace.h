// The trace hook: fixed texts at fixed points of the program, with one
// parameter. Off unless QUON_UPDATE_TRACE is set in the environment, in
// which case each call writes one line to stderr (or to the sink set).
#pragma once
#include <cstdint>
#include <functional>
#include <string_view>

namespace quon {

void TraceMessage(std::string_view text);
void TraceMessage(std::string_view text, std::string_view detail);
void TraceMessage(std::string_view text, int64_t number);

// Replaces the log sink (tests); a null sink restores the default.
using TraceSink = std::function<void(std::string_view line)>;
void SetTraceSink(TraceSink sink);

}  // namespace quon
