#include "core/unique_handle_win.h"

#include <gtest/gtest.h>

#include <string>

namespace kesta {
namespace {

// A named event of its own per call: it exists exactly as long as some handle holds it.
std::wstring event_name() {
  static int count = 0;
  return L"kesta_unique_handle_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(++count);
}

bool held(const std::wstring& name) {
  return static_cast<bool>(UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, name.c_str())));
}

TEST(UniqueResource, EachKindIsEmptyWhereItsCreatorsFail) {
  const struct {
    const char* kind;
    bool empty;
  } rows[] = {
      {"default handle", !UniqueHandle() && UniqueHandle().get() == nullptr},
      {"default file", !UniqueFile() && UniqueFile().get() == INVALID_HANDLE_VALUE},
      {"event not found", !UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, event_name().c_str()))},
      {"file not found", !UniqueFile(CreateFileW(L"C:\\kesta_no_such_folder\\file", GENERIC_READ, 0,
                                                 nullptr, OPEN_EXISTING, 0, nullptr))},
      {"module not found", !UniqueModule(LoadLibraryExW(L"kesta_no_such_library.dll", nullptr,
                                                        LOAD_LIBRARY_SEARCH_SYSTEM32))},
      {"service not opened", !UniqueServiceHandle(OpenServiceW(nullptr, L"kesta", 0))},
      {"no local memory", !UniqueLocalMemory<>()},
  };
  for (const auto& row : rows) EXPECT_TRUE(row.empty) << row.kind;
}

TEST(UniqueResource, ReleaseHandsOverResetAndPutClose) {
  const std::wstring name = event_name();
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(event);

  const HANDLE raw = event.release();
  EXPECT_FALSE(event);
  EXPECT_TRUE(held(name));

  event.reset(raw);
  UniqueHandle moved = std::move(event);
  EXPECT_FALSE(event);
  EXPECT_TRUE(held(name));

  HANDLE* slot = moved.put();
  EXPECT_FALSE(held(name));
  EXPECT_EQ(*slot, nullptr);

  moved.reset(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  moved.reset();
  EXPECT_FALSE(held(name));
}

}  // namespace
}  // namespace kesta
