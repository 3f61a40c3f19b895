#include <thread>
#include <utility>

#include "core/thread.h"

namespace kesta {

struct Thread::Native {
  std::thread thread;
};

Thread::Thread(std::size_t, std::move_only_function<void()> body)
    : native_(new Native{std::thread(behind_barrier(std::move(body)))}) {}

void Thread::NativeDeleter::operator()(Native* native) const {
  delete native;
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
