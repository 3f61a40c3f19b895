#include "service/service_log_win.h"

#include <expected>
#include <string>

#include "core/fault.h"

namespace kesta::service {
namespace {

Error last_error() {
  return system_error(GetLastError());
}

Result<std::wstring> full_path(std::wstring_view path) {
  const std::wstring relative(path);
  const DWORD needed = GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::unexpected(last_error());
  std::wstring absolute(needed, L'\0');
  const DWORD length = GetFullPathNameW(relative.c_str(), needed, absolute.data(), nullptr);
  if (length == 0) return std::unexpected(last_error());
  if (length >= needed) return std::unexpected(Error("the log path changed while it was resolved"));
  absolute.resize(length);
  return absolute;
}

std::wstring to_utf16(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  }
  return out;
}

// Why a write stopped short: a system error code, or 0 when the write accepted no bytes.
struct WriteFailure {
  DWORD code;
  std::string message() const {
    return code == 0 ? std::string("failed to write whole buffer") : system_error_message(code);
  }
};

// Writes every byte, repeating partial writes.
std::expected<void, WriteFailure> write_all(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
      return std::unexpected(WriteFailure{GetLastError()});
    }
    if (written == 0) return std::unexpected(WriteFailure{0});
    bytes.remove_prefix(written);
  }
  return {};
}

std::expected<void, WriteFailure> write_console(HANDLE console, std::string_view text) {
  const std::wstring wide = to_utf16(text);
  std::wstring_view rest = wide;
  while (!rest.empty()) {
    const DWORD chunk = rest.size() > 8192 ? 8192 : static_cast<DWORD>(rest.size());
    DWORD written = 0;
    if (!WriteConsoleW(console, rest.data(), chunk, &written, nullptr)) {
      return std::unexpected(WriteFailure{GetLastError()});
    }
    if (written == 0) return std::unexpected(WriteFailure{0});
    rest.remove_prefix(written);
  }
  return {};
}

// The copy of a line on standard error; a service has none, and then the copy is dropped.
void copy_to_standard_error(std::string_view line) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  const auto copied =
      GetConsoleMode(handle, &mode) ? write_console(handle, line) : write_all(handle, line);
  // A handle the process was given but that leads nowhere counts as no standard error.
  if (copied || copied.error().code == ERROR_INVALID_HANDLE) return;
  throw Fault("failed printing to stderr: " + copied.error().message(), Fault::Origin::kComposed);
}

}  // namespace

Result<std::shared_ptr<ServiceLog>> ServiceLog::open(std::wstring_view path) {
  auto absolute = full_path(path);
  if (!absolute) return std::unexpected(std::move(absolute.error()));
  const HANDLE file = CreateFileW(absolute->c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  // Owned from here on, so every early return closes it.
  auto log = std::make_shared<ServiceLog>(file);
  if (existed) {
    FILE_END_OF_FILE_INFO end{};
    if (!SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end)) {
      return std::unexpected(last_error());
    }
  }
  return log;
}

ServiceLog::~ServiceLog() {
  CloseHandle(file_);
}

void ServiceLog::write_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  copy_to_standard_error(line);

  const std::lock_guard lock(mutex_);
  if (poisoned_) {
    throw Fault("the service log failed earlier and accepts no more lines", Fault::Origin::kFixed);
  }
  // The text and its line feed are two writes, both under the lock, so lines never interleave.
  write_file(text);
  write_file("\n");
}

void ServiceLog::write_file(std::string_view bytes) {
  if (const auto written = write_all(file_, bytes); !written) {
    poisoned_ = true;
    throw Fault("failed to write to the service log: " + written.error().message(),
                Fault::Origin::kComposed);
  }
}

}  // namespace kesta::service
