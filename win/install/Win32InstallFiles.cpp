#include "win/install/Win32InstallFiles.h"

#include <utility>

#include "core/product/Product.h"
#include "win/base/Files.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"
#include "win/install/AdminObjects.h"
#include "win/install/ChannelInfo.h"
#include "win/install/FolderRights.h"
#include "win/install/Removal.h"

namespace {

class Win32File : public InstallFiles::File {
 public:
  explicit Win32File(UniqueHandle handle) : h_(std::move(handle)) {}
  bool Write(const std::uint8_t* data, std::size_t size) override {
    while (size > 0) {
      const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(h_.get(), data, chunk, &written, nullptr))
        return false;
      if (written == 0)
        return FailWith(ERROR_WRITE_FAULT);
      data += written;
      size -= written;
    }
    return true;
  }
  // A write the system held back may fail only now.
  bool Close() override { return CloseHandle(h_.release()) != 0; }

 private:
  UniqueHandle h_;
};

}  // namespace

Win32InstallFiles::Win32InstallFiles(const std::u16string& folder,
                                     DWORD registrationLimitMs,
                                     bool folderIsNew)
    : root_(Wide(folder)), registrationLimitMs_(registrationLimitMs) {
  // The install folder must be a real folder at its own place, with no link or junction at
  // it or on the way to it: what is written below it lands below that place.
  if (root_.size() < 2 || root_.back() != L'\\')
    return;
  if (!PinFolder(root_.substr(0, root_.size() - 1), folderIsNew))
    return;
  rootFinal_ = FinalPath(pins_.front().handle.get());
  if (rootFinal_.empty())
    pins_.clear();
  else if (rootFinal_.back() != L'\\')
    rootFinal_ += L'\\';
}

Win32InstallFiles::~Win32InstallFiles() = default;

const Win32InstallFiles::Pin* Win32InstallFiles::Held(const std::wstring& folder) const {
  // Files come folder by folder: the newest pin is nearly always the one.
  for (auto it = pins_.rbegin(); it != pins_.rend(); ++it) {
    if (it->folder == folder)
      return &*it;
  }
  return nullptr;
}

bool Win32InstallFiles::PinFolder(const std::wstring& folder, bool made) {
  // A link shows in its attributes even where the system follows it when opening.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return false;
  if ((attributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY)
    return FailWith(ERROR_ACCESS_DENIED);  // a link, or a file where a folder goes
  // A folder that was there before gets the protected rights and owner, so that nobody else
  // can add to it while, and after, the run writes into it - unless someone else could
  // change it already, who may hold a handle that keeps those rights: then nothing is
  // written into it.
  const DWORD rights = made ? 0 : READ_CONTROL | WRITE_DAC | WRITE_OWNER;
  UniqueHandle handle(
      CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | rights,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  // The install folder where its path says, links on the way resolved; each folder below
  // it at its own place below that.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info))
    return false;
  if ((info.dwFileAttributes & kLinkOrFolder) != FILE_ATTRIBUTE_DIRECTORY ||
      !(pins_.empty()
            ? AtItsOwnPlace(handle.get(), folder)
            : SamePath(FinalPath(handle.get()), rootFinal_ + folder.substr(root_.size()))) ||
      (!made && !OnlyAdministratorsMayChange(handle.get()))) {
    return FailWith(ERROR_ACCESS_DENIED);
  }
  if (!made && !ProtectedRights::Get().ProtectExisting(handle.get()))
    return false;
  pins_.push_back({folder, std::move(handle), made});
  return true;
}

bool Win32InstallFiles::FoldersOnTheWay(const std::wstring& file,
                                        std::vector<std::wstring>* folders) const {
  const std::size_t last = file.rfind(L'\\');
  if (pins_.empty() || last == std::wstring::npos || last + 1 < root_.size() ||
      file.compare(0, root_.size(), root_) != 0) {
    return FailWith(ERROR_PATH_NOT_FOUND);  // not below the install folder it holds
  }
  for (std::size_t cut = file.find(L'\\', root_.size()); cut != std::wstring::npos && cut <= last;
       cut = file.find(L'\\', cut + 1)) {
    folders->push_back(file.substr(0, cut));
  }
  return true;
}

bool Win32InstallFiles::MakeFolders(const std::u16string& path) {
  std::vector<std::wstring> folders;
  if (!FoldersOnTheWay(Wide(path), &folders))
    return false;
  // Outermost first: made when missing, then held.
  for (const std::wstring& folder : folders) {
    if (Held(folder) != nullptr)
      continue;
    const bool made =
        CreateDirectoryW(folder.c_str(), const_cast<SECURITY_ATTRIBUTES*>(
                                             ProtectedRights::Get().Folder())) != FALSE;
    if (!PinFolder(folder, made))
      return false;
  }
  return true;
}

bool Win32InstallFiles::Occupied(const std::u16string& path) {
  const std::wstring file = Wide(path);
  std::vector<std::wstring> folders;
  if (!FoldersOnTheWay(file, &folders))
    return false;
  // The folders on the way that exist are readied (proved, protected, held) before their
  // entries are looked at, so that nobody adds one in between; a missing folder holds
  // nothing, and something in the way that is no folder of its own is in the way.
  for (const std::wstring& folder : folders) {
    if (Held(folder) != nullptr)
      continue;
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
      return false;
    if (!PinFolder(folder, false))
      return true;
  }
  // Nothing can be in a folder this run made: no call needed.
  const Pin* parent = Held(file.substr(0, file.rfind(L'\\')));
  return !(parent != nullptr && parent->made) &&
         GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32InstallFiles::KeepAside(const std::u16string& path, const std::u16string& keptPath) {
  const std::wstring file = Wide(path);
  const std::wstring kept = Wide(keptPath);
  const std::size_t last = file.rfind(L'\\');
  const std::size_t keptLast = kept.rfind(L'\\');
  if (last == std::wstring::npos || Held(file.substr(0, last)) == nullptr ||
      kept.compare(0, root_.size(), root_) != 0) {
    return FailWith(ERROR_PATH_NOT_FOUND);  // not in a folder the run holds
  }
  if (!MakeFolders(keptPath))
    return false;
  const Pin* into = Held(kept.substr(0, keptLast));
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return false;
  if (!IsOwnFile(file, attributes) || into == nullptr)
    return FailWith(ERROR_ACCESS_DENIED);  // a link, or a folder
  // Opened for the move without following a link; a program that holds it without letting
  // it be deleted keeps it where it is.
  const UniqueHandle handle(CreateFileW(file.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info))
    return false;
  if ((info.dwFileAttributes & kLinkOrFolder) != 0)
    return FailWith(ERROR_ACCESS_DENIED);
  return RenameThrough(handle.get(), into->handle.get(), kept.substr(keptLast + 1));
}

UniqueHandle Win32InstallFiles::OpenFile(const std::u16string& path, DWORD disposition) {
  const std::wstring file = Wide(path);
  const std::size_t last = file.rfind(L'\\');
  if (last == std::wstring::npos || Held(file.substr(0, last)) == nullptr) {
    FailWith(ERROR_PATH_NOT_FOUND);  // not in a folder the run holds
    return UniqueHandle();
  }
  const ProtectedRights& rights = ProtectedRights::Get();
  const auto open = [&](DWORD how) {
    return UniqueHandle(CreateFileW(file.c_str(), GENERIC_WRITE | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                    0, const_cast<SECURITY_ATTRIBUTES*>(rights.File()), how,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  // The common case, a new file, in one call: CREATE_NEW makes it with its rights and
  // fails on any existing name, a link included, without following it.
  UniqueHandle handle = open(CREATE_NEW);
  if (handle.valid() || GetLastError() != ERROR_FILE_EXISTS || disposition == CREATE_NEW)
    return handle;
  // Something is there: it must be a plain file at its own place, with no other name (a hard
  // link would write into another file), and it gets the rights.
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return UniqueHandle();
  if (!IsOwnFile(file, attributes)) {
    FailWith(ERROR_ACCESS_DENIED);  // a link, or a folder
    return UniqueHandle();
  }
  handle = open(disposition);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info))
    return UniqueHandle();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1) {
    handle.reset();
    FailWith(ERROR_ACCESS_DENIED);  // a link, or another name of a file elsewhere
    return UniqueHandle();
  }
  if (!rights.Apply(handle.get(), false)) {
    const DWORD error = GetLastError();
    handle.reset();
    FailWith(error);
    return UniqueHandle();
  }
  return handle;
}

bool Win32InstallFiles::IsOwnFile(const std::wstring& file, DWORD attributes) const {
  if ((attributes & kLinkOrFolder) != 0)
    return false;
  // Opened without following a link, it must lie where its name says: a link that does not
  // show in the attributes (Wine shows none for a file) resolves elsewhere.
  const UniqueHandle handle(CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.valid())
    return true;  // whatever it is, opening it will tell
  return SamePath(FinalPath(handle.get()), rootFinal_ + file.substr(root_.size()));
}

std::unique_ptr<InstallFiles::File> Win32InstallFiles::Create(const std::u16string& path) {
  UniqueHandle handle = OpenFile(path, CREATE_NEW);
  if (!handle.valid())
    return nullptr;
  return std::make_unique<Win32File>(std::move(handle));
}

std::unique_ptr<InstallFiles::File> Win32InstallFiles::Replace(const std::u16string& path) {
  UniqueHandle handle = OpenFile(path, CREATE_ALWAYS);
  if (!handle.valid())
    return nullptr;
  return std::make_unique<Win32File>(std::move(handle));
}

void Win32InstallFiles::WriteChannelInfo(const std::u16string& folder) {
  // The file is made (or taken over) here, with its rights, before the profile calls write
  // into it; an existing file keeps its other content.
  const std::u16string path = folder + std::u16string(kChannelFilePath);
  if (!MakeFolders(path) || !OpenFile(path, OPEN_ALWAYS).valid())
    return;
  ::WriteChannelInfo(Wide(folder).c_str(), ProgramName().c_str());
}

RegistrationResult Win32InstallFiles::RegisterComponent(const std::u16string& folder) {
  return ::RegisterComponent(Wide(folder).c_str(), registrationLimitMs_);
}

std::string Win32InstallFiles::ToAnsi(std::u16string_view line) {
  return ToCodePage(Wide(line));
}
