#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/unique_handle_win.h"
#include "service/log.h"
#include "service/service_log_notes.h"

namespace kesta::service {

// Relative to the current drive, so a service (started in the system directory) logs to the
// root of the system drive.
inline constexpr std::wstring_view kServiceLogPath = L"/redevuva_service.log";

// The log carries the client's keys inside the requests it records, so only SYSTEM and
// Administrators may read or change it.
inline constexpr std::wstring_view kServiceLogSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// The service's log file, shared by the threads that write to it. Each line is copied to
// standard error and written to the file under one lock; nothing is buffered.
//
// The file stays where it is for the life of the process: before a line that would take it past
// its bound, its bytes are copied to "<log>.1" and it is emptied through the service's own
// handle. So a reader holding it open with any sharing costs no line, and the path is never
// free for anyone to take.
class ServiceLog final : public Log {
 public:
  // Opens the file for reading and writing, creating it or copying what an earlier start left
  // to "<log>.1" before emptying it, and makes it SYSTEM's and Administrators' alone. Other
  // processes may keep reading, writing, renaming or deleting it. Whatever foreign stands at
  // either path is moved aside first (write_start_notes says so).
  static Result<std::shared_ptr<ServiceLog>> open(std::wstring_view path,
                                                  std::uint64_t bound = kServiceLogBound);

  // Takes ownership of a handle open at the end of `size` bytes of `path`; with an empty path
  // there is nowhere to copy to, so the log is emptied in place at twice its bound.
  explicit ServiceLog(UniqueFile file, std::wstring path = {},
                      std::uint64_t bound = kServiceLogBound, std::uint64_t size = 0) noexcept
      : file_(std::move(file)),
        path_(std::move(path)),
        bound_(bound),
        next_copy_(bound),
        size_(size) {}
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Faults when standard error or the file cannot be written; a failed file write poisons the
  // log, so every later call faults too.
  void write_line(std::string_view text) override;

  // The lines saying what the start moved aside from the log's paths; written after the first
  // line of the start.
  void write_start_notes();

 private:
  // Copies the file's bytes to "<log>.1", moving aside whatever foreign stands there.
  Result<> copy_aside(std::vector<std::string>& notes);
  // Makes room before a line that would end at `end` bytes: copies and empties the file, or,
  // when the copy fails, lets it grow up to twice its bound and then empties it in place.
  void rotate(std::uint64_t end);
  // Copies `text` and a line feed to standard error, then writes them to the file.
  void put_line(std::string_view text);
  void write_file(std::string_view bytes);
  // Truncates the file to nothing and writes from its start again.
  Result<> empty_file();
  // The name of "<log>.1" alone, as the log's lines give it.
  std::string copy_name() const;

  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  UniqueFile file_;        // guarded by mutex_
  std::wstring path_;
  std::uint64_t bound_;
  std::uint64_t next_copy_;  // the size past which the next copy is made; guarded by mutex_
  std::uint64_t size_;       // bytes in the file; guarded by mutex_
  std::vector<std::string> start_notes_;  // guarded by mutex_
};

}  // namespace kesta::service
