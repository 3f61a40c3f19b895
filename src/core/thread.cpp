#include "core/thread.h"

#include <exception>
#include <utility>

namespace kesta {

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
