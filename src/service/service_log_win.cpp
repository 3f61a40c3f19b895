#include "service/service_log_win.h"

#include <expected>
#include <string>
#include <utility>

#include "core/console_win.h"
#include "core/fault.h"
#include "core/security_descriptor_win.h"

namespace kesta::service {
namespace {

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

// The copy of a line on standard error; a service has none, and then the copy is dropped.
void copy_to_standard_error(std::string_view line) {
  if (const auto copied = write_standard_error(line); !copied) {
    throw Fault("failed printing to stderr: " + copied.error().message(), Fault::Origin::kComposed);
  }
}

// Opens `path` for writing with the log's protected DACL and empties it. A file that existed
// keeps the DACL it had until it is given the log's, before anything more is written to it.
Result<UniqueFile> open_protected(const std::wstring& path) {
  auto descriptor = SecurityDescriptor::from_sddl(kServiceLogSecurity);
  if (!descriptor) return std::unexpected(std::move(descriptor.error()));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor->get(), FALSE};
  // WRITE_DAC to protect a file that existed; it is not subject to sharing, so it keeps no other
  // process's handle from opening it.
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE | WRITE_DAC,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                              OPEN_ALWAYS, 0, nullptr));
  if (!file) return std::unexpected(last_error());
  if (GetLastError() != ERROR_ALREADY_EXISTS) return file;
  // Through the handle, so it is the file we opened that gets the DACL. The descriptor marks the
  // DACL protected, so nothing is inherited from the folder.
  if (!SetKernelObjectSecurity(file.get(), DACL_SECURITY_INFORMATION, descriptor->get())) {
    return std::unexpected(last_error());
  }
  FILE_END_OF_FILE_INFO end{};
  if (!SetFileInformationByHandle(file.get(), FileEndOfFileInfo, &end, sizeof end)) {
    return std::unexpected(last_error());
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
  return std::make_shared<ServiceLog>(std::move(*file), std::move(*absolute), bound);
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
    file_ = std::move(*fresh);
    const std::wstring name = moved.substr(moved.find_last_of(L"\\/") + 1);
    note = "Log continued; earlier lines are in " + std::string(name.begin(), name.end());
  } else {
    // Another process holds the file without delete sharing (or the name is taken): the lines
    // are given up rather than the bound.
    FILE_END_OF_FILE_INFO end{};
    LARGE_INTEGER start{};
    if (!SetFileInformationByHandle(file_.get(), FileEndOfFileInfo, &end, sizeof end) ||
        !SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) {
      const Error error = last_error();
      poisoned_ = true;
      fault_write(error.message());
    }
    note = "Log emptied after reaching " + std::to_string(bound_) + " bytes";
  }
  size_ = 0;
  write_file(note);
  write_file("\n");
}

void ServiceLog::write_file(std::string_view bytes) {
  if (const auto written = write_all(file_.get(), bytes); !written) {
    poisoned_ = true;
    fault_write(written.error().message());
  }
  size_ += bytes.size();
}

}  // namespace kesta::service
