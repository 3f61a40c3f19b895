#include "pipe/read_ahead_win.h"

#include <algorithm>
#include <system_error>

namespace kesta::pipe {
namespace {

// Completion keys of the packets that tell the thread to stop, or to listen again now that the
// worker took a connection; the pipe instances use 0.
constexpr ULONG_PTR kStopKey = 1;
constexpr ULONG_PTR kResumeKey = 2;
// Bytes asked for per read: the pipe's own buffer holds 512, so larger reads gain little.
constexpr std::size_t kChunk = 4096;
// Listening that failed is tried again after this.
constexpr auto kRetry = std::chrono::seconds(1);

bool client_gone(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace

ReadAhead::ReadAhead(UniqueFile first, InstanceFactory create_instance, ReadAheadOptions options)
    : create_instance_(std::move(create_instance)), options_(options), waiting_(std::move(first)) {
  port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (!port_ || !CreateIoCompletionPort(waiting_.get(), port_.get(), 0, 0)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateIoCompletionPort");
  }
  pending_.reserve(options_.max_pending);
  thread_ = Thread(kSmallStack, [this] { run(); });
}

ReadAhead::~ReadAhead() {
  PostQueuedCompletionStatus(port_.get(), 0, kStopKey, nullptr);
  thread_.join();
}

Result<Prefetched> ReadAhead::next() {
  std::unique_lock lock(mutex_);
  ready_changed_.wait(lock, [this] { return !ready_.empty(); });
  Result<Prefetched> item = std::move(ready_.front());
  ready_.pop_front();
  if (std::exchange(paused_, false))
    PostQueuedCompletionStatus(port_.get(), 0, kResumeKey, nullptr);
  return item;
}

void ReadAhead::run() {
  listen();
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped,
                                              milliseconds_to_next_deadline());
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (overlapped == nullptr) {
      if (ok && key == kStopKey) break;
      expire_deadlines();
      if (!listening_ && ((ok && key == kResumeKey) || Clock::now() >= retry_at_)) listen();
      continue;
    }
    if (overlapped == &connect_) {
      listening_ = false;
      on_connected(error);
      continue;
    }
    // Packets of anything else on these handles (a flush after the hand-over) are not ours.
    const auto it = std::find_if(pending_.begin(), pending_.end(),
                                 [&](const auto& p) { return &p->overlapped == overlapped; });
    if (it != pending_.end()) on_read(**it, bytes, error);
  }
  shut_down();
}

void ReadAhead::listen() {
  retry_at_ = Clock::time_point::max();
  if (listening_) return;
  {
    std::lock_guard lock(mutex_);
    paused_ = pending_.size() + ready_.size() >= options_.max_pending;
    if (paused_) return;
  }
  if (!waiting_) {
    waiting_ = create_instance_();
    if (!waiting_ || !CreateIoCompletionPort(waiting_.get(), port_.get(), 0, 0)) {
      const DWORD code = GetLastError();
      waiting_.reset();
      return report_failure(code);
    }
  }
  connect_ = OVERLAPPED{};
  if (ConnectNamedPipe(waiting_.get(), &connect_)) {
    listening_ = true;  // the completion still arrives as a packet
    failure_reported_ = false;
    return;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_IO_PENDING) {
    listening_ = true;
    failure_reported_ = false;
  } else if (code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA) {
    // The client arrived before the call (and may have left again: what it wrote is still read).
    on_connected(ERROR_SUCCESS);
  } else {
    report_failure(code);
  }
}

void ReadAhead::report_failure(DWORD code) {
  if (!std::exchange(failure_reported_, true)) hand_out(std::unexpected(system_error(code)));
  retry_at_ = Clock::now() + kRetry;
}

void ReadAhead::on_connected(DWORD error) {
  if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
    return report_failure(error);
  }
  failure_reported_ = false;
  auto pending = std::make_unique<Pending>();
  pending->connection.pipe = std::move(waiting_);
  pending->connection.deadline = Clock::now() + options_.read_deadline;
  Pending& added = *pending;
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(pending));
  }
  start_read(added);
  listen();
}

void ReadAhead::start_read(Pending& pending) {
  std::string& bytes = pending.connection.bytes;
  if (Clock::now() >= pending.connection.deadline) return finish(pending, ReadEnd::kTimeout);
  pending.read_start = bytes.size();
  const std::size_t size = std::min(kChunk, options_.limit - bytes.size());
  bytes.resize(pending.read_start + size);
  pending.overlapped = OVERLAPPED{};
  if (ReadFile(pending.connection.pipe.get(), bytes.data() + pending.read_start,
               static_cast<DWORD>(size), nullptr, &pending.overlapped)) {
    pending.in_flight = true;  // completed at once; its packet still arrives
    return;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_IO_PENDING) {
    pending.in_flight = true;
    return;
  }
  bytes.resize(pending.read_start);
  finish(pending, client_gone(code) ? ReadEnd::kStream : ReadEnd::kError, code);
}

void ReadAhead::on_read(Pending& pending, DWORD count, DWORD error) {
  pending.in_flight = false;
  std::string& bytes = pending.connection.bytes;
  bytes.resize(pending.read_start + (error == ERROR_SUCCESS ? count : 0));
  if (error == ERROR_OPERATION_ABORTED && pending.cancelled) {
    return finish(pending, ReadEnd::kTimeout);
  }
  if (error != ERROR_SUCCESS) {
    return finish(pending, client_gone(error) ? ReadEnd::kStream : ReadEnd::kError, error);
  }
  // A read of nothing means the end of the stream, as it does to a blocking reader.
  if (count == 0) return finish(pending, ReadEnd::kStream);
  const auto fresh = std::string_view(bytes).substr(pending.read_start);
  if (fresh.find('\n') != std::string_view::npos) return finish(pending, ReadEnd::kLine);
  if (bytes.size() >= options_.limit) return finish(pending, ReadEnd::kLimit);
  start_read(pending);
}

void ReadAhead::finish(Pending& pending, ReadEnd end, DWORD error) {
  pending.connection.end = end;
  pending.connection.error = error;
  Prefetched done = std::move(pending.connection);
  {
    // Under the lock, so that the worker never sees the connection counted twice or not at all.
    std::lock_guard lock(mutex_);
    std::erase_if(pending_, [&](const auto& p) { return p.get() == &pending; });
    ready_.push_back(std::move(done));
  }
  ready_changed_.notify_one();
}

void ReadAhead::hand_out(Result<Prefetched> item) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(item));
  }
  ready_changed_.notify_one();
}

void ReadAhead::expire_deadlines() {
  const auto now = Clock::now();
  for (const auto& pending : pending_) {
    if (pending->in_flight && !pending->cancelled && now >= pending->connection.deadline) {
      pending->cancelled = true;
      CancelIoEx(pending->connection.pipe.get(), &pending->overlapped);
    }
  }
}

DWORD ReadAhead::milliseconds_to_next_deadline() const {
  auto next = retry_at_;
  for (const auto& pending : pending_) {
    if (!pending->cancelled) next = std::min(next, pending->connection.deadline);
  }
  if (next == Clock::time_point::max()) return INFINITE;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1));
}

void ReadAhead::shut_down() {
  std::size_t in_flight = listening_ ? 1 : 0;
  if (listening_) CancelIoEx(waiting_.get(), &connect_);
  for (const auto& pending : pending_) {
    if (!pending->in_flight) continue;
    ++in_flight;
    CancelIoEx(pending->connection.pipe.get(), &pending->overlapped);
  }
  // The system writes into the buffers until each cancelled operation has reported.
  while (in_flight > 0) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    if (!GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, 5000) &&
        overlapped == nullptr) {
      break;
    }
    if (overlapped != nullptr) --in_flight;
  }
  for (const auto& pending : pending_) {
    DisconnectNamedPipe(pending->connection.pipe.get());
  }
}

}  // namespace kesta::pipe
