#include "wireguard_sim/sim_platform.h"

#include <chrono>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include "core/error.h"
#endif

namespace kesta::wgsim::platform {

void set_last_error(std::uint32_t code) {
#ifdef _WIN32
  SetLastError(code);
#else
  kesta::set_last_system_error(code);
#endif
}

std::filesystem::path library_directory() {
#if defined(_WIN32) && defined(KESTA_WGSIM_DLL)
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&library_directory), &self)) {
    return {};
  }
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return {};
  return std::filesystem::path(std::wstring(path, length)).parent_path();
#else
  return {};
#endif
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void append_line(const std::filesystem::path& path, const std::string& line) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << line << '\n';
}

std::uint64_t system_time_now() {
  constexpr std::uint64_t kUnixEpochIntervals = 116'444'736'000'000'000;
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto intervals =
      std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>>(
          since_epoch);
  return kUnixEpochIntervals + static_cast<std::uint64_t>(intervals.count());
}

std::uint32_t thread_error_mode() {
#ifdef _WIN32
  return GetThreadErrorMode();
#else
  return 0;
#endif
}

void set_thread_error_mode(std::uint32_t mode) {
#ifdef _WIN32
  SetThreadErrorMode(mode, nullptr);
#else
  (void)mode;
#endif
}

void make_standard_error_read_only() {
#ifdef _WIN32
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return;
  // Left open for the life of the process, as a standard handle is.
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) SetStdHandle(STD_ERROR_HANDLE, file);
#endif
}

}  // namespace kesta::wgsim::platform

#if defined(_WIN32) && defined(KESTA_WGSIM_DLL)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) kesta::wgsim::library_attached();
  return TRUE;
}
#endif
