#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/unique_handle_win.h"
#include "service/log.h"

namespace kesta::service {

// Relative to the current drive, so a service (started in the system directory) logs to the
// root of the system drive.
inline constexpr std::wstring_view kServiceLogPath = L"/redevuva_service.log";

// The log carries the client's keys inside the requests it records, so only SYSTEM and
// Administrators may read or change it.
inline constexpr std::wstring_view kServiceLogSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// Any local account can make the service log a line, so the file is bounded: a line that would
// take it past this size first moves its content aside to "<log>.1".
inline constexpr std::uint64_t kServiceLogBound = 16 * 1024 * 1024;

// The service's log file, shared by the threads that write to it. Each line is copied to
// standard error, then written to the file under a lock; nothing is buffered.
class ServiceLog final : public Log {
 public:
  // Opens the file for writing, creating it or emptying what an earlier start left, and makes it
  // SYSTEM's and Administrators' alone. Other processes may keep reading, writing, renaming or
  // deleting it.
  static Result<std::shared_ptr<ServiceLog>> open(std::wstring_view path,
                                                  std::uint64_t bound = kServiceLogBound);

  // Takes ownership of a handle open for writing at the end of `size` bytes of `path`; an empty
  // path never moves the file aside, so the bound then empties it in place.
  explicit ServiceLog(UniqueFile file, std::wstring path = {},
                      std::uint64_t bound = kServiceLogBound, std::uint64_t size = 0) noexcept
      : file_(std::move(file)), path_(std::move(path)), bound_(bound), size_(size) {}
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Faults when standard error or the file cannot be written; a failed file write poisons the
  // log, so every later call faults too.
  void write_line(std::string_view text) override;

 private:
  void write_file(std::string_view bytes);
  // Makes room for a line by moving the content aside, or, when another process keeps the file
  // from being renamed, by emptying it; then writes the line that says which.
  void start_over();

  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  UniqueFile file_;        // guarded by mutex_
  std::wstring path_;
  std::uint64_t bound_;
  std::uint64_t size_;  // bytes written since the file was last emptied; guarded by mutex_
};

}  // namespace kesta::service
