#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "service/transport.h"

namespace kesta::testing {

// What one in-memory client sends and how its end of the connection behaves.
struct ClientScript {
  // The pieces the client's bytes arrive in; then end of stream.
  std::vector<std::string> chunks{};
  // When set, reading after the last chunk fails with this message instead of ending.
  std::optional<std::string> read_error{};
  // When set, every write fails with this message.
  std::optional<std::string> write_error{};
  // This many 'A' bytes follow the chunks, produced on demand without storing them.
  std::size_t filler_bytes = 0;
};

// What the service did with one connection, kept after the connection is gone.
struct Transcript {
  std::string written;
  std::size_t bytes_read = 0;  // what the framer took of the client's bytes
  bool dropped = false;
};

// Thrown by accept when the script has no client left: the only way out of the worker loop.
struct ScriptEnded {};

// A listener that hands out scripted clients and accept failures in order, each client's request
// framed as the pipe's read-ahead frames it.
class MemoryListener final : public service::Listener {
 public:
  std::shared_ptr<const Transcript> add_client(ClientScript script);
  void add_accept_error(std::string message);

  Result<service::Accepted> accept() override;
  std::size_t accepts() const { return accepts_; }

 private:
  struct PendingClient {
    ClientScript script;
    std::shared_ptr<Transcript> transcript;
  };
  std::deque<std::variant<PendingClient, std::string>> queue_;
  std::size_t accepts_ = 0;
};

}  // namespace kesta::testing
