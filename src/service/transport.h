#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/error.h"

namespace kesta::service {

// One client connection. Destroying it drops it: the transport lets the client read what was
// written, then disconnects it.
class Connection {
 public:
  virtual ~Connection() = default;
  // Fills `buffer` with the next bytes; 0 means end of stream, which is also what a client that
  // closed or broke its end produces.
  virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
  // Sends every byte or fails; a write that accepts nothing is "failed to write whole buffer".
  virtual Result<> write_all(std::string_view bytes) = 0;
};

// The source of connections: one client at a time.
class Listener {
 public:
  virtual ~Listener() = default;
  // Waits for the next client.
  virtual Result<std::unique_ptr<Connection>> accept() = 0;
};

}  // namespace kesta::service
