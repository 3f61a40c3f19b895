#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace kesta::service {

// How a wait on the stop channel ended; kWoken when a waker ended it without a stop.
enum class StopWait { kMessage, kTimedOut, kClosed, kWoken };

namespace detail {
struct StopChannelState {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t pending = 0;  // guarded by mutex
  bool closed = false;      // guarded by mutex
  bool woken = false;       // guarded by mutex
};
}  // namespace detail

// The sending end, kept by the control handler. Sending never blocks: the queue is unbounded.
// Destroying the sender closes the channel.
class StopSender {
 public:
  explicit StopSender(std::shared_ptr<detail::StopChannelState> state) noexcept
      : state_(std::move(state)) {}
  ~StopSender() { close(); }
  StopSender(StopSender&&) noexcept = default;
  StopSender& operator=(StopSender&& other) noexcept;
  StopSender(const StopSender&) = delete;
  StopSender& operator=(const StopSender&) = delete;

  // Queues one stop notification; false once the channel is closed.
  bool send();
  void close();

 private:
  std::shared_ptr<detail::StopChannelState> state_;
};

// The receiving end, kept by the supervision loop.
class StopReceiver {
 public:
  explicit StopReceiver(std::shared_ptr<detail::StopChannelState> state) noexcept
      : state_(std::move(state)) {}

  // A queued message is taken before a close is noticed, so a Stop followed by the close of
  // the sending end still reads as a message. time_point::max() waits without a deadline.
  StopWait wait_until(std::chrono::steady_clock::time_point deadline);
  // Ends the current or next wait with kWoken: for something else the waiter watches.
  std::function<void()> waker() const;

 private:
  std::shared_ptr<detail::StopChannelState> state_;
};

std::pair<StopSender, StopReceiver> make_stop_channel();

}  // namespace kesta::service
