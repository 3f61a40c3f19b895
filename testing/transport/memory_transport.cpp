#include "memory_transport.h"

#include <algorithm>

#include "protocol/request_line.h"

namespace kesta::testing {
namespace {

class MemoryConnection final : public service::Connection {
 public:
  MemoryConnection(std::optional<std::string> write_error, std::shared_ptr<Transcript> transcript)
      : write_error_(std::move(write_error)), transcript_(std::move(transcript)) {}
  ~MemoryConnection() override { transcript_->dropped = true; }

  Result<> write_all(std::string_view bytes) override {
    if (write_error_) return std::unexpected(Error(*write_error_));
    transcript_->written.append(bytes);
    return {};
  }

 private:
  std::optional<std::string> write_error_;
  std::shared_ptr<Transcript> transcript_;
};

// Feeds the script to the framer as the pipe's read-ahead would, chunk by chunk, until the line
// is framed or the script ends.
Result<std::string> frame(const ClientScript& script, Transcript& transcript) {
  protocol::RequestFramer framer;
  for (const std::string& chunk : script.chunks) {
    if (framer.done()) break;
    transcript.bytes_read += framer.feed(chunk);
  }
  const std::string filler(4096, 'A');
  for (std::size_t left = script.filler_bytes; left > 0 && !framer.done();) {
    const std::size_t taken =
        framer.feed(std::string_view(filler).substr(0, std::min(left, filler.size())));
    transcript.bytes_read += taken;
    left -= taken;
  }
  if (!framer.done()) {
    if (script.read_error) {
      framer.fail(Error(*script.read_error));
    } else {
      framer.end_of_stream();
    }
  }
  return framer.take();
}

}  // namespace

std::shared_ptr<const Transcript> MemoryListener::add_client(ClientScript script) {
  auto transcript = std::make_shared<Transcript>();
  queue_.emplace_back(PendingClient{std::move(script), transcript});
  return transcript;
}

void MemoryListener::add_accept_error(std::string message) {
  queue_.emplace_back(std::move(message));
}

Result<service::Accepted> MemoryListener::accept() {
  if (queue_.empty()) throw ScriptEnded{};
  ++accepts_;
  auto next = std::move(queue_.front());
  queue_.pop_front();
  if (auto* message = std::get_if<std::string>(&next)) return std::unexpected(Error(*message));
  auto& client = std::get<PendingClient>(next);
  Result<std::string> request = frame(client.script, *client.transcript);
  return service::Accepted{
      std::make_unique<MemoryConnection>(client.script.write_error, client.transcript),
      std::move(request)};
}

}  // namespace kesta::testing
