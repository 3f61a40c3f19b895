#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/error.h"
#include "pipe/io_deadline_win.h"
#include "pipe/limbo_win.h"
#include "pipe/unique_handle_win.h"
#include "service/transport.h"

namespace kesta::pipe {

// How long a client has, from its accept, to send its request.
inline constexpr std::chrono::milliseconds kReadDeadline{5'000};

// "timed out after 5 seconds": the read error once the read deadline has passed.
std::string read_timeout_text(std::chrono::milliseconds deadline);

// One connected pipe instance in blocking byte mode. Reads end at the read deadline; the end
// of the connection hands an instance that was written to to the limbo, so that its client
// can still read the answer, and closes any other at once.
class PipeConnection final : public service::Connection {
 public:
  struct Timing {
    Clock::time_point read_deadline;           // reads end here
    std::chrono::milliseconds read_allowance;  // how it was computed, for the error text
  };

  PipeConnection(UniqueHandle pipe, bool is_server, Timing timing,
                 std::shared_ptr<IoDeadline> deadline, std::shared_ptr<LimboPool> limbo) noexcept;
  // Buries the connection unless bury() already did.
  ~PipeConnection() override;
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // One ReadFile; a client that closed or broke its end gives 0. Fails with
  // read_timeout_text() once the read deadline has passed. Faults on concurrent use or after
  // bury().
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override;
  // WriteFile until every byte is taken. Faults on concurrent use or after bury().
  Result<> write_all(std::string_view bytes) override;

  // Ends the connection now; a second call faults.
  void bury();

 private:
  class IoGuard;

  Result<std::size_t> timed_out() const;

  UniqueHandle pipe_;
  bool is_server_;
  Timing timing_;
  std::shared_ptr<IoDeadline> deadline_;
  std::shared_ptr<LimboPool> limbo_;
  std::atomic<bool> io_in_progress_{false};
  std::atomic<bool> needs_flush_{false};
  // The thread the last read ran on, for cancelling that read at the deadline.
  DWORD reader_id_ = 0;
  UniqueHandle reader_;
};

}  // namespace kesta::pipe
