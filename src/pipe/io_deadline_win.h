#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/thread.h"
#include "core/unique_handle_win.h"

namespace kesta::pipe {

using Clock = std::chrono::steady_clock;

// A handle to the calling thread with the access CancelSynchronousIo needs; empty on failure.
UniqueHandle current_thread_handle() noexcept;

// Cancels a thread's blocked synchronous I/O once its deadline has passed, so that a blocking
// call never holds a thread for ever. One helper thread serves every watched call; it starts
// with the first watch and ends once it has had none for a while, so an idle service keeps no
// thread for it.
class IoDeadline {
 public:
  IoDeadline() = default;
  ~IoDeadline();
  IoDeadline(const IoDeadline&) = delete;
  IoDeadline& operator=(const IoDeadline&) = delete;

  // Runs `io` on the calling thread, which `thread` must name, and cancels its synchronous I/O,
  // and any I/O on `file`, once `deadline` passes. `io` must do nothing but the one blocking
  // call, since every synchronous I/O of the thread is cancelled. Returns whether a
  // cancellation was issued; the call's own result says whether it took effect.
  template <class Io>
  bool run_until(HANDLE thread, HANDLE file, Clock::time_point deadline, Io&& io) {
    Watch watch{thread, file, deadline};
    if (!arm(watch)) {
      // Without a helper there is no deadline; the call still runs.
      io();
      return false;
    }
    try {
      io();
    } catch (...) {
      disarm(watch);
      throw;
    }
    return disarm(watch);
  }

 private:
  struct Watch {
    HANDLE thread;
    HANDLE file;
    Clock::time_point deadline;
    bool fired = false;  // guarded by mutex_
  };

  // False when the helper thread is needed but cannot start.
  bool arm(Watch& watch);
  bool disarm(Watch& watch);
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Watch*> watches_;  // guarded by mutex_
  bool stopping_ = false;        // guarded by mutex_
  bool running_ = false;         // the helper is on its way; guarded by mutex_
  // When the helper looks at the watches next; until it first looks, it needs no waking.
  Clock::time_point helper_wakes_at_ = Clock::time_point::min();  // guarded by mutex_
  Thread thread_;
};

}  // namespace kesta::pipe
