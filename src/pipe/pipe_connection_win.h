#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/unique_handle_win.h"
#include "pipe/limbo_win.h"
#include "pipe/read_ahead_win.h"
#include "service/transport.h"

namespace kesta::pipe {

// How long a client has, from its accept, to send its request.
inline constexpr std::chrono::milliseconds kReadDeadline{5'000};

// "timed out after 5 seconds": the read error once the read deadline has passed.
std::string read_timeout_text(std::chrono::milliseconds deadline);

// One connected pipe instance (overlapped, used as if blocking) with what was read of its
// request ahead of the worker. Reads end at the read deadline; the end of the connection hands
// an instance that was written to to the limbo, so that its client can still read the answer,
// and closes any other at once.
class PipeConnection final : public service::Connection {
 public:
  // `read_allowance` is how the deadline was computed, for the error text.
  PipeConnection(Prefetched prefetched, std::chrono::milliseconds read_allowance,
                 std::shared_ptr<LimboPool> limbo) noexcept;
  // Buries the connection unless bury() already did.
  ~PipeConnection() override;
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // The bytes read ahead, then one ReadFile at a time; a client that closed or broke its end
  // gives 0. Fails with read_timeout_text() once the read deadline has passed. Faults on
  // concurrent use or after bury().
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override;
  // WriteFile until every byte is taken. Faults on concurrent use or after bury().
  Result<> write_all(std::string_view bytes) override;

  // Ends the connection now; a second call faults.
  void bury();

 private:
  class IoGuard;

  Result<std::size_t> timed_out();
  // Runs one overlapped ReadFile or WriteFile to its end, cancelling it at `deadline`; returns
  // the count, or the error with `cancelled` telling whether the deadline stopped it.
  std::expected<DWORD, DWORD> transfer(bool read, void* data, DWORD size,
                                       Clock::time_point deadline, bool& cancelled);

  UniqueFile pipe_;
  bool is_server_ = true;
  std::string prefetched_;
  std::size_t taken_ = 0;  // bytes of prefetched_ already read
  ReadEnd end_;
  DWORD error_;
  Clock::time_point read_deadline_;
  std::chrono::milliseconds read_allowance_;
  std::shared_ptr<LimboPool> limbo_;
  UniqueHandle event_;  // signals the end of each transfer
  std::atomic<bool> io_in_progress_{false};
  std::atomic<bool> needs_flush_{false};
};

}  // namespace kesta::pipe
