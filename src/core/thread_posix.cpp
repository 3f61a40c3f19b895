#include <thread>
#include <utility>

#include "core/thread.h"

namespace kesta {

struct Thread::Native {
  std::thread thread;
};

Thread::Thread() noexcept = default;

Thread::Thread(std::size_t, std::move_only_function<void()> body)
    : native_(std::make_unique<Native>(Native{std::thread(std::move(body))})) {}

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
  return native_ && native_->thread.joinable();
}

void Thread::join() {
  native_->thread.join();
  native_.reset();
}

void Thread::detach() {
  native_->thread.detach();
  native_.reset();
}

}  // namespace kesta
