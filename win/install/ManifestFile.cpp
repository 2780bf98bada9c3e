#include "win/install/ManifestFile.h"

#include <windows.h>

#include "core/install/ManifestText.h"
#include "win/base/Paths.h"
#include "win/base/Text.h"

namespace {

// One section of the manifest, read whole: "KEY=VALUE" strings, each ended by a NUL.
std::string ReadSection(const std::string& manifest, const char* section) {
  struct Where {
    const std::string& manifest;
    const char* section;
  } const where{manifest, section};
  return GrownString(
      [](char* buffer, DWORD size, const void* context) {
        const auto& at = *static_cast<const Where*>(context);
        const DWORD n = GetPrivateProfileSectionA(at.section, buffer, size, at.manifest.c_str());
        // A buffer too small gives its size less two; up to 1 GiB, the section is read whole.
        return n + 2 < size || size >= (DWORD{1} << 30) ? n : size;
      },
      &where, 65536);
}

void ReadList(const std::string& section,
              const char* prefix,
              EmptyValue empty,
              std::vector<std::u16string>* list,
              std::vector<std::string>* unreadable) {
  for (const std::string& value : NumberedValues(section, prefix, empty)) {
    std::u16string wide = Utf16(FromCodePage(value));
    if (wide.empty())
      unreadable->push_back(value);
    else
      list->push_back(std::move(wide));
  }
}

}  // namespace

ManifestLists ReadManifest(const std::string& manifest) {
  ManifestLists lists;
  const std::string files = ReadSection(manifest, "InstallFileInfo");
  ReadList(files, "FILE", EmptyValue::kEndsTheList, &lists.files, &lists.unreadable);
  ReadList(files, "KEPT", EmptyValue::kEndsTheList, &lists.kept, &lists.unreadable);
  ReadList(ReadSection(manifest, "InstallDirectoryInfo"), "DIRECTORY", EmptyValue::kSkipped,
           &lists.folders, &lists.unreadable);
  return lists;
}
