// Under Windows (Wine): installing the reference payload with the install worker (inflation
// included) into a fresh folder, against copying the same files with CopyFileW, in the same
// run, alternating. Prints both, the ratio (target: at most 1.5x the copy) and the peak
// memory of the process.
//
//   setup_install_bench.exe [REPETITIONS]
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tests/win/worker_harness.h"

int wmain(int argc, wchar_t** argv) {
  const int repetitions = argc > 1 ? std::max(1, _wtoi(argv[1])) : 3;
  const std::wstring source = std::wstring(SETUP_REFERENCE_PAYLOAD_W) + L"\\";
  std::vector<std::wstring> files;
  ListFiles(source, L"", &files);
  std::vector<double> install, copy;
  for (int i = 0; i < repetitions; ++i) {
    const std::wstring n = std::to_wstring(i);
    const std::wstring target = FreshFolder((L"install" + n).c_str(), L"D:\\bench\\");
    InstallWorker worker;
    std::vector<Report> reports;
    install.push_back(TimeOnce([&] { reports = RunWorker(worker, target); }));
    if (reports.empty() || reports.back().code != INSTALL_COMPLETE) {
      std::printf("the install did not complete\n");
      return 1;
    }
    const std::wstring copyTarget = FreshFolder((L"copy" + n).c_str(), L"D:\\bench\\");
    copy.push_back(TimeOnce([&] {
      for (const std::wstring& f : files) {
        EnsureDirectories((copyTarget + f).c_str());
        CopyFileW((source + f).c_str(), (copyTarget + f).c_str(), FALSE);
      }
    }));
    FreshFolder((L"install" + n).c_str(), L"D:\\bench\\");
    FreshFolder((L"copy" + n).c_str(), L"D:\\bench\\");
  }
  std::sort(install.begin(), install.end());
  std::sort(copy.begin(), copy.end());
  const double installMedian = install[install.size() / 2];
  const double copyMedian = copy[copy.size() / 2];
  PROCESS_MEMORY_COUNTERS memory{};
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  std::printf("reference payload: %zu files, %d repetitions\n", files.size(), repetitions);
  std::printf("  install worker: best %.3f s  median %.3f s\n", install.front(), installMedian);
  std::printf("  CopyFileW:      best %.3f s  median %.3f s\n", copy.front(), copyMedian);
  std::printf("  ratio install/copy: median %.2fx  best %.2fx  (target <= 1.50x)\n",
              installMedian / copyMedian, install.front() / copy.front());
  std::printf("  peak working set %.1f MB, peak committed %.1f MB\n",
              static_cast<double>(memory.PeakWorkingSetSize) / 1e6,
              static_cast<double>(memory.PeakPagefileUsage) / 1e6);
  return 0;
}
