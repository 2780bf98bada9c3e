// The packager's host files on Windows: Win32 calls on "\\?\" paths, so that no path is
// limited to MAX_PATH and no name goes through the ANSI code page.
#include <windows.h>
// After windows.h:
#include <bcrypt.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "core/package/Utf8.h"
#include "tools/pack/HostFiles.h"

namespace fs = std::filesystem;

namespace {

std::string Utf8(std::wstring_view text) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

// The system's text for an error code, without its final full stop and line break.
std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", n);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : Utf8(text);
}

std::string LastErrorText() {
  return ErrorText(GetLastError());
}

// `path` made absolute and normalised, in the "\\?\" form that every Win32 file call takes
// beyond MAX_PATH (260 units).
std::wstring LongPath(const fs::path& path) {
  const std::wstring& given = path.native();
  if (given.starts_with(L"\\\\?\\"))
    return given;
  std::wstring full(given.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0)
      return given;  // the call that uses it names the fault
    const bool fits = n < full.size();
    full.resize(n);
    if (fits)
      break;
  }
  if (full.starts_with(L"\\\\"))  // \\server\share\...
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// A "\\?\" path as people write it.
std::wstring ShortForm(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\UNC\\"))
    return L"\\" + path.substr(7);
  if (path.starts_with(L"\\\\?\\"))
    return path.substr(4);
  return path;
}

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (valid())
      CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens what `longPath` names, following links and junctions, to read its attributes; a
// folder too.
HANDLE OpenFollowing(const std::wstring& longPath) {
  return CreateFileW(longPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Where the link at `longPath` leads, in the "\\?\" form; empty, with the last error set,
// when it leads nowhere or loops.
std::wstring LinkTarget(const std::wstring& longPath) {
  const FileHandle handle(OpenFollowing(longPath));
  if (!handle.valid())
    return {};
  std::wstring target(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(handle.get(), target.data(),
                                              static_cast<DWORD>(target.size()), VOLUME_NAME_DOS);
    if (n == 0)
      return {};
    const bool fits = n < target.size();
    target.resize(n);
    if (fits)
      return target;
  }
}

// `longPath` with every link on the way replaced by where it leads, part by part from the
// volume: GetFinalPathNameByHandleW on the whole path would do, but Wine's takes no more
// than MAX_PATH units. Empty, with the last error set, when a part is missing or a link
// leads nowhere.
std::wstring RealPath(const std::wstring& longPath) {
  // The volume: "\\?\C:" or "\\?\UNC\server\share".
  std::size_t at = longPath.starts_with(L"\\\\?\\UNC\\")
                       ? longPath.find(L'\\', longPath.find(L'\\', 8) + 1)
                       : longPath.find(L'\\', 4);
  at = std::min(at, longPath.size());
  std::wstring real = longPath.substr(0, at);
  while (at < longPath.size()) {
    const std::size_t next = std::min(longPath.find(L'\\', at + 1), longPath.size());
    real.append(longPath, at, next - at);
    at = next;
    const DWORD attributes = GetFileAttributesW(real.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
      return {};
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      real = LinkTarget(real);
      if (real.empty())
        return {};
    }
  }
  return real;
}

}  // namespace

std::string QuotedPath(const fs::path& path) {
  return "'" + Utf8(path.native()) + "'";
}

bool HostName(const fs::path& path, std::u16string* name) {
  const std::wstring wide = path.filename().native();
  name->assign(reinterpret_cast<const char16_t*>(wide.data()), wide.size());
  return true;
}

bool ListHostFolder(const fs::path& folder, std::vector<fs::path>* entries, std::string* error) {
  entries->clear();
  std::wstring pattern = LongPath(folder);
  pattern += pattern.ends_with(L'\\') ? L"*" : L"\\*";
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    *error = QuotedPath(folder) + ": cannot read the folder: " + LastErrorText();
    return false;
  }
  do {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..")
      entries->push_back(folder / name);
  } while (FindNextFileW(find, &data));
  const DWORD last = GetLastError();
  FindClose(find);
  if (last != ERROR_NO_MORE_FILES) {
    *error = QuotedPath(folder) + ": cannot read the folder: " + ErrorText(last);
    return false;
  }
  return true;
}

bool ResolveHostPath(const fs::path& path, HostEntry* entry, std::string* error) {
  const std::wstring real = RealPath(LongPath(path));
  const FileHandle handle(real.empty() ? INVALID_HANDLE_VALUE : OpenFollowing(real));
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) {
    *error = LastErrorText();
    return false;
  }
  entry->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? HostEntry::Kind::kFolder
                                                                        : HostEntry::Kind::kFile;
  entry->size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  entry->volume = info.dwVolumeSerialNumber;
  entry->file = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  entry->real = ShortForm(real);
  return true;
}

bool HostPathInside(const fs::path& target, const fs::path& root) {
  const std::wstring& t = target.native();
  const std::wstring& r = root.native();
  const std::size_t n = r.ends_with(L'\\') ? r.size() - 1 : r.size();  // "C:\"
  return t.size() >= n &&
         CompareStringOrdinal(t.c_str(), static_cast<int>(n), r.c_str(), static_cast<int>(n),
                              TRUE) == CSTR_EQUAL &&
         (t.size() == n || t[n] == L'\\');
}

bool ReadWholeFile(const fs::path& path, Bytes* bytes, std::string* error, std::uint64_t limit) {
  bytes->clear();
  const FileHandle file(CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) {
    *error = QuotedPath(path) + ": cannot open for reading: " + LastErrorText();
    return false;
  }
  // Read in steps of at most 16 MiB until a read returns nothing: a file may grow meanwhile.
  constexpr DWORD kStep = 16 << 20;
  for (DWORD got = 1; got != 0;) {
    const std::size_t have = bytes->size();
    const std::uint64_t room = limit - have;
    bytes->resize(have + static_cast<std::size_t>(room >= kStep ? kStep : room + 1));
    if (!ReadFile(file.get(), bytes->data() + have, static_cast<DWORD>(bytes->size() - have), &got,
                  nullptr)) {
      *error = QuotedPath(path) + ": read error: " + LastErrorText();
      bytes->clear();
      return false;
    }
    bytes->resize(have + got);
    if (got > room) {
      *error = QuotedPath(path) + ": larger than " + std::to_string(limit) + " bytes";
      bytes->clear();
      return false;
    }
  }
  bytes->shrink_to_fit();
  return true;
}

bool MakePrivateTemporaryFolder(fs::path* folder) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  for (unsigned attempt = 0; !ec && attempt < 100; ++attempt) {
    const fs::path candidate = base / (L"setup_pack-" + std::to_wstring(GetCurrentProcessId()) +
                                       L"-" + std::to_wstring(GetTickCount64() + attempt));
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      *folder = candidate;
      return true;
    }
  }
  return false;
}

int RunHostCommand(const std::string& command, const fs::path& file) {
  std::u16string line;
  if (!Utf8ToUtf16(command, &line))
    return -1;
  // cmd /c takes off the line's first and last quotes when it starts with one: the whole
  // line is quoted once more so that a quoted program path survives.
  std::wstring wide = L"\"" + std::wstring(line.begin(), line.end());
  wide += L" \"" + file.wstring() + L"\"\"";
  return _wsystem(wide.c_str());
}

bool CheckOutputPath(const fs::path& path, std::string* error) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(L".");
  const DWORD attributes = GetFileAttributesW(LongPath(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    *error =
        QuotedPath(folder) + (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                                  ? std::string(": the output's folder does not exist")
                                  : ": the output's folder cannot be reached: " + ErrorText(code));
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = QuotedPath(folder) + ": the output's folder is not a folder";
    return false;
  }
  const DWORD target = GetFileAttributesW(LongPath(path).c_str());
  if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = QuotedPath(path) + ": the output is a folder";
    return false;
  }
  return true;
}

bool WriteFileAtomically(const fs::path& path, const Bytes& bytes, std::string* error) {
  const std::wstring target = LongPath(path);
  const std::wstring temporary = target + L".partial";
  const auto create = [&] {
    return CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  HANDLE handle = create();
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
    // A plain file is what an interrupted run leaves: it goes. A link, a junction or a
    // folder someone else put there stays; DeleteFileW removes a link itself, never what
    // it names.
    const DWORD attributes = GetFileAttributesW(temporary.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      *error = "'" + Utf8(ShortForm(temporary)) +
               "': is in the way and is not a file an earlier run left; remove it";
      return false;
    }
    if (DeleteFileW(temporary.c_str()))
      handle = create();
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "'" + Utf8(ShortForm(temporary)) + "': cannot create: " + LastErrorText();
    return false;
  }
  bool written = true;
  for (std::size_t done = 0; written && done < bytes.size();) {
    DWORD n = 0;
    const DWORD step = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 24));
    written = WriteFile(handle, bytes.data() + done, step, &n, nullptr) && n == step;
    done += n;
  }
  const std::string writeError = written ? std::string() : LastErrorText();
  if (!CloseHandle(handle) || !written ||
      !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = QuotedPath(path) + ": cannot write: " + (written ? LastErrorText() : writeError);
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

bool Sha256(const std::uint8_t* data, std::size_t size, Sha256Digest* digest) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // In steps: BCryptHashData takes a 32-bit length.
  for (std::size_t done = 0; ok && done < size;) {
    const ULONG step = static_cast<ULONG>(std::min<std::size_t>(size - done, 1u << 30));
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<std::uint8_t*>(data + done), step, 0));
    done += step;
  }
  ok = ok && BCRYPT_SUCCESS(
                 BCryptFinishHash(hash, digest->data(), static_cast<ULONG>(digest->size()), 0));
  if (hash != nullptr)
    BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}
