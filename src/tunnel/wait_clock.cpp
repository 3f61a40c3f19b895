#include "tunnel/wait_clock.h"

#include <thread>

namespace kesta::tunnel {

SteadyWaitClock::TimePoint SteadyWaitClock::now() {
  return std::chrono::steady_clock::now();
}

void SteadyWaitClock::pause(Duration duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace kesta::tunnel
