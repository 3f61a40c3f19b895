#include <windows.h>

#include <exception>
#include <system_error>
#include <utility>

#include "core/thread.h"
#include "core/unique_handle_win.h"

namespace kesta {
namespace {

DWORD WINAPI run_body(void* parameter) {
  const std::unique_ptr<std::move_only_function<void()>> body(
      static_cast<std::move_only_function<void()>*>(parameter));
  (*body)();
  return 0;
}

}  // namespace

struct Thread::Native {
  UniqueHandle handle;
};

Thread::Thread(std::size_t stack_bytes, std::move_only_function<void()> body) {
  auto owned = std::make_unique<std::move_only_function<void()>>(behind_barrier(std::move(body)));
  // A reservation, not a commitment: the stack grows page by page up to it.
  UniqueHandle handle(CreateThread(nullptr, stack_bytes, run_body, owned.get(),
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!handle) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateThread");
  }
  owned.release();  // the thread owns it now
  native_.reset(new Native{std::move(handle)});
}

void Thread::NativeDeleter::operator()(Native* native) const {
  delete native;
}

void Thread::join() {
  WaitForSingleObject(native_->handle.get(), INFINITE);
  native_.reset();
}

void Thread::detach() {
  native_.reset();
}

}  // namespace kesta
