#include "service/service_log_win.h"

#include <algorithm>
#include <expected>
#include <string>
#include <utility>

#include "core/console_win.h"
#include "core/fault.h"
#include "core/security_descriptor_win.h"
#include "core/utf16.h"
#include "service/service_log_path_win.h"

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

[[noreturn]] void fault_write(std::string message) {
  throw Fault("failed to write to the service log: " + message, Fault::Origin::kComposed);
}

// Opens the file at `path` (see open_owned) with the log's protected DACL. A file that existed
// keeps the DACL it had until it is given the log's, before anything is read from or written to
// it; through the handle, so it is the file we opened that gets it. The descriptor marks the
// DACL protected, so nothing is inherited from the folder.
Result<OwnedFile> open_protected(const std::wstring& path, std::vector<std::string>& notes) {
  auto descriptor = SecurityDescriptor::from_sddl(kServiceLogSecurity);
  if (!descriptor) return std::unexpected(std::move(descriptor.error()));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor->get(), FALSE};
  auto owned = open_owned(path, attributes, notes);
  if (owned && owned->existed &&
      !SetKernelObjectSecurity(owned->file.get(), DACL_SECURITY_INFORMATION, descriptor->get())) {
    return std::unexpected(last_error());
  }
  return owned;
}

Result<> truncate(HANDLE file) {
  FILE_END_OF_FILE_INFO end{};
  LARGE_INTEGER start{};
  if (!SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) ||
      !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    return std::unexpected(last_error());
  }
  return {};
}

Result<std::uint64_t> size_of(HANDLE file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return std::unexpected(last_error());
  return static_cast<std::uint64_t>(size.QuadPart);
}

Result<> seek_to_end(HANDLE file) {
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(file, zero, nullptr, FILE_END)) return std::unexpected(last_error());
  return {};
}

// Every byte of `from`, read at its own offsets, appended to `to`.
Result<> copy_bytes(HANDLE from, HANDLE to) {
  std::string buffer(1024 * 1024, '\0');
  std::uint64_t at = 0;
  for (;;) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &position)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return {};
      return std::unexpected(last_error());
    }
    if (got == 0) return {};
    if (const auto written = write_all(to, std::string_view(buffer.data(), got)); !written) {
      const WriteFailure& failure = written.error();
      return std::unexpected(failure.code != 0 ? system_error(failure.code)
                                               : Error(failure.message()));
    }
    at += got;
  }
}

}  // namespace

Result<std::shared_ptr<ServiceLog>> ServiceLog::open(std::wstring_view path, std::uint64_t bound) {
  auto absolute = full_path(path);
  if (!absolute) return std::unexpected(std::move(absolute.error()));
  std::vector<std::string> notes;
  auto owned = open_protected(*absolute, notes);
  if (!owned) return std::unexpected(std::move(owned.error()));
  const auto size = size_of(owned->file.get());
  if (!size) return std::unexpected(size.error());
  auto log =
      std::make_shared<ServiceLog>(std::move(owned->file), std::move(*absolute), bound, *size);
  log->start_notes_ = std::move(notes);
  if (*size == 0) return log;
  // The lines of the last start explain how it ended, and the service restarts itself after a
  // failure: they are kept in "<log>.1" before the log is emptied. When they cannot be, the log
  // keeps them and grows, as after a failed copy at its bound.
  if (log->copy_aside(log->start_notes_)) {
    if (auto emptied = log->empty_file(); !emptied) return std::unexpected(emptied.error());
  } else {
    log->next_copy_ = std::max(bound, *size + kServiceLogCopyRetry);
    if (auto end = seek_to_end(log->file_.get()); !end) return std::unexpected(end.error());
  }
  return log;
}

void ServiceLog::write_line(std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (poisoned_) {
    throw Fault("the service log failed earlier and accepts no more lines", Fault::Origin::kFixed);
  }
  // A line is never split between the two files: the bound is checked before it is written.
  rotate(text.size() + 1);
  put_line(text);
}

void ServiceLog::write_start_notes() {
  const std::lock_guard lock(mutex_);
  if (poisoned_) {
    throw Fault("the service log failed earlier and accepts no more lines", Fault::Origin::kFixed);
  }
  for (const std::string& note : std::exchange(start_notes_, {})) put_line(note);
}

void ServiceLog::rotate(std::uint64_t line_size) {
  if (size_ == 0 || (size_ + line_size <= next_copy_ && size_ + line_size <= 2 * bound_)) return;
  std::vector<std::string> notes;
  // The path stays the service's: only an administrator can remove the file from it, and then
  // anyone may put something else there. So it is examined before each copy, and a file of the
  // service's own takes its place; the lines that went to the removed file are gone with it.
  if (!path_.empty() && !names_file(path_, file_.get())) {
    auto owned = open_protected(path_, notes);
    const auto size = owned ? size_of(owned->file.get()) : Result<std::uint64_t>(0);
    if (owned && size && seek_to_end(owned->file.get())) {
      file_ = std::move(owned->file);
      size_ = *size;
      next_copy_ = bound_;
    }
  }
  std::string note;
  if (size_ > 0 && (size_ + line_size > next_copy_ || size_ + line_size > 2 * bound_)) {
    if (const Result<> copied = copy_aside(notes)) {
      note = log_continued_note(copy_name());
    } else if (size_ + line_size > 2 * bound_) {
      // Lines are lost only when another process keeps "<log>.1" from being written this long.
      note = log_emptied_note(size_, copy_name(), copied.error().message());
    } else {
      next_copy_ = std::max(bound_, size_ + kServiceLogCopyRetry);
    }
  }
  if (!note.empty()) {
    if (const auto emptied = empty_file(); !emptied) {
      poisoned_ = true;
      fault_write(emptied.error().message());
    }
    put_line(note);
  } else if (const auto end = seek_to_end(file_.get()); !end) {
    // A copy that stopped part way left the handle's position inside the file.
    poisoned_ = true;
    fault_write(end.error().message());
  }
  for (const std::string& moved : notes) put_line(moved);
}

Result<> ServiceLog::copy_aside(std::vector<std::string>& notes) {
  if (path_.empty()) return std::unexpected(Error("the log has no path"));
  auto copy = open_protected(path_ + L".1", notes);
  if (!copy) return std::unexpected(std::move(copy.error()));
  if (auto emptied = truncate(copy->file.get()); !emptied) return emptied;
  return copy_bytes(file_.get(), copy->file.get());
}

Result<> ServiceLog::empty_file() {
  if (auto emptied = truncate(file_.get()); !emptied) return emptied;
  size_ = 0;
  next_copy_ = bound_;
  return {};
}

std::string ServiceLog::copy_name() const {
  return narrow(path_.substr(path_.find_last_of(L"\\/") + 1)) + ".1";
}

void ServiceLog::put_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  // A failed copy leaves the file as it was, so it does not poison the log.
  copy_to_standard_error(line);
  // The text and its line feed are two writes, both under the lock, so lines never interleave.
  write_file(text);
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
