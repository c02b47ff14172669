// The report of the figures: per update and day how many installations
// were offered it, downloaded it, completed the download and installed it,
// and the installed base by version over time; written as one HTML file
// with its charts drawn in SVG, readable without a server.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <set>
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

// The installed base names the versions that the catalog names and the
// most common few others; versions are what clients claim, so the rest
// are counted together as "other".
inline constexpr size_t kOtherVersionsNamed = 5;
inline constexpr char kOtherVersions[] = "other";

// Computes the figures in one pass over the events, which the database
// hands over sorted by installation: memory holds one installation's
// state beside the figures per update, version and day, so it grows with
// the days, updates and versions shown, not with the installations. An
// installation counts as having installed an update when, after a
// complete download of it, it reports the version the update brings.
bool ComputeFigures(StatsStore& store, const std::set<std::string>& namedVersions, Figures& figures,
                    std::string& error);

// Update numbers to names, for the report's headings.
using UpdateNames = std::map<uint32_t, std::string>;

std::string RenderReport(const Figures& figures, const UpdateNames& names, const std::string& generatedAt);

// quon-update-server report ...: 0, 1 when the figures cannot be read or
// the file written, 2 for bad arguments.
int RunReport(int argc, char** argv);

}  // namespace quon::server
