#include "pipe/pipe_connection_win.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "core/fault.h"

namespace kesta::pipe {
namespace {

constexpr DWORD kMaxChunk = std::numeric_limits<DWORD>::max();

// Composed at run time from the kind of stream and the reason it was stopped.
[[noreturn]] void fault_concurrent_io(std::string_view kind, std::string_view reason) {
  std::string text = "concurrent I/O with a ";
  text.append(kind).append(
      " attempted \u2013 this leads to deadlocks due to the synchronization used by named pipes "
      "on Windows internally, and was prevented ");
  text.append(reason);
  throw Fault(std::move(text), Fault::Origin::kComposed);
}

}  // namespace

std::string read_timeout_text(std::chrono::milliseconds deadline) {
  const auto count = deadline.count();
  if (count % 1000 == 0) {
    const auto seconds = count / 1000;
    return "timed out after " + std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
  }
  return "timed out after " + std::to_string(count) +
         (count == 1 ? " millisecond" : " milliseconds");
}

// Marks one ReadFile or WriteFile in progress: a second one at the same time on a synchronous
// pipe handle would wait behind the first inside the system, possibly for ever.
class PipeConnection::IoGuard {
 public:
  explicit IoGuard(PipeConnection& connection) : flag_(connection.io_in_progress_) {
    bool expected = false;
    if (!flag_.compare_exchange_strong(expected, true)) {
      fault_concurrent_io("named pipe", "because it would have caused a deadlock");
    }
    if (!connection.pipe_) {
      flag_.store(false);
      throw Fault("attempt to perform operation on pipe stream which has been sent off to limbo",
                  Fault::Origin::kFixed);
    }
  }
  ~IoGuard() { flag_.store(false); }
  IoGuard(const IoGuard&) = delete;
  IoGuard& operator=(const IoGuard&) = delete;

 private:
  std::atomic<bool>& flag_;
};

PipeConnection::PipeConnection(UniqueHandle pipe, bool is_server, Timing timing,
                               std::shared_ptr<IoDeadline> deadline,
                               std::shared_ptr<LimboPool> limbo) noexcept
    : pipe_(std::move(pipe)),
      is_server_(is_server),
      timing_(timing),
      deadline_(std::move(deadline)),
      limbo_(std::move(limbo)) {}

PipeConnection::~PipeConnection() {
  if (pipe_) bury();
}

Result<std::size_t> PipeConnection::timed_out() const {
  return std::unexpected(Error(read_timeout_text(timing_.read_allowance)));
}

Result<std::size_t> PipeConnection::read(std::span<std::uint8_t> buffer) {
  IoGuard guard(*this);
  if (Clock::now() >= timing_.read_deadline) return timed_out();
  if (reader_id_ != GetCurrentThreadId()) {
    reader_ = current_thread_handle();
    if (!reader_) return std::unexpected(system_error(GetLastError()));
    reader_id_ = GetCurrentThreadId();
  }
  DWORD count = 0;
  DWORD error = ERROR_SUCCESS;
  const bool cancelled = deadline_->run_until(reader_.get(), timing_.read_deadline, [&] {
    const auto size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), kMaxChunk));
    if (!ReadFile(pipe_.get(), buffer.data(), size, &count, nullptr)) error = GetLastError();
  });
  switch (error) {
    case ERROR_SUCCESS:
      return count;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
      return 0;
    case ERROR_OPERATION_ABORTED:
      if (cancelled) return timed_out();
      [[fallthrough]];
    default:
      return std::unexpected(system_error(error));
  }
}

Result<> PipeConnection::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    IoGuard guard(*this);
    DWORD count = 0;
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kMaxChunk));
    if (!WriteFile(pipe_.get(), bytes.data(), size, &count, nullptr)) {
      return std::unexpected(system_error(GetLastError()));
    }
    needs_flush_.store(true);
    if (count == 0) return std::unexpected(Error("failed to write whole buffer"));
    bytes.remove_prefix(count);
  }
  return {};
}

void PipeConnection::bury() {
  if (!pipe_) throw Fault("attempt to bury same pipe stream twice", Fault::Origin::kFixed);
  if (needs_flush_.load()) {
    limbo_->hand_over(std::move(pipe_), is_server_);
  } else {
    disconnect_and_close(std::move(pipe_), is_server_);
  }
}

}  // namespace kesta::pipe
