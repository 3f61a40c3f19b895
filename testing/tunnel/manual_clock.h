#pragma once

#include <cstddef>

#include "tunnel/wait_clock.h"

namespace kesta::testing {

// Time that moves only when the wait pauses, so a whole second of waiting takes no time.
class ManualClock final : public tunnel::WaitClock {
 public:
  TimePoint now() override { return now_; }
  void pause(Duration duration) override {
    now_ += duration;
    ++pauses;
  }

  std::size_t pauses = 0;

 private:
  TimePoint now_{};
};

}  // namespace kesta::testing
