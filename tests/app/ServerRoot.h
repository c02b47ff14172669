// An update server root for the end-to-end runs: the reference server
// over staged files, archives packed with quon-pack, and its catalog.
#pragma once
#include "E2eSupport.h"
#include "support/ServerProcess.h"

namespace quon::e2e {

// An update server root: staged files, packed archives, the catalog.
class ServerRoot {
 public:
  std::string Dir() const { return m_root.Dir(); }
  void Stage(const std::string& relative, const std::string& bytes) { m_stage.Write(relative, bytes); }
  // quon-pack with its own arguments, reading the staged files.
  void Pack(const std::string& archive, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QUON_E2E_PACK, "-o", m_root.Path(archive), "-C", m_stage.Dir()};
    argv.insert(argv.end(), args.begin(), args.end());
    test::RunResult r = test::RunProgram(argv);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  // gcab for archives quon-pack would refuse to make (its own list file,
  // or none at all); files are stored flat.
  void Gcab(const std::string& archive, const std::vector<std::string>& stagedFiles) {
    std::vector<std::string> argv = {"/usr/bin/gcab", "-c", "-n", m_root.Path(archive)};
    for (const std::string& f : stagedFiles) argv.push_back(m_stage.Path(f));
    test::RunResult r = test::RunProgram(argv);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  void Put(const std::string& name, const std::string& bytes) { m_root.Write(name, bytes); }
  void Remove(const std::string& name) { fs::remove(m_root.Path(name)); }
  // One catalog section per update.
  void Offer(uint32_t id, const std::string& name, const std::string& archive, const std::string& appliesTo,
             const std::string& brings, const std::string& posted = "2026-03-16 09:30") {
    m_catalog += "[update " + std::to_string(id) + "]\nposted = " + posted + "\nname = " + name +
                 "\ndescription = About " + name + "\napplies-to = " + appliesTo + "\narchive = " + archive +
                 "\nbrings = " + brings + "\n\n";
    m_root.Write("catalog.ini", m_catalog);
  }
  // `args`: the server's further options (its TLS certificate).
  void StartServer(const std::vector<std::string>& args = {}) {
    if (m_catalog.empty()) m_root.Write("catalog.ini", "# nothing offered\n");
    ASSERT_TRUE(server.Start(m_root.Dir(), args)) << server.Error();
  }
  uint16_t Port() const { return static_cast<uint16_t>(server.Port()); }

  test::ServerProcess server;

 private:
  test::TempDir m_root;
  test::TempDir m_stage;
  std::string m_catalog;
};

}  // namespace quon::e2e
