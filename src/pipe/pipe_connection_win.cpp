#include "pipe/pipe_connection_win.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "core/fault.h"
#include "pipe/read_ahead_win.h"

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

// Marks one WriteFile in progress: a second one at the same time on a synchronous pipe handle
// would wait behind the first inside the system, possibly for ever.
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

PipeConnection::PipeConnection(UniqueFile pipe, std::chrono::milliseconds write_deadline,
                               std::shared_ptr<LimboPool> limbo) noexcept
    : pipe_(std::move(pipe)), write_deadline_(write_deadline), limbo_(std::move(limbo)) {}

PipeConnection::~PipeConnection() {
  if (pipe_) bury();
}

Result<> PipeConnection::write_all(std::string_view bytes) {
  const Clock::time_point deadline = Clock::now() + write_deadline_;
  while (!bytes.empty()) {
    IoGuard guard(*this);
    if (!event_) {
      event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!event_) return std::unexpected(last_error());
    }
    OVERLAPPED overlapped{};
    // The low bit keeps the completion off the read-ahead's completion port.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event_.get()) | 1);
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kMaxChunk));
    if (!WriteFile(pipe_.get(), bytes.data(), size, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      return std::unexpected(last_error());
    }
    // A write waits for room in the pipe as a blocking one would, up to the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const auto wait = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, INFINITE - 1));
    bool cancelled = false;
    if (WaitForSingleObject(event_.get(), wait) == WAIT_TIMEOUT) {
      cancelled = CancelIoEx(pipe_.get(), &overlapped) != FALSE;
    }
    DWORD count = 0;
    if (!GetOverlappedResult(pipe_.get(), &overlapped, &count, TRUE)) {
      const DWORD code = GetLastError();
      if (code == ERROR_OPERATION_ABORTED && cancelled) {
        return std::unexpected(Error(timeout_text(write_deadline_)));
      }
      return std::unexpected(system_error(code));
    }
    needs_flush_.store(true);
    if (count == 0) return std::unexpected(Error("failed to write whole buffer"));
    bytes.remove_prefix(count);
  }
  return {};
}

void PipeConnection::bury() {
  if (!pipe_) throw Fault("attempt to bury same pipe stream twice", Fault::Origin::kFixed);
  // An accepted connection is always the server's end of its instance.
  if (needs_flush_.load()) {
    limbo_->hand_over(std::move(pipe_), true);
  } else {
    disconnect_and_close(std::move(pipe_), true);
  }
}

}  // namespace kesta::pipe
