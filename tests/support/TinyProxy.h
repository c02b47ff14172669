// A private tinyproxy with Basic authentication on a free loopback port,
// started for one test and stopped (by its process id) with the object.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quon::test {

class TinyProxy {
 public:
  TinyProxy(const std::string& directory, const std::string& user, const std::string& password);
  ~TinyProxy();
  TinyProxy(const TinyProxy&) = delete;
  TinyProxy& operator=(const TinyProxy&) = delete;

  // False (with the reason) when tinyproxy could not be started.
  bool Running() const { return m_pid > 0 && m_port != 0; }
  const std::string& Problem() const { return m_problem; }
  uint16_t Port() const { return m_port; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

 private:
  pid_t m_pid = -1;
  uint16_t m_port = 0;
  std::string m_problem;
};

}  // namespace quon::test
