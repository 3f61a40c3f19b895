#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/security_descriptor_win.h"
#include "core/unique_handle_win.h"
#include "pipe/limbo_win.h"
#include "pipe/pipe_connection_win.h"
#include "pipe/read_ahead_win.h"
#include "service/transport.h"

namespace kesta::pipe {

inline constexpr std::wstring_view kPipeName = L"redevuva.sock";
inline constexpr std::wstring_view kPipePrefix = L"\\\\.\\pipe\\";

// SYSTEM and Administrators get full access. Everyone else may connect, read and write (the
// rights a GENERIC_READ | GENERIC_WRITE open is checked for), but not create further instances
// of the pipe (which would let them pose as the service) nor change its DACL or owner.
inline constexpr std::wstring_view kPipeSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;WD)";

// Connections held between their accept and the worker taking them.
inline constexpr std::size_t kMaxPendingConnections = 128;
// What the request lines of those connections may hold together, and what each one may hold
// without drawing on the rest; a line may be read up to its 1 MiB bound.
inline constexpr std::size_t kReadAheadBudget = 16 * 1024 * 1024;
inline constexpr std::size_t kFreeReadAhead = 64 * 1024;

struct ListenerOptions {
  // 0 sets no limit; 255 is reserved by the system and refused.
  std::uint8_t instance_limit = 0;
  std::chrono::milliseconds read_deadline = kReadDeadline;
  std::chrono::milliseconds write_deadline = kWriteDeadline;
  // Where written connections go to be closed; the process's pool when empty.
  std::shared_ptr<LimboPool> limbo;
  std::size_t max_pending = kMaxPendingConnections;
  std::size_t read_ahead_budget = kReadAheadBudget;
  std::size_t free_read_ahead = kFreeReadAhead;
};

// Why a listener could not be created.
struct ListenerFailure {
  Error error;
  // The first instance was refused because another process holds the name (access denied,
  // or pipe busy when its instances are all taken).
  bool name_occupied = false;
};

// The server end of a named pipe. Clients are accepted and their request lines read and framed
// ahead of the worker, which is handed each connection with its framed request once its line is
// complete (or its read has ended), in that order; so a client that is slow, silent or sends a
// long line holds up nobody but itself.
class PipeListener final : public service::Listener {
 public:
  // Creates the first instance of \\.\pipe\<name>, refusing a name that another server
  // holds. The listener keeps its own copy of `descriptor` (null: the system's default) for
  // every instance it creates.
  static std::expected<std::unique_ptr<PipeListener>, ListenerFailure> create(
      std::wstring_view name, PSECURITY_DESCRIPTOR descriptor, ListenerOptions options = {});

  // Waits for the next connection whose request line is complete or whose read has ended; fails
  // when listening for clients failed (once, until it works again).
  Result<service::Accepted> accept() override;

 private:
  PipeListener(std::wstring path, std::optional<SecurityDescriptor> descriptor,
               DWORD instance_limit, ListenerOptions options);
  UniqueFile create_instance(bool first);

  std::wstring path_;
  std::optional<SecurityDescriptor> descriptor_;
  DWORD instance_limit_;
  ListenerOptions options_;
  // Last, so that its thread stops before what it uses goes.
  std::unique_ptr<ReadAhead> read_ahead_;
};

}  // namespace kesta::pipe
