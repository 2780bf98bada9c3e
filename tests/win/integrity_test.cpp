// Under Windows (Wine), a stamped executable passes its own integrity check from any
// folder, only over the file it was started from, and a copy damaged by one byte outside
// the digest block fails it.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/integrity/InstallerDigest.h"
#include "core/integrity/PeImage.h"
#include "tests/win/worker_harness.h"
#include "win/integrity/IntegrityCheck.h"

namespace {

std::wstring Folder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring s(path, n);
  return s.substr(0, s.find_last_of(L'\\') + 1);
}

std::wstring ProbePath() {
  return Folder() + SETUP_PROBE_NAME;
}

std::wstring TempPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + name;
}

// The digest block of the PE file `bytes`; its size stays 0 when there is none.
FileRange DigestBlock(const std::string& bytes) {
  PeImage image;
  FileRange block;
  std::uint32_t blockId = 0;
  if (image.Parse(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()) !=
          PeStatus::kOk ||
      image.FindDigestBlock(&block, &blockId) != PeStatus::kOk) {
    return {};
  }
  return block;
}

DWORD ExitCodeOf(const std::wstring& path) {
  HANDLE process = Launch(path);
  if (process == nullptr)
    return 0xDEAD;
  WaitForSingleObject(process, 60000);
  DWORD code = 0xDEAD;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

// The exit code of the probe copied to `path` whose file is swapped for `substitute` (a
// file of that name beside it) as it starts.
DWORD ExitCodeAfterSwap(const std::wstring& path, const std::wstring& substitute) {
  WriteBytes(path, ReadBytes(ProbePath()));
  const DWORD code = RunForExitCode(path, L"\"" + substitute + L"\"");
  DeleteFileW((path + L".started").c_str());
  DeleteFileW(path.c_str());
  return code;
}

// The check passes from any folder, and only over the file the system loaded: a program
// whose file was swapped for another correctly stamped one, or a damaged one, while it
// started refuses; a byte-identical file is the same program.
TEST(Integrity, StampedExecutablePassesFromAnyFolderAsItself) {
  EXPECT_EQ(ExitCodeOf(ProbePath()), 0u);
  const std::string probe = ReadBytes(ProbePath());
  const std::wstring copy = TempPath(L"setup_probe_copy.exe");
  WriteBytes(copy, probe);
  EXPECT_EQ(ExitCodeOf(copy), 0u);
  DeleteFileW(copy.c_str());
  std::string damaged = probe;
  damaged[damaged.size() / 2] ^= 0x01;
  WriteBytes(TempPath(L"setup_probe_damaged.exe"), damaged);
  const struct {
    const char* name;
    std::wstring substitute;
    DWORD code;
  } swaps[] = {
      {"the same bytes", ProbePath(), 0},
      {"another stamped program", Folder() + L"setup_portal_77.exe", 1},
      {"a damaged copy", TempPath(L"setup_probe_damaged.exe"), 1},
  };
  for (const auto& swap : swaps) {
    EXPECT_EQ(ExitCodeAfterSwap(TempPath(L"setup_probe_swapped.exe"), swap.substitute), swap.code)
        << swap.name;
  }
  DeleteFileW(TempPath(L"setup_probe_damaged.exe").c_str());
}

TEST(Integrity, OneByteOutsideTheBlockFails) {
  const std::string bytes = ReadBytes(ProbePath());
  const FileRange block = DigestBlock(bytes);
  ASSERT_EQ(block.size, 160u);
  const std::uint32_t position = block.position, size = block.size;
  for (std::size_t at :
       {std::size_t{position - 1}, std::size_t{position + size}, bytes.size() - 1}) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    const std::wstring path = TempPath(L"setup_probe_damaged.exe");
    WriteBytes(path, damaged);
    EXPECT_EQ(ExitCodeOf(path), 1u) << "byte " << at;
    DeleteFileW(path.c_str());
  }
}

// String 32's length lies in the block, which the digest leaves out. The installer reads it
// by the rule the packager's verify follows (CheckStoredDigest): each damaged length fails
// the running probe, VerifyFileIntegrity and the portable rule over the same bytes alike.
TEST(Integrity, ADamagedStringLengthFailsAsVerifyFails) {
  const std::string bytes = ReadBytes(ProbePath());
  const FileRange block = DigestBlock(bytes);
  ASSERT_NE(block.size, 0u);
  const std::uint32_t position = block.position, size = block.size;
  EXPECT_TRUE(VerifyFileIntegrity(ProbePath().c_str()));
  for (const unsigned length : {0u, 63u, 65u, 79u, 80u, 65535u}) {
    std::string damaged = bytes;
    damaged[position] = static_cast<char>(length & 0xff);
    damaged[position + 1] = static_cast<char>(length >> 8);
    const auto* data = reinterpret_cast<const std::uint8_t*>(damaged.data());
    Md5Digest digest;
    ASSERT_EQ(ComputeInstallerDigest(data, damaged.size(), &digest), PeStatus::kOk);
    StoredDigest stored;
    EXPECT_NE(CheckStoredDigest(data + position, size, 3, digest, &stored), StoredDigestStatus::kOk)
        << length;
    const std::wstring path = TempPath(L"setup_probe_length.exe");
    WriteBytes(path, damaged);
    EXPECT_FALSE(VerifyFileIntegrity(path.c_str())) << length;
    EXPECT_EQ(ExitCodeOf(path), 1u) << length;
    DeleteFileW(path.c_str());
  }
}

// The block the check reads is the one the resource loader finds: string 32 through
// LoadStringW is the probe's digest twice.
TEST(Integrity, TheLoaderFindsTheStoredDigest) {
  const std::string bytes = ReadBytes(ProbePath());
  Md5Digest md5;
  ASSERT_EQ(ComputeInstallerDigest(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size(), &md5),
            PeStatus::kOk);
  const std::string hex = DigestHex(md5);
  const std::wstring digest(hex.begin(), hex.end());
  HMODULE module = LoadLibraryExW(ProbePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  wchar_t stored[100] = {};
  EXPECT_EQ(LoadStringW(module, 32, stored, 100), 64);
  FreeLibrary(module);
  EXPECT_EQ(std::wstring(stored, 32), digest);
  EXPECT_EQ(std::wstring(stored + 32, 32), digest);
}

TEST(Integrity, FilesWithoutADigestFail) {
  const std::wstring empty = TempPath(L"setup_empty.exe");
  WriteBytes(empty, "");
  EXPECT_FALSE(VerifyFileIntegrity(empty.c_str()));
  const std::wstring text = TempPath(L"setup_text.exe");
  WriteBytes(text, "MZnot PE");
  EXPECT_FALSE(VerifyFileIntegrity(text.c_str()));
  EXPECT_FALSE(VerifyFileIntegrity(L"C:\\no\\such\\file.exe"));
  DeleteFileW(empty.c_str());
  DeleteFileW(text.c_str());
}

}  // namespace
