#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/error.h"

namespace kesta::service {

// One client connection, for the answer. Destroying it drops it: the transport lets the client
// read what was written, then disconnects it.
class Connection {
 public:
  virtual ~Connection() = default;
  // Sends every byte or fails; a write that accepts nothing is "failed to write whole buffer".
  virtual Result<> write_all(std::string_view bytes) = 0;
};

// A client whose request the transport has read and framed (protocol::RequestFramer): the
// request line, or the failure that ended its reading, with its text.
struct Accepted {
  std::unique_ptr<Connection> connection;
  Result<std::string> request;
};

// The source of clients, handed out one at a time once their requests are read.
class Listener {
 public:
  virtual ~Listener() = default;
  // Waits for the next client.
  virtual Result<Accepted> accept() = 0;
};

}  // namespace kesta::service
