#include "Stats.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

namespace quon::server {

const char kStatsSchema[] =
    "CREATE TABLE IF NOT EXISTS quon_list_requests (at_ms BIGINT NOT NULL, day TEXT NOT NULL, replica TEXT NOT NULL,"
    " installed TEXT NOT NULL, identity TEXT NOT NULL, offered TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS quon_downloads (at_ms BIGINT NOT NULL, day TEXT NOT NULL, replica TEXT NOT NULL,"
    " update_id BIGINT NOT NULL, brings TEXT NOT NULL, installed TEXT NOT NULL, identity TEXT NOT NULL,"
    " bytes BIGINT NOT NULL, size BIGINT NOT NULL, complete INTEGER NOT NULL);";

const char kStatsReadQuery[] =
    "SELECT 0, at_ms, replica, installed, identity, offered, 0, '', 0, 0, 0 FROM quon_list_requests"
    " UNION ALL SELECT 1, at_ms, replica, installed, identity, '', update_id, brings, bytes, size, complete"
    " FROM quon_downloads ORDER BY 2, 1";

std::string DayOf(int64_t atMs) {
  const std::time_t t = static_cast<std::time_t>(atMs / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

bool StatsStore::Read(const std::function<void(const StatsEvent&)>& visit, std::string& error) {
  return Query(
      kStatsReadQuery,
      [&](const std::vector<std::string>& row) {
        StatsEvent e;
        e.kind = row[0] == "0" ? StatsEvent::kList : StatsEvent::kDownload;
        e.atMs = std::strtoll(row[1].c_str(), nullptr, 10);
        e.replica = row[2];
        e.installed = row[3];
        e.identity = row[4];
        e.offered = row[5];
        e.updateId = static_cast<uint32_t>(std::strtoull(row[6].c_str(), nullptr, 10));
        e.brings = row[7];
        e.bytes = std::strtoull(row[8].c_str(), nullptr, 10);
        e.size = std::strtoull(row[9].c_str(), nullptr, 10);
        e.complete = row[10] != "0";
        visit(e);
      },
      error);
}

std::unique_ptr<StatsStore> MakeStatsStore(const std::string& database) {
  if (database == "off") return nullptr;
  if (database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0) return MakePostgresStatsStore(database);
  if (database.rfind("sqlite:", 0) == 0) return MakeSqliteStatsStore(database.substr(7));
  return MakeSqliteStatsStore(database);
}

struct StatsRecorder::Impl {
  std::unique_ptr<StatsStore> store;
  std::function<void(const std::string&)> log;
  size_t maxPending;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<StatsEvent> pending;
  bool stopping = false;
  bool stopped = false;
  std::thread writer;
};

namespace {

constexpr size_t kBatch = 2000;
constexpr auto kFlushEvery = std::chrono::milliseconds(500);

}  // namespace

StatsRecorder::StatsRecorder(std::unique_ptr<StatsStore> store, std::function<void(const std::string&)> log,
                             size_t maxPending)
    : m_impl(std::make_unique<Impl>()) {
  Impl* d = m_impl.get();
  d->store = std::move(store);
  d->log = std::move(log);
  d->maxPending = maxPending;
  d->writer = std::thread([this, d] {
    std::string error;
    bool open = d->store->Open(error);
    if (!open && d->log)
      d->log("stats: cannot open " + d->store->Describe() + ": " + error + "; tried again when records are written");
    bool failing = false;  // a problem was reported and has not cleared yet
    auto retryAt = std::chrono::steady_clock::now();
    auto backoff = std::chrono::seconds(1);
    std::vector<StatsEvent> batch;
    for (;;) {
      bool last = false;
      {
        std::unique_lock<std::mutex> lock(d->mutex);
        if (failing) {
          d->wake.wait_until(lock, retryAt, [d] { return d->stopping; });
        } else {
          d->wake.wait_for(lock, kFlushEvery, [d] { return d->stopping || d->pending.size() >= kBatch; });
        }
        last = d->stopping;
        const size_t n = std::min(d->pending.size(), last ? d->pending.size() : kBatch);
        batch.assign(std::make_move_iterator(d->pending.begin()), std::make_move_iterator(d->pending.begin() + n));
        d->pending.erase(d->pending.begin(), d->pending.begin() + n);
      }
      error.clear();
      bool ok = batch.empty() || ((open || (open = d->store->Open(error))) && d->store->Write(batch, error));
      if (ok) {
        m_written += batch.size();
        if (failing && d->log)
          d->log("stats: writing to " + d->store->Describe() + " again; " + std::to_string(m_lost.load()) +
                 " records lost so far");
        failing = false;
        backoff = std::chrono::seconds(1);
      } else {
        open = false;
        if (!failing && d->log)
          d->log("stats: cannot write to " + d->store->Describe() + ": " + error +
                 "; records wait in memory (at most " + std::to_string(d->maxPending) + ") and are retried");
        failing = true;
        retryAt = std::chrono::steady_clock::now() + backoff;
        backoff = std::min(backoff * 2, std::chrono::seconds(30));
        if (!last) {
          // Back in front of the queue, as far as the bound allows.
          std::lock_guard<std::mutex> lock(d->mutex);
          const size_t room = d->maxPending > d->pending.size() ? d->maxPending - d->pending.size() : 0;
          const size_t keep = std::min(room, batch.size());
          m_lost += batch.size() - keep;
          d->pending.insert(d->pending.begin(), std::make_move_iterator(batch.begin()),
                            std::make_move_iterator(batch.begin() + keep));
        } else {
          m_lost += batch.size();
        }
      }
      batch.clear();
      if (last) break;
    }
    if (m_lost > 0 && d->log)
      d->log("stats: " + std::to_string(m_lost.load()) + " records lost in all (the database was unavailable or the " +
             "queue full); " + std::to_string(m_written.load()) + " written");
  });
}

StatsRecorder::~StatsRecorder() { Stop(); }

void StatsRecorder::Record(StatsEvent event) {
  Impl* d = m_impl.get();
  std::lock_guard<std::mutex> lock(d->mutex);
  if (d->stopping || d->pending.size() >= d->maxPending) {
    ++m_lost;
    return;
  }
  d->pending.push_back(std::move(event));
  if (d->pending.size() == kBatch) d->wake.notify_one();
}

void StatsRecorder::Stop() {
  Impl* d = m_impl.get();
  {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->stopped) return;
    d->stopping = d->stopped = true;
    d->wake.notify_one();
  }
  if (d->writer.joinable()) d->writer.join();
}

}  // namespace quon::server
