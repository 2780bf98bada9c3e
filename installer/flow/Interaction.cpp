#include "installer/flow/Interaction.h"

#include "win/base/Paths.h"

std::wstring ApplicationName() {
  std::wstring name = ModulePath();
  name = name.substr(name.find_last_of(L"\\/") + 1);
  const std::size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}
