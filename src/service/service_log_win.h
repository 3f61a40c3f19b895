#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string_view>

#include "core/error.h"
#include "service/log.h"

namespace kesta::service {

// Relative to the current drive, so a service (started in the system directory) logs to the
// root of the system drive.
inline constexpr std::wstring_view kServiceLogPath = L"/redevuva_service.log";

// The service's log file, shared by the threads that write to it. Each line is copied to
// standard error, then written to the file under a lock; nothing is buffered.
class ServiceLog final : public Log {
 public:
  // Opens the file for writing, creating it or emptying what an earlier start left. Other
  // processes may keep reading, writing, renaming or deleting it.
  static Result<std::shared_ptr<ServiceLog>> open(std::wstring_view path);

  // Takes ownership of a handle open for writing.
  explicit ServiceLog(HANDLE file) noexcept : file_(file) {}
  ~ServiceLog() override;
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Faults when standard error or the file cannot be written; a failed file write poisons the
  // log, so every later call faults too.
  void write_line(std::string_view text) override;

 private:
  void write_file(std::string_view bytes);

  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  HANDLE file_;
};

}  // namespace kesta::service
