// The thread name on Windows: the description debuggers show, read back with
// GetThreadDescription where the system has it.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "Platform.h"

namespace platform {
namespace {

TEST(ThreadNameWin32, NamesTheCallingThreadInFullAndInUtf16) {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  const auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  if (get == nullptr) GTEST_SKIP() << "this system keeps no thread descriptions";
  auto nameOf = [get](const std::string& given) {
    std::wstring seen = L"(unread)";
    std::thread([&] {
      SetCurrentThreadName(given);
      PWSTR name = nullptr;
      if (SUCCEEDED(get(GetCurrentThread(), &name)) && name != nullptr) {
        seen = name;
        LocalFree(name);
      }
    }).join();
    return seen;
  };
  // No limit of 15 bytes here, unlike POSIX.
  EXPECT_EQ(nameOf("a name longer than fifteen"), L"a name longer than fifteen");
  EXPECT_EQ(nameOf("\xD0\x9F\xD0\xB0\xD1\x82\xD1\x87"), L"\u041F\u0430\u0442\u0447");  // Патч
}

}  // namespace
}  // namespace platform
