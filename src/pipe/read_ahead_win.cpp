#include "pipe/read_ahead_win.h"

#include <algorithm>
#include <span>
#include <system_error>

namespace kesta::pipe {
namespace {

// Completion keys of the packets that tell the thread to stop, or to listen again and let lines
// grow now that the worker took a connection; the pipe instances use 0.
constexpr ULONG_PTR kStopKey = 1;
constexpr ULONG_PTR kResumeKey = 2;
// The room of a line's first read: the pipe's own buffer holds 512 bytes, so an ordinary line
// arrives in one read.
constexpr std::size_t kFirstRead = 4096;
// Listening that failed or paused, and lines waiting for budget, are looked at again after this
// even when no packet says so.
constexpr auto kRetry = std::chrono::seconds(1);

bool client_gone(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace

std::string timeout_text(std::chrono::milliseconds deadline) {
  const auto count = deadline.count();
  if (count % 1000 == 0) {
    const auto seconds = count / 1000;
    return "timed out after " + std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
  }
  return "timed out after " + std::to_string(count) +
         (count == 1 ? " millisecond" : " milliseconds");
}

Result<std::unique_ptr<ReadAhead>> ReadAhead::start(UniqueFile first,
                                                    InstanceFactory create_instance,
                                                    ReadAheadOptions options) {
  std::unique_ptr<ReadAhead> self(
      new ReadAhead(std::move(first), std::move(create_instance), options));
  self->port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (!self->port_ || !CreateIoCompletionPort(self->waiting_.get(), self->port_.get(), 0, 0)) {
    return std::unexpected(Error("CreateIoCompletionPort failed", last_error()));
  }
  try {
    self->thread_ = Thread(kSmallStack, [raw = self.get()] { raw->run(); });
  } catch (const std::system_error& failure) {
    return std::unexpected(Error("CreateThread failed", system_error(failure.code().value())));
  }
  return self;
}

ReadAhead::ReadAhead(UniqueFile first, InstanceFactory create_instance, ReadAheadOptions options)
    : create_instance_(std::move(create_instance)), options_(options), waiting_(std::move(first)) {
  // Every connection that may be pending keeps its free bytes; the rest is shared.
  const std::size_t kept = options_.max_pending * options_.free_bytes;
  spare_ = options_.budget > kept ? options_.budget - kept : 0;
  pending_.reserve(options_.max_pending);
}

ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) return;
  // A post fails only while the system lacks the memory for it; the thread must not be left
  // running on what this object owns, so the post is tried until it goes through.
  while (!PostQueuedCompletionStatus(port_.get(), 0, kStopKey, nullptr)) Sleep(10);
  thread_.join();
  // Here rather than on the thread, which may have ended through an exception.
  shut_down();
}

Result<ReadRequest> ReadAhead::next() {
  std::unique_lock lock(mutex_);
  ready_changed_.wait(lock, [this] { return !ready_.empty(); });
  Ready item = std::move(ready_.front());
  ready_.pop_front();
  spare_ += item.charged;
  // Should the post fail, the thread finds out by itself within kRetry.
  if ((paused_ || item.charged > 0) &&
      PostQueuedCompletionStatus(port_.get(), 0, kResumeKey, nullptr)) {
    paused_ = false;
  }
  return std::move(item.connection);
}

void ReadAhead::run() {
  listen();
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped,
                                              milliseconds_to_next_wake());
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    const bool resumed = ok && overlapped == nullptr && key == kResumeKey;
    if (ok && overlapped == nullptr && key == kStopKey) break;
    if (overlapped == &connect_) {
      listening_ = false;
      on_connected(error);
    } else if (overlapped != nullptr) {
      // Packets of anything else on these handles (a write after the hand-over) are not ours.
      const auto it = std::find_if(pending_.begin(), pending_.end(),
                                   [&](const auto& p) { return &p->overlapped == overlapped; });
      if (it != pending_.end()) on_read(**it, bytes, error);
    }
    // On every pass, so that a steady stream of completions cannot put a deadline off.
    expire_deadlines();
    resume_waiting();
    if (!listening_ && (resumed || Clock::now() >= retry_at_)) listen();
  }
}

void ReadAhead::listen() {
  retry_at_ = Clock::time_point::max();
  if (listening_) return;
  {
    std::lock_guard lock(mutex_);
    paused_ = pending_.size() + ready_.size() >= options_.max_pending;
    if (paused_) {
      retry_at_ = Clock::now() + kRetry;
      return;
    }
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
  if (!std::exchange(failure_reported_, true)) hand_out({std::unexpected(system_error(code))});
  retry_at_ = Clock::now() + kRetry;
}

void ReadAhead::on_connected(DWORD error) {
  if (error != ERROR_SUCCESS && error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
    return report_failure(error);
  }
  failure_reported_ = false;
  auto pending = std::make_unique<Pending>();
  pending->pipe = std::move(waiting_);
  pending->deadline = Clock::now() + options_.read_deadline;
  Pending& added = *pending;
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(pending));
  }
  start_read(added);
  listen();
}

void ReadAhead::start_read(Pending& pending) {
  protocol::RequestFramer& framer = pending.framer;
  if (Clock::now() >= pending.deadline) {
    framer.fail(Error(timeout_text(options_.read_deadline)));
    return finish(pending);
  }
  if (framer.size() == pending.granted && !grow(pending)) {
    waiting_for_budget_.push_back(&pending);
    return;
  }
  // The read fills the line in place; nothing touches the line until its packet arrives.
  const std::span<char> room = framer.room(pending.granted - framer.size());
  pending.overlapped = OVERLAPPED{};
  if (ReadFile(pending.pipe.get(), room.data(), static_cast<DWORD>(room.size()), nullptr,
               &pending.overlapped)) {
    pending.in_flight = true;  // completed at once; its packet still arrives
    return;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_IO_PENDING) {
    pending.in_flight = true;
    return;
  }
  if (client_gone(code)) {
    framer.end_of_stream();
  } else {
    framer.fail(system_error(code));
  }
  finish(pending);
}

bool ReadAhead::grow(Pending& pending) {
  // The room doubles, for which std::string's reserve allocates exactly what is asked: what is
  // charged is what the line holds.
  const std::size_t want = std::clamp(pending.granted * 2, kFirstRead, protocol::kMaxRequestLine);
  const std::size_t charge = want > options_.free_bytes ? want - options_.free_bytes : 0;
  {
    std::lock_guard lock(mutex_);
    if (charge - pending.charged > spare_) return false;
    spare_ -= charge - pending.charged;
  }
  pending.charged = charge;
  pending.granted = want;
  pending.framer.reserve(want);
  return true;
}

void ReadAhead::resume_waiting() {
  while (!waiting_for_budget_.empty() && grow(*waiting_for_budget_.front())) {
    Pending& next = *waiting_for_budget_.front();
    waiting_for_budget_.pop_front();
    start_read(next);
  }
}

void ReadAhead::on_read(Pending& pending, DWORD count, DWORD error) {
  pending.in_flight = false;
  protocol::RequestFramer& framer = pending.framer;
  if (error == ERROR_OPERATION_ABORTED && pending.cancelled) {
    framer.fail(Error(timeout_text(options_.read_deadline)));
  } else if (error != ERROR_SUCCESS) {
    if (client_gone(error)) {
      framer.end_of_stream();
    } else {
      framer.fail(system_error(error));
    }
  } else if (count == 0) {
    // A read of nothing means the end of the stream, as it does to a blocking reader.
    framer.end_of_stream();
  } else {
    framer.commit(count);
  }
  if (framer.done()) return finish(pending);
  start_read(pending);
}

void ReadAhead::finish(Pending& pending) {
  Result<std::string> request = pending.framer.take();
  // A line that failed holds nothing from here on; a framed one until the worker takes it.
  const std::size_t kept = request ? pending.charged : 0;
  Ready ready{ReadRequest{std::move(pending.pipe), std::move(request)}, kept};
  {
    // Under the lock, so that the worker never sees the connection counted twice or not at all.
    std::lock_guard lock(mutex_);
    spare_ += pending.charged - kept;
    std::erase_if(pending_, [&](const auto& p) { return p.get() == &pending; });
    ready_.push_back(std::move(ready));
  }
  ready_changed_.notify_one();
}

void ReadAhead::hand_out(Ready ready) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(ready));
  }
  ready_changed_.notify_one();
}

void ReadAhead::expire_deadlines() {
  const auto now = Clock::now();
  // A line waiting for budget has no read to cancel: it ends here.
  for (auto it = waiting_for_budget_.begin(); it != waiting_for_budget_.end();) {
    Pending& pending = **it;
    if (now < pending.deadline) {
      ++it;
      continue;
    }
    it = waiting_for_budget_.erase(it);
    pending.framer.fail(Error(timeout_text(options_.read_deadline)));
    finish(pending);
  }
  for (const auto& pending : pending_) {
    if (pending->in_flight && !pending->cancelled && now >= pending->deadline) {
      pending->cancelled = true;
      CancelIoEx(pending->pipe.get(), &pending->overlapped);
    }
  }
}

DWORD ReadAhead::milliseconds_to_next_wake() const {
  auto next = retry_at_;
  for (const auto& pending : pending_) {
    if (!pending->cancelled) next = std::min(next, pending->deadline);
  }
  if (!waiting_for_budget_.empty()) next = std::min(next, Clock::now() + kRetry);
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
    CancelIoEx(pending->pipe.get(), &pending->overlapped);
  }
  // The system writes into the lines until each cancelled operation has reported.
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
  for (const auto& pending : pending_) DisconnectNamedPipe(pending->pipe.get());
}

}  // namespace kesta::pipe
