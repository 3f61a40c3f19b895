#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/error.h"
#include "service/answer.h"
#include "service/handlers.h"
#include "service/log.h"
#include "service/transport.h"

namespace kesta::service {

// Everything the worker thread owns. Touched by that thread alone, so nothing here is locked.
struct WorkerState {
  WorkerState(std::unique_ptr<Listener> listener, std::shared_ptr<Log> log,
              std::unique_ptr<CommandHandlers> handlers);

  std::unique_ptr<Listener> listener;
  std::shared_ptr<Log> log;
  std::unique_ptr<CommandHandlers> handlers;
};

// Serves one connection: accept it with its framed request line, decode, dispatch, send the
// handler's answer, run its after-answer step, drop. Failures of a client are logged and end only
// that connection; a Fault (a log that cannot be written) or an exception out of the listener or
// the handlers leaves.
void serve_next(WorkerState& state);

// The worker thread's body: serve_next for ever.
[[noreturn]] void run_worker(WorkerState& state);

// Logs an Error's text, then, for a logged answer, "Sending response: " with the rendering;
// writes the response line, then, for a logged answer, "Message sent: " with exactly the line
// written. A response that cannot be encoded or written is logged as "Failed to send
// response: " and returned; nothing else needs to be done about it.
Result<> send_answer(Connection& connection, const Answer& answer, Log& log);

}  // namespace kesta::service
