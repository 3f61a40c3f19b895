#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/error.h"
#include "protocol/messages.h"
#include "service/handlers.h"
#include "service/log.h"
#include "service/transport.h"

namespace kesta::service {

// Room the request buffer is handed over with; it keeps whatever it grows to.
inline constexpr std::size_t kInitialRequestCapacity = 1024;

// Everything the worker thread owns. Touched by that thread alone, so nothing here is locked.
struct WorkerState {
  WorkerState(std::unique_ptr<Listener> listener, std::shared_ptr<Log> log,
              std::unique_ptr<CommandHandlers> handlers);

  std::unique_ptr<Listener> listener;
  std::string request;  // the request line, reused from one connection to the next
  std::shared_ptr<Log> log;
  std::unique_ptr<CommandHandlers> handlers;
};

// Serves one connection: accept, read one request line, decode, dispatch, drop. Failures of a
// client are logged and end only that connection; a Fault (a log that cannot be written) or an
// exception out of the listener or the handlers leaves.
void serve_next(WorkerState& state);

// The worker thread's body: serve_next for ever.
[[noreturn]] void run_worker(WorkerState& state);

// Logs "Sending response: " with the rendering, writes the response line, then logs
// "Message sent: " with exactly the line written. A response that cannot be encoded or written
// is logged as "Failed to send response: " and returned; nothing else needs to be done about it.
Result<> send_response(Connection& connection, const protocol::Response& response, Log& log);

// The same without the two log lines, for responses whose text has already been logged; a
// failure is still logged.
Result<> send_response_quietly(Connection& connection, const protocol::Response& response,
                               Log& log);

}  // namespace kesta::service
