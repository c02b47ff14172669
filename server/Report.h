// The report of the figures: per update and day how many installations
// were offered it, downloaded it, completed the download and installed it,
// and the installed base by version over time; written as one HTML file
// with its charts drawn in SVG, readable without a server.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "Stats.h"

namespace quon::server {

// Installations reported in this many days up to a day count in that day's
// installed base.
inline constexpr int kActiveDays = 30;

struct UpdateFunnel {
  // Distinct installations, by funnel step.
  uint64_t offered = 0, downloaded = 0, completed = 0, installed = 0;
};

struct Figures {
  std::vector<std::string> days;  // every day from the first event to the last, "YYYY-MM-DD"
  // update -> day -> the day's figures (installations counted once a day
  // and step).
  std::map<uint32_t, std::map<std::string, UpdateFunnel>> byDay;
  std::map<uint32_t, UpdateFunnel> total;  // over the whole time, each installation once
  std::map<uint32_t, std::string> brings;
  // day -> version -> installations (see kActiveDays).
  std::map<std::string, std::map<std::string, uint64_t>> installedBase;
  uint64_t listRequests = 0, downloads = 0;
};

// Reads the events in the order of their time. An installation counts as
// having installed an update when, after a complete download of it, it
// reports the version the update brings.
class FiguresBuilder {
 public:
  void Add(const StatsEvent& event);
  Figures Finish();

 private:
  struct Installation {
    std::string version;
    int64_t lastDay = 0;
    std::map<uint32_t, bool> completed;  // update -> installed already counted
  };
  void CloseDay(int64_t day);
  std::map<std::string, Installation> m_installations;
  std::map<std::pair<uint32_t, std::string>, int> m_seen;  // (update, identity) -> steps counted, as bits
  std::map<std::tuple<uint32_t, int64_t, std::string>, int> m_seenToday;  // cleared each day
  Figures m_figures;
  int64_t m_day = -1;
  int64_t m_firstDay = -1;
};

// Update numbers to names, for the report's headings.
using UpdateNames = std::map<uint32_t, std::string>;

std::string RenderReport(const Figures& figures, const UpdateNames& names, const std::string& generatedAt);

// quon-update-server report ...: 0, 1 when the figures cannot be read or
// the file written, 2 for bad arguments.
int RunReport(int argc, char** argv);

}  // namespace quon::server
