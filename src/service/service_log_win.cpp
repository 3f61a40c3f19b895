#include "service/service_log_win.h"

#include <expected>
#include <string>
#include <utility>

#include "core/fault.h"
#include "core/security_descriptor_win.h"

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

// Opens `path` for writing with the log's protected DACL and empties it. A file that existed
// keeps the DACL it had until it is given the log's, before anything more is written to it.
Result<HANDLE> open_protected(const std::wstring& path) {
  auto descriptor = SecurityDescriptor::from_sddl(kServiceLogSecurity);
  if (!descriptor) return std::unexpected(std::move(descriptor.error()));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor->get(), FALSE};
  // WRITE_DAC to protect a file that existed; it is not subject to sharing, so it keeps no other
  // process's handle from opening it.
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | WRITE_DAC,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  &attributes, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
  if (GetLastError() != ERROR_ALREADY_EXISTS) return file;
  // Through the handle, so it is the file we opened that gets the DACL. The descriptor marks the
  // DACL protected, so nothing is inherited from the folder.
  DWORD code = ERROR_SUCCESS;
  if (!SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, descriptor->get())) {
    code = GetLastError();
  }
  FILE_END_OF_FILE_INFO end{};
  if (code == ERROR_SUCCESS &&
      !SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end)) {
    code = GetLastError();
  }
  if (code != ERROR_SUCCESS) {
    CloseHandle(file);
    return std::unexpected(system_error(code));
  }
  return file;
}

[[noreturn]] void fault_write(std::string message) {
  throw Fault("failed to write to the service log: " + message, Fault::Origin::kComposed);
}

}  // namespace

Result<std::shared_ptr<ServiceLog>> ServiceLog::open(std::wstring_view path, std::uint64_t bound) {
  auto absolute = full_path(path);
  if (!absolute) return std::unexpected(std::move(absolute.error()));
  auto file = open_protected(*absolute);
  if (!file) return std::unexpected(std::move(file.error()));
  return std::make_shared<ServiceLog>(*file, std::move(*absolute), bound);
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
  // A line is never split between the two files: the bound is checked before it is written.
  if (size_ > 0 && size_ + line.size() > bound_) start_over();
  // The text and its line feed are two writes, both under the lock, so lines never interleave.
  write_file(text);
  write_file("\n");
}

void ServiceLog::start_over() {
  std::string note;
  const std::wstring moved = path_ + L".1";
  if (!path_.empty() && MoveFileExW(path_.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    auto fresh = open_protected(path_);
    if (!fresh) {
      // The earlier lines are safe in the moved file, but there is nowhere to write new ones.
      poisoned_ = true;
      fault_write(fresh.error().message());
    }
    CloseHandle(std::exchange(file_, *fresh));
    const std::wstring name = moved.substr(moved.find_last_of(L"\\/") + 1);
    note = "Log continued; earlier lines are in " + std::string(name.begin(), name.end());
  } else {
    // Another process holds the file without delete sharing (or the name is taken): the lines
    // are given up rather than the bound.
    FILE_END_OF_FILE_INFO end{};
    LARGE_INTEGER start{};
    if (!SetFileInformationByHandle(file_, FileEndOfFileInfo, &end, sizeof end) ||
        !SetFilePointerEx(file_, start, nullptr, FILE_BEGIN)) {
      poisoned_ = true;
      fault_write(system_error_message(GetLastError()));
    }
    note = "Log emptied after reaching " + std::to_string(bound_) + " bytes";
  }
  size_ = 0;
  write_file(note);
  write_file("\n");
}

void ServiceLog::write_file(std::string_view bytes) {
  if (const auto written = write_all(file_, bytes); !written) {
    poisoned_ = true;
    fault_write(written.error().message());
  }
  size_ += bytes.size();
}

}  // namespace kesta::service
