// The PC as an installation's transaction (core/install/Transaction) changes it. Files and
// folders are acted on by handle (RemovalFolder) and only inside the folders it is given -
// each one that only administrators can have changed, held until the transaction lets it go;
// a path anywhere else is refused, and so nothing in a folder someone else may have changed
// is ever moved, deleted or run. Besides: the journal beside the earlier files, the
// uninstall entry, the component's registration and the product's shortcuts. Each step that
// matters is logged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/install/Transaction.h"
#include "win/base/UniqueHandle.h"
#include "win/install/Removal.h"
#include "win/install/SetupLog.h"

class Win32Transaction : public TransactionHost {
 public:
  explicit Win32Transaction(SetupLog& log) : log_(log) {}

  // A folder (absolute, ending with '\') the transaction may act in, with the handles that
  // hold it and the folders on its way; they are let go when the transaction removes the
  // folder itself or ends.
  void AddFolder(const std::wstring& folder, std::vector<UniqueHandle> held);

  bool MakeJournal(const std::u16string& folder, const std::string& text) override;
  bool AppendJournal(const std::u16string& folder, const std::string& text) override;
  Step ReadJournal(const std::u16string& folder, std::string* text) override;
  bool RemoveJournal(const std::u16string& folder) override;
  Step RemoveAside(const std::u16string& folder) override;
  bool MarkJournal(const std::u16string& folder) override;
  Step Move(const std::u16string& from, const std::u16string& to) override;
  Step Remove(const std::u16string& path) override;
  Step RemoveFolder(const std::u16string& path) override;
  bool RemoveAtRestart(const std::u16string& path, const std::u16string& place) override;
  bool RemoveFolderAtRestart(const std::u16string& path) override;
  bool ReadManifest(const std::u16string& path, ManifestLists* lists) override;
  bool WriteEntry(const std::vector<EntryValue>& entry) override;
  bool Served(const std::u16string& folder) override;
  bool Register(const std::u16string& folder) override;
  bool Unregister(const std::u16string& folder, bool throughComponent) override;
  bool RemoveShortcuts() override;
  void Note(const std::u16string& line) override;

 private:
  struct Folder {
    std::wstring path;
    std::vector<UniqueHandle> held;
    std::unique_ptr<RemovalFolder> removal;
  };
  // The folder given that `path` lies below, or null.
  Folder* Below(const std::wstring& path);

  SetupLog& log_;
  std::vector<Folder> folders_;
};
