#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string_view>

#include "core/error.h"
#include "core/unique_handle_win.h"
#include "pipe/limbo_win.h"
#include "service/transport.h"

namespace kesta::pipe {

// How long a client has, from its accept, to send its request, and the worker, from the start of
// a write, to hand its answer to the pipe.
inline constexpr std::chrono::milliseconds kReadDeadline{5'000};
inline constexpr std::chrono::milliseconds kWriteDeadline = kReadDeadline;

// One connected pipe instance (overlapped, written as if blocking) whose request was read ahead.
// Writes end at the write deadline; the end of the connection hands an instance that was written
// to to the limbo, so that its client can still read the answer, and closes any other at once.
class PipeConnection final : public service::Connection {
 public:
  PipeConnection(UniqueFile pipe, std::chrono::milliseconds write_deadline,
                 std::shared_ptr<LimboPool> limbo) noexcept;
  // Buries the connection unless bury() already did.
  ~PipeConnection() override;
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // WriteFile until every byte is taken; fails with timeout_text() once the write deadline has
  // passed. Faults on concurrent use or after bury().
  Result<> write_all(std::string_view bytes) override;

  // Ends the connection now; a second call faults.
  void bury();

 private:
  class IoGuard;

  UniqueFile pipe_;
  std::chrono::milliseconds write_deadline_;
  std::shared_ptr<LimboPool> limbo_;
  UniqueHandle event_;  // signals the end of each write
  std::atomic<bool> io_in_progress_{false};
  std::atomic<bool> needs_flush_{false};
};

}  // namespace kesta::pipe
