// The figures in an SQLite file: no set-up, one server (or several on one
// machine sharing the file through its write-ahead log).
#include <sqlite3.h>

#include "Stats.h"

namespace quon::server {

namespace {

class SqliteStore : public StatsStore {
 public:
  explicit SqliteStore(std::string file) : m_file(std::move(file)) {}
  ~SqliteStore() override { Close(); }

  bool Open(std::string& error) override {
    Close();
    if (sqlite3_open_v2(m_file.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
      return Fail(error);
    sqlite3_busy_timeout(m_db, 5000);
    if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error) || !Exec(kStatsSchema, error)) return false;
    if (sqlite3_prepare_v2(m_db, "INSERT INTO quon_list_requests VALUES (?,?,?,?,?,?)", -1, &m_list, nullptr) !=
            SQLITE_OK ||
        sqlite3_prepare_v2(m_db, "INSERT INTO quon_downloads VALUES (?,?,?,?,?,?,?,?,?,?)", -1, &m_download, nullptr) !=
            SQLITE_OK)
      return Fail(error);
    return true;
  }

  bool Write(const std::vector<StatsEvent>& events, std::string& error) override {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    for (const StatsEvent& e : events) {
      sqlite3_stmt* st = e.kind == StatsEvent::kList ? m_list : m_download;
      sqlite3_reset(st);
      int i = 1;
      sqlite3_bind_int64(st, i++, e.atMs);
      BindText(st, i++, DayOf(e.atMs));
      BindText(st, i++, e.replica);
      if (e.kind == StatsEvent::kList) {
        BindText(st, i++, e.installed);
        BindText(st, i++, e.identity);
        BindText(st, i++, e.offered);
      } else {
        sqlite3_bind_int64(st, i++, e.updateId);
        BindText(st, i++, e.brings);
        BindText(st, i++, e.installed);
        BindText(st, i++, e.identity);
        sqlite3_bind_int64(st, i++, static_cast<sqlite3_int64>(e.bytes));
        sqlite3_bind_int64(st, i++, static_cast<sqlite3_int64>(e.size));
        sqlite3_bind_int(st, i++, e.complete ? 1 : 0);
      }
      if (sqlite3_step(st) != SQLITE_DONE) {
        Fail(error);
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
      }
    }
    return Exec("COMMIT", error);
  }

  bool Query(const std::string& sql, const std::function<void(const std::vector<std::string>&)>& row,
             std::string& error) override {
    if (m_db == nullptr && !Open(error)) return false;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail(error);
    std::vector<std::string> values(static_cast<size_t>(sqlite3_column_count(st)));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      for (size_t i = 0; i < values.size(); ++i) values[i] = Text(st, static_cast<int>(i));
      row(values);
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE || Fail(error);
  }

  std::string Describe() const override { return "SQLite file " + m_file; }

 private:
  static void BindText(sqlite3_stmt* st, int i, const std::string& text) {
    sqlite3_bind_text(st, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  static std::string Text(sqlite3_stmt* st, int i) {
    const auto* p = sqlite3_column_text(st, i);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i)))
             : std::string();
  }
  bool Exec(const char* sql, std::string& error) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail(error);
  }
  bool Fail(std::string& error) {
    error = m_db ? sqlite3_errmsg(m_db) : "cannot open the database";
    return false;
  }
  void Close() {
    sqlite3_finalize(m_list);
    sqlite3_finalize(m_download);
    m_list = m_download = nullptr;
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
  }

  std::string m_file;
  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_list = nullptr;
  sqlite3_stmt* m_download = nullptr;
};

}  // namespace

std::unique_ptr<StatsStore> MakeSqliteStatsStore(const std::string& file) {
  return std::make_unique<SqliteStore>(file);
}

}  // namespace quon::server
