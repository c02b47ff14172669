#include "Report.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>

#include "Catalog.h"

namespace quon::server {

namespace {

constexpr int64_t kDayMs = 86400000;

std::string Html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

const char* const kColours[] = {"#2f6db5", "#e07b20", "#3c9a48", "#c23b3b", "#8a5bb8", "#8c6d31", "#d45fa8", "#7f7f7f"};
constexpr size_t kSeries = sizeof kColours / sizeof kColours[0];

// Stacked bars: one per day, one colour per version (the largest on the
// last day first; the rest as "other").
std::string BaseChart(const Figures& f) {
  if (f.days.empty()) return "<p>No requests have been recorded.</p>\n";
  const auto& last =
      f.installedBase.count(f.days.back()) ? f.installedBase.at(f.days.back()) : std::map<std::string, uint64_t>();
  std::vector<std::pair<uint64_t, std::string>> order;
  std::set<std::string> all;
  for (const auto& [day, versions] : f.installedBase)
    for (const auto& [version, n] : versions)
      if (version != kOtherVersions) all.insert(version);
  for (const auto& v : all) order.push_back({last.count(v) ? last.at(v) : 0, v});
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second > b.second; });
  std::vector<std::string> series;
  for (size_t i = 0; i < order.size() && i < kSeries - 1; ++i) series.push_back(order[i].second);
  bool other = order.size() > series.size();
  for (const auto& [day, versions] : f.installedBase) other = other || versions.count(kOtherVersions) > 0;
  auto seriesOf = [&](const std::string& version) {
    const auto it = std::find(series.begin(), series.end(), version);
    return it == series.end() ? kSeries - 1 : static_cast<size_t>(it - series.begin());
  };
  uint64_t most = 1;
  for (const auto& [day, versions] : f.installedBase) {
    uint64_t sum = 0;
    for (const auto& [v, n] : versions) sum += n;
    most = std::max(most, sum);
  }
  // Four gridlines at whole numbers.
  const uint64_t step = (most + 3) / 4;
  const uint64_t peak = step * 4;
  const double width = 860, height = 260, left = 50, top = 10;
  const double slot = width / static_cast<double>(f.days.size());
  std::string svg =
      "<svg class=\"chart\" width=\"940\" height=\"320\" viewBox=\"0 0 940 320\" role=\"img\" "
      "aria-label=\"Installed base by version over time\">\n";
  for (int i = 0; i <= 4; ++i) {
    const double y = top + height - height * i / 4;
    svg += "<line x1=\"" + Num(left) + "\" x2=\"" + Num(left + width) + "\" y1=\"" + Num(y) + "\" y2=\"" + Num(y) +
           "\" stroke=\"#ddd\"/><text x=\"" + Num(left - 6) + "\" y=\"" + Num(y + 4) +
           "\" text-anchor=\"end\" class=\"axis\">" + std::to_string(step * static_cast<uint64_t>(i)) + "</text>\n";
  }
  for (size_t d = 0; d < f.days.size(); ++d) {
    const auto it = f.installedBase.find(f.days[d]);
    if (it == f.installedBase.end()) continue;
    std::vector<uint64_t> stack(kSeries, 0);
    for (const auto& [v, n] : it->second) stack[seriesOf(v)] += n;
    double y = top + height;
    for (size_t s = 0; s < kSeries; ++s) {
      if (stack[s] == 0) continue;
      const double h = height * static_cast<double>(stack[s]) / static_cast<double>(peak);
      y -= h;
      svg += "<rect x=\"" + Num(left + slot * static_cast<double>(d) + slot * 0.1) + "\" y=\"" + Num(y) +
             "\" width=\"" + Num(std::max(slot * 0.8, 1.0)) + "\" height=\"" + Num(h) + "\" fill=\"" + kColours[s] +
             "\"><title>" + f.days[d] + ": " + std::to_string(stack[s]) + "</title></rect>\n";
    }
  }
  const size_t labelEvery = std::max<size_t>(1, f.days.size() / 8);
  for (size_t d = 0; d < f.days.size(); d += labelEvery)
    svg += "<text x=\"" + Num(left + slot * (static_cast<double>(d) + 0.5)) + "\" y=\"" + Num(top + height + 16) +
           "\" text-anchor=\"middle\" class=\"axis\">" + f.days[d] + "</text>\n";
  double x = left;
  for (size_t s = 0; s < series.size() + (other ? 1 : 0); ++s) {
    const std::string label = s < series.size() ? series[s] : "other";
    const size_t colour = s < series.size() ? s : kSeries - 1;
    svg += "<rect x=\"" + Num(x) + "\" y=\"296\" width=\"12\" height=\"12\" fill=\"" + kColours[colour] +
           "\"/><text x=\"" + Num(x + 16) + "\" y=\"306\" class=\"legend\">" + Html(label) + "</text>\n";
    x += 24 + 8 * static_cast<double>(label.size());
  }
  return svg + "</svg>\n";
}

// Four horizontal bars: offered, downloaded, completed, installed.
std::string FunnelChart(const UpdateFunnel& total) {
  const std::pair<const char*, uint64_t> steps[] = {{"offered", total.offered},
                                                    {"downloaded", total.downloaded},
                                                    {"completed", total.completed},
                                                    {"installed", total.installed}};
  const double peak = static_cast<double>(std::max<uint64_t>(total.offered, 1));
  std::string svg = "<svg class=\"funnel\" width=\"520\" height=\"130\" viewBox=\"0 0 520 130\" role=\"img\">\n";
  for (int i = 0; i < 4; ++i) {
    const double w = 380 * static_cast<double>(steps[i].second) / peak;
    const double y = 8 + 30 * i;
    svg += "<text x=\"90\" y=\"" + Num(y + 15) + "\" text-anchor=\"end\" class=\"legend\">" + steps[i].first +
           "</text><rect x=\"100\" y=\"" + Num(y) + "\" width=\"" + Num(std::max(w, 1.0)) + "\" height=\"22\" fill=\"" +
           kColours[i] + "\"/><text x=\"" + Num(106 + w) + "\" y=\"" + Num(y + 15) + "\" class=\"legend\">" +
           std::to_string(steps[i].second) + "</text>\n";
  }
  return svg + "</svg>\n";
}

std::string Cell(const std::string& key, uint64_t value) {
  return "<td data-figure=\"" + Html(key) + "\">" + std::to_string(value) + "</td>";
}

}  // namespace

namespace {

int64_t Number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// The events of one installation after another, each installation's in
// the order of their time: only the installation being read is held in
// memory, beside figures per update, version and day.
constexpr char kByInstallation[] =
    "SELECT identity, at_ms, 0, installed, offered, 0, '', 0 FROM quon_list_requests"
    " UNION ALL SELECT identity, at_ms, 1, installed, '', update_id, brings, complete FROM quon_downloads"
    " ORDER BY 1, 2, 3";

// Reads one installation's events, then the next one's.
class Pass {
 public:
  Pass(Figures& figures, const std::set<std::string>& named) : m_f(figures), m_named(named) {}

  void Add(const std::vector<std::string>& row) {
    if (row[0] != m_identity) {
      Finish();
      m_identity = row[0];
    }
    const int64_t at = Number(row[1]);
    const int64_t day = at / kDayMs;
    const std::string& installed = row[3];
    if (day != m_day) {
      if (m_day >= 0) CloseDay(day);
      m_day = day;
      m_today.clear();
    }
    if (!installed.empty()) {
      m_version = installed;
      // The first report of the version an update brings, after a
      // complete download of it.
      for (auto& [update, completion] : m_completed) {
        if (completion.installed || completion.brings != installed || at <= completion.at) continue;
        completion.installed = true;
        ++m_f.byDay[update][DayOf(at)].installed;
        ++m_f.total[update].installed;
      }
    }
    if (row[2] == "0") {
      ++m_f.listRequests;
      for (size_t p = 0; p < row[4].size();) {
        size_t comma = row[4].find(',', p);
        if (comma == std::string::npos) comma = row[4].size();
        const auto update = static_cast<uint32_t>(std::strtoul(row[4].substr(p, comma - p).c_str(), nullptr, 10));
        if (update != 0) Count(update, 0, at);
        p = comma + 1;
      }
      return;
    }
    ++m_f.downloads;
    const auto update = static_cast<uint32_t>(Number(row[5]));
    m_f.brings[update] = row[6];
    Count(update, 1, at);
    if (row[7] != "0") {
      Count(update, 2, at);
      m_completed.emplace(update, Completion{row[6], at, false});
    }
  }

  // Ends the last installation; the installed base as changes per version
  // and day.
  void Finish() {
    if (m_day >= 0) CloseDay(m_day + kActiveDays);
    m_day = -1;
    m_version.clear();
    m_today.clear();
    m_ever.clear();
    m_completed.clear();
  }

  std::map<std::string, std::map<int64_t, int64_t>> changes;  // version -> day -> change

 private:
  struct Completion {
    std::string brings;
    int64_t at;
    bool installed;
  };

  // Steps: 0 offered, 1 downloaded, 2 completed; each counted once a day
  // and once in all per installation.
  void Count(uint32_t update, int step, int64_t at) {
    uint64_t UpdateFunnel::*const field[] = {&UpdateFunnel::offered, &UpdateFunnel::downloaded,
                                             &UpdateFunnel::completed};
    if (m_today.insert({update, step}).second) ++(m_f.byDay[update][DayOf(at)].*field[step]);
    if (m_ever.insert({update, step}).second) ++(m_f.total[update].*field[step]);
  }

  // The installation counts for the version it reported last, from the day
  // it asked until it asks again or kActiveDays have passed.
  void CloseDay(int64_t next) {
    if (m_version.empty()) return;
    auto& byDay = changes[m_named.count(m_version) ? m_version : kOtherVersions];
    ++byDay[m_day];
    --byDay[std::min(next, m_day + kActiveDays)];
  }

  Figures& m_f;
  const std::set<std::string>& m_named;
  std::string m_identity;
  int64_t m_day = -1;
  std::string m_version;
  std::set<std::pair<uint32_t, int>> m_today, m_ever;
  std::map<uint32_t, Completion> m_completed;
};

}  // namespace

bool ComputeFigures(StatsStore& store, const std::set<std::string>& namedVersions, Figures& f, std::string& error) {
  f = Figures();
  // The versions shown by name: the catalog's, and the most common others.
  std::set<std::string> named = namedVersions;
  size_t others = 0;
  bool ok = store.Query(
      "SELECT installed, COUNT(*) FROM (SELECT installed FROM quon_list_requests UNION ALL SELECT installed FROM"
      " quon_downloads) a WHERE installed <> '' GROUP BY 1 ORDER BY 2 DESC, 1 LIMIT " +
          std::to_string(namedVersions.size() + kOtherVersionsNamed),
      [&](const std::vector<std::string>& row) {
        if (!namedVersions.count(row[0]) && others < kOtherVersionsNamed) {
          named.insert(row[0]);
          ++others;
        }
      },
      error);
  Pass pass(f, named);
  int64_t first = -1, last = -1;
  ok = ok && store.Query(
                 kByInstallation,
                 [&](const std::vector<std::string>& row) {
                   const int64_t day = Number(row[1]) / kDayMs;
                   first = first < 0 ? day : std::min(first, day);
                   last = std::max(last, day);
                   pass.Add(row);
                 },
                 error);
  if (!ok) return false;
  pass.Finish();
  for (int64_t day = first; first >= 0 && day <= last; ++day) f.days.push_back(DayOf(day * kDayMs));
  for (const auto& [version, byDay] : pass.changes) {
    int64_t count = 0;
    auto next = byDay.begin();
    for (int64_t day = first; first >= 0 && day <= last; ++day) {
      for (; next != byDay.end() && next->first <= day; ++next) count += next->second;
      if (count > 0) f.installedBase[DayOf(day * kDayMs)][version] = static_cast<uint64_t>(count);
    }
  }
  return true;
}

std::string RenderReport(const Figures& f, const UpdateNames& names, const std::string& generatedAt) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<title>Update server figures</title>\n<style>\n"
      "body{font-family:sans-serif;margin:24px;color:#222;max-width:980px}\n"
      "h1{font-size:22px}h2{font-size:18px;margin-top:32px}h3{font-size:15px;margin-top:24px}\n"
      "table{border-collapse:collapse;margin:8px 0}td,th{border:1px solid #ccc;padding:3px 8px;text-align:right}\n"
      "th{background:#f2f2f2}td:first-child,th:first-child{text-align:left}\n"
      ".axis{font-size:10px;fill:#555}.legend{font-size:12px;fill:#222}.note{color:#555;font-size:13px}\n"
      "</style></head><body>\n<h1>Update server figures</h1>\n";
  html += "<p class=\"note\">Generated " + Html(generatedAt) + " from " + std::to_string(f.listRequests) +
          " list requests and " + std::to_string(f.downloads) + " downloads";
  if (!f.days.empty()) html += ", " + f.days.front() + " to " + f.days.back() + " (UTC)";
  html += ". Installations are told apart by a hash of their identity; installations without one count as one.</p>\n";

  html += "<h2>Installed base by version</h2>\n<p class=\"note\">Each day: the installations that asked in the " +
          std::to_string(kActiveDays) + " days up to it, by the last version they reported.</p>\n";
  html += BaseChart(f);
  if (!f.days.empty()) {
    html += "<table><tr><th>version</th><th>installations on " + f.days.back() + "</th></tr>\n";
    const auto it = f.installedBase.find(f.days.back());
    if (it != f.installedBase.end())
      for (const auto& [version, n] : it->second)
        html += "<tr><td>" + Html(version) + "</td>" + Cell("base:" + version, n) + "</tr>\n";
    html += "</table>\n";
  }

  html +=
      "<h2>Updates</h2>\n<p class=\"note\">Installations offered each update, that downloaded it, that "
      "received it completely, and that later reported the version it brings.</p>\n";
  std::set<uint32_t> updates;
  for (const auto& [id, t] : f.total) updates.insert(id);
  for (uint32_t id : updates) {
    const auto name = names.find(id);
    const auto brings = f.brings.find(id);
    html += "<h3>Update " + std::to_string(id) + (name != names.end() ? ": " + Html(name->second) : "") +
            (brings != f.brings.end() ? " (brings " + Html(brings->second) + ")" : "") + "</h3>\n";
    const UpdateFunnel& total = f.total.at(id);
    html += FunnelChart(total);
    const std::string key = "update:" + std::to_string(id) + ":";
    html += "<table><tr><th>day</th><th>offered</th><th>downloaded</th><th>completed</th><th>installed</th></tr>\n";
    const auto days = f.byDay.find(id);
    if (days != f.byDay.end())
      for (const auto& [day, d] : days->second)
        html += "<tr><td>" + day + "</td>" + Cell(key + day + ":offered", d.offered) +
                Cell(key + day + ":downloaded", d.downloaded) + Cell(key + day + ":completed", d.completed) +
                Cell(key + day + ":installed", d.installed) + "</tr>\n";
    html += "<tr><th>all days</th>" + Cell(key + "total:offered", total.offered) +
            Cell(key + "total:downloaded", total.downloaded) + Cell(key + "total:completed", total.completed) +
            Cell(key + "total:installed", total.installed) + "</tr></table>\n";
  }
  return html + "</body></html>\n";
}

namespace {

int ReportUsage(const char* problem) {
  if (problem) std::fprintf(stderr, "quon-update-server report: %s\n", problem);
  std::fprintf(stderr,
               "usage: quon-update-server report [--root DIR] [--stats DB] -o FILE.html\n"
               "  --root DIR   the server's root: update names from its catalog, figures from DIR/stats.sqlite\n"
               "  --stats DB   an SQLite file or postgresql://... (as the server's --stats)\n"
               "  -o FILE      the report to write\n");
  return 2;
}

}  // namespace

int RunReport(int argc, char** argv) {
  std::string root, database, out;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc || (arg != "--root" && arg != "--stats" && arg != "-o"))
      return ReportUsage(("unknown or incomplete argument '" + arg + "'").c_str());
    (arg == "--root" ? root : arg == "--stats" ? database : out) = argv[++i];
  }
  if (out.empty()) return ReportUsage("-o is required");
  if (database.empty() && root.empty()) return ReportUsage("--stats or --root is required");
  if (database.empty()) database = root + "/stats.sqlite";
  auto store = MakeStatsStore(database);
  if (!store) return ReportUsage("--stats off has no figures");

  UpdateNames names;
  std::set<std::string> versions;  // those the catalog names
  if (!root.empty()) {
    std::vector<std::string> errors;
    if (auto catalog = Catalog::Load(root, errors)) {
      for (const auto& e : catalog->Entries()) {
        names[e.id] = e.name;
        versions.insert(FormatVersion(e.brings));
        // applies-to versions without '*'.
        for (const VersionPattern& p : e.appliesTo) {
          if (std::find(p.part, p.part + 4, -1) != p.part + 4) continue;
          Version v;
          for (int i = 0; i < 4; ++i) v.part[i] = static_cast<uint16_t>(p.part[i]);
          versions.insert(FormatVersion(v));
        }
      }
    } else {
      std::fprintf(stderr, "quon-update-server report: the catalog cannot be read; updates are shown by number\n");
    }
  }
  Figures figures;
  std::string error;
  if (!store->Open(error) || !ComputeFigures(*store, versions, figures, error)) {
    std::fprintf(stderr, "quon-update-server report: cannot read %s: %s\n", store->Describe().c_str(), error.c_str());
    return 1;
  }
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char generated[64];
  std::snprintf(generated, sizeof generated, "%04d-%02d-%02d %02d:%02d UTC", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min);
  const std::string html = RenderReport(figures, names, generated);
  const std::string temp = out + ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file.write(html.data(), static_cast<std::streamsize>(html.size()));
    if (!file.flush()) {
      std::fprintf(stderr, "quon-update-server report: cannot write %s\n", temp.c_str());
      std::remove(temp.c_str());
      return 1;
    }
  }
  if (std::rename(temp.c_str(), out.c_str()) != 0) {
    std::fprintf(stderr, "quon-update-server report: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
    std::remove(temp.c_str());
    return 1;
  }
  return 0;
}

}  // namespace quon::server
