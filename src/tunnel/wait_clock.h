#pragma once

#include <chrono>

namespace kesta::tunnel {

// The handshake wait's view of time. Production uses the monotonic clock and a real sleep;
// tests substitute a clock that only moves when paused.
class WaitClock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~WaitClock() = default;
  virtual TimePoint now() = 0;
  virtual void pause(Duration duration) = 0;
};

class SteadyWaitClock final : public WaitClock {
 public:
  TimePoint now() override;
  void pause(Duration duration) override;
};

}  // namespace kesta::tunnel
