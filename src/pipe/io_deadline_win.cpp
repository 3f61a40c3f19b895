#include "pipe/io_deadline_win.h"

#include <algorithm>
#include <system_error>

namespace kesta::pipe {
namespace {

// A cancellation can reach the thread just before it enters its call and find nothing to
// cancel, so it is repeated this often until the call has returned.
constexpr auto kRetry = std::chrono::milliseconds(10);
// How long the helper waits for a new watch before it ends.
constexpr auto kLinger = std::chrono::seconds(30);

}  // namespace

UniqueHandle current_thread_handle() noexcept {
  HANDLE thread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                       THREAD_TERMINATE, FALSE, 0)) {
    return UniqueHandle();
  }
  return UniqueHandle(thread);
}

IoDeadline::~IoDeadline() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_one();
  if (thread_.joinable()) thread_.join();
}

bool IoDeadline::arm(Watch& watch) {
  bool wake_helper = false;
  {
    std::lock_guard lock(mutex_);
    if (!running_) {
      // A helper that ended has let go of the lock for good, so joining it here is safe.
      if (thread_.joinable()) thread_.join();
      try {
        thread_ = Thread(kSmallStack, [this] { run(); });
      } catch (const std::system_error&) {
        return false;
      }
      running_ = true;
      helper_wakes_at_ = Clock::time_point::min();
    }
    watches_.push_back(&watch);
    // The helper sleeps until the earliest deadline it knows of and looks again then; it
    // needs waking only for an earlier one. Requests in a row thus cost no thread switch.
    wake_helper = watch.deadline < helper_wakes_at_;
  }
  if (wake_helper) changed_.notify_one();
  return true;
}

bool IoDeadline::disarm(Watch& watch) {
  std::lock_guard lock(mutex_);
  std::erase(watches_, &watch);
  return watch.fired;
}

void IoDeadline::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (watches_.empty()) {
      helper_wakes_at_ = Clock::time_point::max();
      if (!changed_.wait_for(lock, kLinger, [this] { return stopping_ || !watches_.empty(); })) {
        break;
      }
      continue;
    }
    const auto now = Clock::now();
    auto wake = Clock::time_point::max();
    for (Watch* watch : watches_) {
      if (watch->deadline <= now) {
        // Under the lock, so the watched call cannot have returned and moved on to other I/O.
        watch->fired = true;
        // A flush of an overlapped handle may count as asynchronous I/O to the system.
        CancelSynchronousIo(watch->thread);
        if (watch->file != nullptr) CancelIoEx(watch->file, nullptr);
        wake = std::min(wake, now + kRetry);
      } else {
        wake = std::min(wake, watch->deadline);
      }
    }
    helper_wakes_at_ = wake;
    changed_.wait_until(lock, wake);
  }
  running_ = false;
}

}  // namespace kesta::pipe
