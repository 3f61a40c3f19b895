#pragma once

#include "protocol/messages.h"
#include "service/log.h"
#include "service/transport.h"

namespace kesta::service {

// What the worker does with each decoded command. The implementation owns the tunnel state
// that lives from one request to the next (the driver library and the current adapter); it is
// only ever called from the worker thread, one request at a time. Each call writes exactly one
// response with send_response or send_response_quietly.
class CommandHandlers {
 public:
  virtual ~CommandHandlers() = default;
  virtual void connect(const protocol::Config& config, Connection& connection, Log& log) = 0;
  virtual void disconnect(Connection& connection, Log& log) = 0;
  virtual void info(Connection& connection, Log& log) = 0;
};

}  // namespace kesta::service
