#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/security_descriptor_win.h"
#include "pipe/io_deadline_win.h"
#include "pipe/limbo_win.h"
#include "pipe/pipe_connection_win.h"
#include "pipe/unique_handle_win.h"
#include "service/transport.h"

namespace kesta::pipe {

inline constexpr std::wstring_view kPipeName = L"redevuva.sock";
inline constexpr std::wstring_view kPipePrefix = L"\\\\.\\pipe\\";

// SYSTEM and Administrators get full access. Everyone else may connect, read and write (the
// rights a GENERIC_READ | GENERIC_WRITE open is checked for), but not create further instances
// of the pipe (which would let them pose as the service) nor change its DACL or owner.
inline constexpr std::wstring_view kPipeSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;WD)";

struct ListenerOptions {
  // 0 sets no limit; 255 is reserved by the system and refused.
  std::uint8_t instance_limit = 0;
  std::chrono::milliseconds read_deadline = kReadDeadline;
  // Where written connections go to be closed; the process's pool when empty.
  std::shared_ptr<LimboPool> limbo;
};

// Why a listener could not be created.
struct ListenerFailure {
  Error error;
  // The first instance was refused because another process holds the name (access denied,
  // or pipe busy when its instances are all taken).
  bool name_occupied = false;
};

// The server end of a named pipe: always one instance waiting for the next client, so that a
// client arriving while the previous one is served is held by the pipe until the next accept.
class PipeListener final : public service::Listener {
 public:
  // Creates the first instance of \\.\pipe\<name>, refusing a name that another server
  // holds. The listener keeps its own copy of `descriptor` (null: the system's default) for
  // every instance it creates.
  static std::expected<std::unique_ptr<PipeListener>, ListenerFailure> create(
      std::wstring_view name, PSECURITY_DESCRIPTOR descriptor, ListenerOptions options = {});

  // Waits for a client and hands it out, with a fresh instance left waiting. When no fresh
  // instance can be created the client stays waiting and the next accept hands it out.
  Result<std::unique_ptr<service::Connection>> accept() override;

 private:
  PipeListener(std::wstring path, std::optional<SecurityDescriptor> descriptor,
               DWORD instance_limit, ListenerOptions options);
  UniqueHandle create_instance(bool first);

  std::wstring path_;
  std::optional<SecurityDescriptor> descriptor_;
  DWORD instance_limit_;
  std::chrono::milliseconds read_deadline_;
  std::shared_ptr<LimboPool> limbo_;
  std::shared_ptr<IoDeadline> deadline_;
  std::mutex waiting_mutex_;
  UniqueHandle waiting_;  // guarded by waiting_mutex_
};

}  // namespace kesta::pipe
