#include "core/thread.h"

#include <exception>
#include <mutex>
#include <utility>

namespace kesta {
namespace {

std::mutex barrier_mutex;
std::shared_ptr<const ThreadBarrier> installed_barrier;  // guarded by barrier_mutex

}  // namespace

void set_thread_barrier(ThreadBarrier barrier) {
  auto installed = barrier ? std::make_shared<const ThreadBarrier>(std::move(barrier)) : nullptr;
  const std::lock_guard lock(barrier_mutex);
  installed_barrier = std::move(installed);
}

std::move_only_function<void()> Thread::behind_barrier(std::move_only_function<void()> body) {
  std::shared_ptr<const ThreadBarrier> barrier;
  {
    const std::lock_guard lock(barrier_mutex);
    barrier = installed_barrier;
  }
  if (!barrier) return body;
  return [barrier = std::move(barrier), body = std::move(body)]() mutable { (*barrier)(body); };
}

Thread::Thread() noexcept = default;

// Like std::thread, a thread must be joined or let go before its owner forgets it.
Thread::~Thread() {
  if (joinable()) std::terminate();
}

Thread::Thread(Thread&& other) noexcept = default;

Thread& Thread::operator=(Thread&& other) noexcept {
  if (joinable()) std::terminate();
  native_ = std::move(other.native_);
  return *this;
}

bool Thread::joinable() const noexcept {
  return native_ != nullptr;
}

}  // namespace kesta
