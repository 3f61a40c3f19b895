#include <windows.h>

#include <exception>
#include <system_error>
#include <utility>

#include "core/thread.h"

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
  HANDLE handle = nullptr;
};

Thread::Thread(std::size_t stack_bytes, std::move_only_function<void()> body) {
  auto owned = std::make_unique<std::move_only_function<void()>>(std::move(body));
  // A reservation, not a commitment: the stack grows page by page up to it.
  const HANDLE handle = CreateThread(nullptr, stack_bytes, run_body, owned.get(),
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateThread");
  }
  owned.release();  // the thread owns it now
  native_.reset(new Native{handle});
}

void Thread::NativeDeleter::operator()(Native* native) const {
  delete native;
}

void Thread::join() {
  WaitForSingleObject(native_->handle, INFINITE);
  CloseHandle(native_->handle);
  native_.reset();
}

void Thread::detach() {
  CloseHandle(native_->handle);
  native_.reset();
}

}  // namespace kesta
