// The reference update server as a child process on 127.0.0.1 with a port
// it picks; stopped (by its process id) with the object.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quon::test {

class ReferenceServer {
 public:
  ReferenceServer(const std::string& executable, const std::string& root);
  ~ReferenceServer();
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  bool Running() const { return m_port != 0; }
  const std::string& Problem() const { return m_problem; }
  uint16_t Port() const { return m_port; }
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  uint16_t m_port = 0;
  std::string m_problem;
};

// Writes DIR/catalog.ini with one update `number` for `appliesTo` whose
// archive is DIR/`archive` (which the caller writes).
void WriteCatalog(const std::string& dir, unsigned number, const std::string& appliesTo,
                  const std::string& brings, const std::string& archive);

}  // namespace quon::test
