#include "service/stop_channel.h"

namespace kesta::service {

StopSender& StopSender::operator=(StopSender&& other) noexcept {
  if (this != &other) {
    close();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool StopSender::send() {
  if (!state_) return false;
  {
    const std::lock_guard lock(state_->mutex);
    if (state_->closed) return false;
    ++state_->pending;
  }
  state_->changed.notify_all();
  return true;
}

void StopSender::close() {
  if (!state_) return;
  {
    const std::lock_guard lock(state_->mutex);
    state_->closed = true;
  }
  state_->changed.notify_all();
  state_.reset();
}

StopWait StopReceiver::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(state_->mutex);
  const auto ready = [this] { return state_->pending > 0 || state_->closed || state_->woken; };
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    state_->changed.wait(lock, ready);
  } else if (!state_->changed.wait_until(lock, deadline, ready)) {
    return StopWait::kTimedOut;
  }
  if (state_->pending > 0) {
    --state_->pending;
    return StopWait::kMessage;
  }
  if (state_->closed) return StopWait::kClosed;
  state_->woken = false;
  return StopWait::kWoken;
}

std::function<void()> StopReceiver::waker() const {
  return [state = state_] {
    {
      const std::lock_guard lock(state->mutex);
      state->woken = true;
    }
    state->changed.notify_all();
  };
}

std::pair<StopSender, StopReceiver> make_stop_channel() {
  auto state = std::make_shared<detail::StopChannelState>();
  return {StopSender(state), StopReceiver(state)};
}

}  // namespace kesta::service
