// Under Windows (Wine) the worker installs the reference-scale payload (1,125 files, 32 MB)
// byte for byte, with progress reports that never decrease, start at 0, name each file at
// most once and are followed by exactly one completion.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/win/worker_harness.h"

namespace {

TEST(ReferenceRun, EveryFileByteIdenticalWithOrderedReports) {
  const std::wstring source = std::wstring(SETUP_REFERENCE_PAYLOAD_W) + L"\\";
  std::vector<std::wstring> listed;
  ListFiles(source, L"", &listed);
  const std::set<std::wstring> expected(listed.begin(), listed.end());
  ASSERT_EQ(expected.size(), 1125u);

  const std::wstring folder = FreshFolder(L"reference");
  InstallWorker worker;
  const std::vector<Report> reports = RunWorker(worker, folder);
  // Progress comes when the percentage changes (or at most every 50 ms): each names a
  // payload file, none twice.
  ASSERT_GE(reports.size(), 3u);
  ASSERT_LE(reports.size(), expected.size() + 2);
  EXPECT_EQ(reports.front().code, INSTALL_PREPARING);
  EXPECT_EQ(reports.back().code, INSTALL_COMPLETE);
  EXPECT_EQ(reports[1].code, 0);
  std::set<std::wstring> reported;
  for (std::size_t i = 1; i + 1 < reports.size(); ++i) {
    ASSERT_GE(reports[i].code, i > 1 ? reports[i - 1].code : 0) << i;
    ASSERT_LT(reports[i].code, 100) << i;
    ASSERT_EQ(reports[i].path.rfind(folder, 0), 0u);
    ASSERT_TRUE(reported.insert(reports[i].path.substr(folder.size())).second) << i;
    ASSERT_EQ(expected.count(reports[i].path.substr(folder.size())), 1u) << i;
  }
  for (const std::wstring& relative : expected) {
    ASSERT_TRUE(ReadBytes(folder + relative) == ReadBytes(source + relative)) << "file differs";
  }
  EXPECT_TRUE(worker.Outcome().listsWritten);
  EXPECT_EQ(worker.Outcome().installedFiles.size(), expected.size() + 1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
