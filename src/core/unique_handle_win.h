#pragma once

#include <windows.h>

#include <winsvc.h>

#include <utility>

namespace kesta {

// The one owner of a system resource: it releases the resource when it goes, and nothing else
// does. `Traits` gives the resource's type (`Pointer`), the value that means "none" (`empty()`),
// which is also what the system returns when it could not make one, and how it is released.
template <class Traits>
class UniqueResource {
 public:
  using Pointer = typename Traits::Pointer;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Pointer value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Pointer get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::empty(); }
  // Hands the resource over without releasing it.
  Pointer release() noexcept { return std::exchange(value_, Traits::empty()); }
  void reset(Pointer value = Traits::empty()) noexcept {
    const Pointer old = std::exchange(value_, value);
    if (old != Traits::empty()) Traits::close(old);
  }
  // Releases what it holds and lends its storage to a call that returns a new resource through
  // an out-parameter.
  Pointer* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Pointer value_ = Traits::empty();
};

namespace resource_traits {

template <class T>
struct NullEmpty {
  using Pointer = T;
  static Pointer empty() noexcept { return nullptr; }
};

// Kernel objects whose creators return null on failure: events, ports, threads, processes, tokens.
struct Handle : NullEmpty<HANDLE> {
  static void close(Pointer handle) noexcept { CloseHandle(handle); }
};

// Kernel objects whose creators return INVALID_HANDLE_VALUE on failure: files, pipe instances,
// snapshots.
struct File : Handle {
  static Pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
};

struct Module : NullEmpty<HMODULE> {
  static void close(Pointer module) noexcept { FreeLibrary(module); }
};

// The service control manager and the services opened through it.
struct Service : NullEmpty<SC_HANDLE> {
  static void close(Pointer handle) noexcept { CloseServiceHandle(handle); }
};

// Memory the system allocated for the caller with LocalAlloc.
template <class T>
struct LocalMemory : NullEmpty<T*> {
  static void close(T* memory) noexcept { LocalFree(memory); }
};

}  // namespace resource_traits

using UniqueHandle = UniqueResource<resource_traits::Handle>;
using UniqueFile = UniqueResource<resource_traits::File>;
using UniqueModule = UniqueResource<resource_traits::Module>;
using UniqueServiceHandle = UniqueResource<resource_traits::Service>;
template <class T = void>
using UniqueLocalMemory = UniqueResource<resource_traits::LocalMemory<T>>;

}  // namespace kesta
