#include "Resources.h"

#include <windows.h>

#include <stdexcept>

#include "win32/Utf16.h"

namespace kestrune {

std::string_view ResourceBytes(const std::string& name) {
  const HMODULE module = GetModuleHandleW(nullptr);
  const std::wstring wide = platform::Widen(name);
  // A loaded resource belongs to the module: nothing here is freed.
  HRSRC found = FindResourceW(module, wide.c_str(), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (found == nullptr) throw std::runtime_error("missing resource " + name);
  HGLOBAL loaded = LoadResource(module, found);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) throw std::runtime_error("unreadable resource " + name);
  return {static_cast<const char*>(bytes), SizeofResource(module, found)};
}

}  // namespace kestrune
