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

PipeConnection::PipeConnection(Prefetched prefetched, std::chrono::milliseconds read_allowance,
                               std::shared_ptr<LimboPool> limbo) noexcept
    : pipe_(std::move(prefetched.pipe)),
      prefetched_(std::move(prefetched.bytes)),
      end_(prefetched.end),
      error_(prefetched.error),
      read_deadline_(prefetched.deadline),
      read_allowance_(read_allowance),
      limbo_(std::move(limbo)) {}

PipeConnection::~PipeConnection() {
  if (pipe_) bury();
}

Result<std::size_t> PipeConnection::timed_out() {
  end_ = ReadEnd::kTimeout;
  return std::unexpected(Error(read_timeout_text(read_allowance_)));
}

std::expected<DWORD, DWORD> PipeConnection::transfer(bool read, void* data, DWORD size,
                                                     Clock::time_point deadline, bool& cancelled) {
  cancelled = false;
  if (!event_) {
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_) return std::unexpected(GetLastError());
  }
  OVERLAPPED overlapped{};
  // The low bit keeps the completion off the listener's completion port.
  overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event_.get()) | 1);
  const BOOL started = read ? ReadFile(pipe_.get(), data, size, nullptr, &overlapped)
                            : WriteFile(pipe_.get(), data, size, nullptr, &overlapped);
  if (!started && GetLastError() != ERROR_IO_PENDING) return std::unexpected(GetLastError());
  if (deadline != Clock::time_point::max()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const auto wait = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, INFINITE - 1));
    if (WaitForSingleObject(event_.get(), wait) == WAIT_TIMEOUT) {
      cancelled = CancelIoEx(pipe_.get(), &overlapped) != FALSE;
    }
  }
  DWORD count = 0;
  if (!GetOverlappedResult(pipe_.get(), &overlapped, &count, TRUE)) {
    return std::unexpected(GetLastError());
  }
  return count;
}

Result<std::size_t> PipeConnection::read(std::span<std::uint8_t> buffer) {
  IoGuard guard(*this);
  if (taken_ < prefetched_.size()) {
    const std::size_t count = std::min(buffer.size(), prefetched_.size() - taken_);
    std::copy_n(prefetched_.begin() + static_cast<std::ptrdiff_t>(taken_), count, buffer.begin());
    taken_ += count;
    return count;
  }
  switch (end_) {
    case ReadEnd::kStream:
      return 0;
    case ReadEnd::kError:
      return std::unexpected(system_error(error_));
    case ReadEnd::kTimeout:
      return timed_out();
    case ReadEnd::kLine:
    case ReadEnd::kLimit:
      break;
  }
  if (Clock::now() >= read_deadline_) return timed_out();
  const auto size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), kMaxChunk));
  bool cancelled = false;
  const auto count = transfer(true, buffer.data(), size, read_deadline_, cancelled);
  if (count) return *count;
  switch (count.error()) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
      return 0;
    case ERROR_OPERATION_ABORTED:
      if (cancelled) return timed_out();
      [[fallthrough]];
    default:
      return std::unexpected(system_error(count.error()));
  }
}

Result<> PipeConnection::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    IoGuard guard(*this);
    const auto size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kMaxChunk));
    bool cancelled = false;
    // A write waits for room in the pipe as a blocking one would, without a deadline.
    const auto count =
        transfer(false, const_cast<char*>(bytes.data()), size, Clock::time_point::max(), cancelled);
    if (!count) return std::unexpected(system_error(count.error()));
    needs_flush_.store(true);
    if (*count == 0) return std::unexpected(Error("failed to write whole buffer"));
    bytes.remove_prefix(*count);
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
