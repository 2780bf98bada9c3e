// Checks of a built Windows program made by reading its bytes: the DLLs it imports and what
// its application manifest asks for. Wine neither elevates nor restricts the DLL search,
// so what real Windows does with these is proved from the file itself.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/integrity/PeImage.h"
#include "core/product/Product.h"

// Attributes of every element named `name` in `xml`, in document order. A small reader
// for the manifests we write: no entities, no CDATA.
inline std::vector<std::map<std::string, std::string>> XmlElements(const std::string& xml,
                                                                   std::string_view name) {
  std::vector<std::map<std::string, std::string>> found;
  const std::string open = "<" + std::string(name);
  for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const std::size_t after = at + open.size();
    if (after >= xml.size() || (xml[after] != ' ' && xml[after] != '\n' && xml[after] != '/' &&
                                xml[after] != '>' && xml[after] != '\r' && xml[after] != '\t')) {
      continue;  // a longer name
    }
    const std::size_t end = xml.find('>', after);
    std::map<std::string, std::string> attributes;
    std::size_t p = after;
    for (;;) {
      const std::size_t equals = xml.find('=', p);
      if (equals == std::string::npos || equals > end)
        break;
      std::size_t key = equals;
      while (key > p && xml[key - 1] != ' ' && xml[key - 1] != '\n' && xml[key - 1] != '\r' &&
             xml[key - 1] != '\t') {
        --key;
      }
      const char quote = xml[equals + 1];
      const std::size_t close = xml.find(quote, equals + 2);
      if (close == std::string::npos || close > end)
        break;
      attributes[xml.substr(key, equals - key)] = xml.substr(equals + 2, close - equals - 2);
      p = close + 1;
    }
    found.push_back(std::move(attributes));
  }
  return found;
}

struct ProgramFacts {
  std::vector<std::string> imports;  // DLLs imported statically or with delayed loading
  std::string manifest;              // resource 24/1, empty when there is none
};

inline ProgramFacts ReadProgram(const std::string& bytes) {
  ProgramFacts facts;
  PeImage image;
  EXPECT_EQ(image.Parse(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
            PeStatus::kOk);
  EXPECT_EQ(image.ImportedDlls(&facts.imports), PeStatus::kOk);
  FileRange manifest;
  if (image.FindTypedResource(24, 1, &manifest) == PeStatus::kOk)
    facts.manifest = bytes.substr(manifest.position, manifest.size);
  return facts;
}

inline void ExpectOnlyImports(const ProgramFacts& program,
                              std::initializer_list<const char*> allowed) {
  EXPECT_FALSE(program.imports.empty());
  for (const std::string& name : program.imports) {
    bool known = false;
    for (const char* dll : allowed)
      known = known || lstrcmpiA(name.c_str(), dll) == 0;
    EXPECT_TRUE(known) << name;
  }
}

// The files the system deletes at the next restart (PendingFileRenameOperations), each
// followed by a null, as one text.
inline std::wstring PendingDeletions() {
  constexpr wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  DWORD size = 0;
  RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
               nullptr, nullptr, &size);
  std::wstring pending(size / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                   nullptr, pending.data(), &size) != ERROR_SUCCESS) {
    return {};
  }
  pending.resize(size / sizeof(wchar_t));
  return pending;
}

// The program at `path` carries the release's version resource, as Windows reads it: the
// version `text` (by default that of core/product/Version.h) in numbers and text, the
// publisher and the product's name, and `description`.
inline void ExpectVersionResource(const std::wstring& path,
                                  const std::wstring& description,
                                  const std::wstring& text = product::kVersion,
                                  unsigned major = product::kVersionMajor,
                                  unsigned minor = product::kVersionMinor) {
  DWORD ignored = 0;
  std::vector<std::uint8_t> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(data.empty()) << "no version resource";
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(minor, major));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(minor, major));
  const auto field = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    return VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &size)
               ? std::wstring(value)
               : std::wstring();
  };
  EXPECT_TRUE(field(L"ProductVersion") == text);
  EXPECT_TRUE(field(L"FileVersion") == text);
  EXPECT_TRUE(field(L"CompanyName") == product::kPublisher);
  EXPECT_TRUE(field(L"ProductName") == product::kDisplayName);
  EXPECT_TRUE(field(L"FileDescription") == description);
  EXPECT_FALSE(field(L"LegalCopyright").empty());
}

// What both programs' manifests must ask for: administrator rights (without them Windows
// runs the program with a filtered token that cannot write the machine-wide entry and
// shortcuts), the common controls 6, the systems they are made for, and awareness of each
// monitor's DPI.
inline void ExpectElevatedManifest(const ProgramFacts& program) {
  ASSERT_FALSE(program.manifest.empty()) << "no application manifest";
  const auto levels = XmlElements(program.manifest, "requestedExecutionLevel");
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(levels[0].at("level"), "requireAdministrator");
  EXPECT_EQ(levels[0].at("uiAccess"), "false");
  bool controls = false;
  for (const auto& identity : XmlElements(program.manifest, "assemblyIdentity")) {
    controls = controls || (identity.count("name") &&
                            identity.at("name") == "Microsoft.Windows.Common-Controls" &&
                            identity.at("version") == "6.0.0.0");
  }
  EXPECT_TRUE(controls) << "no dependency on the common controls 6.0.0.0";
  bool windows10 = false;
  for (const auto& os : XmlElements(program.manifest, "supportedOS"))
    windows10 = windows10 || os.at("Id") == "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}";
  EXPECT_TRUE(windows10) << "Windows 10 and 11 are not declared";
  // Per-monitor DPI awareness: the system neither stretches the windows nor blurs them.
  const auto awareness = XmlElements(program.manifest, "dpiAwareness");
  ASSERT_EQ(awareness.size(), 1u) << "no dpiAwareness";
  const std::size_t open = program.manifest.find('>', program.manifest.find("<dpiAwareness"));
  EXPECT_EQ(program.manifest.compare(open + 1, 12, "PerMonitorV2"), 0);
  EXPECT_EQ(XmlElements(program.manifest, "dpiAware").size(), 1u);
}
