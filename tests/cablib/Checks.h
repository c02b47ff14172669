// Assertions shared by the CAB library test files.
#ifndef TESTS_CABLIB_CHECKS_H
#define TESTS_CABLIB_CHECKS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CabWriter.h"
#include "TestSupport.h"

namespace cabtest {

inline FileSpec File(std::string name, std::string data, std::uint16_t attribs = 0x20) {
  FileSpec f;
  f.name = std::move(name);
  f.data = std::move(data);
  f.attribs = attribs;
  return f;
}

// An archive of one folder.
inline CabSpec OneFolder(std::vector<FileSpec> files, Method method = Method::Stored) {
  CabSpec plan;
  plan.folders = {{method, std::move(files)}};
  return plan;
}

// The archive was refused or failed: nothing of it is left in out, and
// nothing appeared beside out either.
inline void ExpectNothingWritten(const Sandbox& box, const std::string& archiveName = "test.cab") {
  EXPECT_EQ(Sandbox::Names(box.out), std::vector<std::string>{});
  EXPECT_EQ(Sandbox::Names(box.root), (std::vector<std::string>{"out", archiveName}));
}

// out holds exactly the files of plan, byte for byte.
inline void ExpectUnpacked(const Sandbox& box, const CabSpec& plan) {
  std::vector<std::string> expected;
  for (const FolderSpec& folder : plan.folders) {
    for (const FileSpec& f : folder.files) {
      expected.push_back(f.name);
      EXPECT_TRUE(box.Out(f.name) == f.data) << f.name << " differs";
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Sandbox::Names(box.out), expected);
}

}  // namespace cabtest

#endif
