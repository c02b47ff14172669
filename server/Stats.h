// The figures: every list request and every download, recorded in a
// database (SQLite by default, PostgreSQL when replicas share them). Writes
// are collected off the request path and written in batches by a thread of
// their own; a database that is slow or down costs records, never a
// client's request, and the records lost are counted.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quon::server {

struct StatsEvent {
  enum Kind { kList, kDownload } kind = kList;
  int64_t atMs = 0;       // Unix time in milliseconds
  std::string replica;    // the server that served it
  std::string installed;  // the version the request reported ("6.0.121.3"), empty when it is none
  std::string identity;   // Identity::Hash()
  std::string offered;    // list: the update numbers offered, joined by ','
  uint32_t updateId = 0;  // download: the update
  std::string brings;     // download: the version it installs
  uint64_t bytes = 0;     // download: archive bytes sent
  uint64_t size = 0;      // download: the archive's length
  bool complete = false;  // download: every byte was sent
};

// The tables, the same in SQLite and PostgreSQL (made when missing), and
// the query that reads every event back in the order of its time.
extern const char kStatsSchema[];
extern const char kStatsReadQuery[];

// "YYYY-MM-DD" (UTC) of a Unix time in milliseconds.
std::string DayOf(int64_t atMs);

// A database of the figures. Not thread-safe: one thread uses it.
class StatsStore {
 public:
  virtual ~StatsStore() = default;
  // Connects (again) and makes the tables when they are missing.
  virtual bool Open(std::string& error) = 0;
  // Appends the events in one transaction: all or nothing.
  virtual bool Write(const std::vector<StatsEvent>& events, std::string& error) = 0;
  // Every event in the order of its time (kStatsReadQuery).
  virtual bool Read(const std::function<void(const StatsEvent&)>& visit, std::string& error);
  // Runs a query and hands over its rows one at a time, each column as
  // text (NULL as empty); the rows are never all in memory.
  virtual bool Query(const std::string& sql, const std::function<void(const std::vector<std::string>&)>& row,
                     std::string& error) = 0;
  // For messages: the database without a password.
  virtual std::string Describe() const = 0;
};

// "off"; a file name or "sqlite:FILE" (SQLite); "postgresql://..." or
// "postgres://..." (libpq's connection URI). Null for "off"; the database is
// not contacted yet.
std::unique_ptr<StatsStore> MakeStatsStore(const std::string& database);
std::unique_ptr<StatsStore> MakeSqliteStatsStore(const std::string& file);   // StatsSqlite.cpp
std::unique_ptr<StatsStore> MakePostgresStatsStore(const std::string& uri);  // StatsPostgres.cpp

class StatsRecorder {
 public:
  // log takes a line about the database (unreachable, records lost).
  StatsRecorder(std::unique_ptr<StatsStore> store, std::function<void(const std::string&)> log,
                size_t maxPending = 100000);
  ~StatsRecorder();  // writes what is pending, once
  StatsRecorder(const StatsRecorder&) = delete;
  StatsRecorder& operator=(const StatsRecorder&) = delete;

  // Never waits on the database: the event is queued, or counted as lost
  // when the queue is full.
  void Record(StatsEvent event);
  // Writes what is pending and stops; later events are lost.
  void Stop();

  uint64_t Written() const { return m_written; }
  uint64_t Lost() const { return m_lost; }

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  std::atomic<uint64_t> m_written{0};
  std::atomic<uint64_t> m_lost{0};
};

}  // namespace quon::server
