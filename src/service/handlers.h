#pragma once

#include "protocol/messages.h"
#include "service/answer.h"

namespace kesta::service {

// What the worker does with each decoded command. The implementation owns the tunnel state
// that lives from one request to the next (the driver library and the current adapter); it is
// only ever called from the worker thread, one request at a time. Each call returns the one
// answer the loop sends.
class CommandHandlers {
 public:
  virtual ~CommandHandlers() = default;
  virtual Answer connect(const protocol::Config& config) = 0;
  virtual Answer disconnect() = 0;
  virtual Answer info() = 0;
};

}  // namespace kesta::service
