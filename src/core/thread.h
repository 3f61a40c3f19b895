#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace kesta {

// Stack reserves for the service's own threads. Under the default of the executable (2 MiB, and
// under Wine much of it resident) a few idle threads cost more memory than everything else the
// service holds. The worker decodes requests nested up to the decoder's depth budget, which
// takes about 180 KiB of stack (measured by tests/windows/thread_test.cpp), then calls into the
// driver and IP Helper; the other threads only wait and make single system calls.
inline constexpr std::size_t kWorkerStack = 512 * 1024;
inline constexpr std::size_t kSmallStack = 64 * 1024;

// Runs the body of every Thread started while it is installed. The service installs its fault
// barrier before it starts its first thread, so that an exception escaping any of its threads
// ends the service the way the worker's end does; with none installed, such an exception ends
// the process (std::terminate), as it does from a std::thread.
using ThreadBarrier = std::function<void(std::move_only_function<void()>& body)>;
// Installs `barrier` (an empty one uninstalls) for the threads started from now on.
void set_thread_barrier(ThreadBarrier barrier);

// A joinable thread whose stack reserve is chosen by the caller where the platform lets us
// (Windows); elsewhere it is a std::thread, whose stack the sanitizers need at full size. Like
// std::thread, it must be joined or detached before it is destroyed.
class Thread {
 public:
  Thread() noexcept;
  // Starts `body` on a new thread, behind the installed barrier; throws std::system_error (with
  // the system's code) when the thread cannot be made.
  Thread(std::size_t stack_bytes, std::move_only_function<void()> body);
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  bool joinable() const noexcept;
  void join();
  void detach();

 private:
  // `body` as the new thread runs it: through the barrier installed now.
  static std::move_only_function<void()> behind_barrier(std::move_only_function<void()> body);

  // What the platform knows of the thread; present while the thread is joinable.
  struct Native;
  struct NativeDeleter {
    void operator()(Native* native) const;
  };
  std::unique_ptr<Native, NativeDeleter> native_;
};

}  // namespace kesta
