#include "memory_transport.h"

#include <algorithm>
#include <cstring>

namespace kesta::testing {
namespace {

class MemoryConnection final : public service::Connection {
 public:
  MemoryConnection(ClientScript script, std::shared_ptr<Transcript> transcript)
      : script_(std::move(script)), transcript_(std::move(transcript)) {}
  ~MemoryConnection() override { transcript_->dropped = true; }

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    ++transcript_->reads;
    const std::size_t count = next_bytes(buffer);
    if (count == 0 && script_.read_error) return std::unexpected(Error(*script_.read_error));
    transcript_->bytes_read += count;
    return count;
  }

  Result<> write_all(std::string_view bytes) override {
    if (script_.write_error) return std::unexpected(Error(*script_.write_error));
    transcript_->written.append(bytes);
    return {};
  }

 private:
  std::size_t next_bytes(std::span<std::uint8_t> buffer) {
    while (chunk_ < script_.chunks.size()) {
      const std::string& chunk = script_.chunks[chunk_];
      const std::size_t count = std::min(buffer.size(), chunk.size() - offset_);
      std::memcpy(buffer.data(), chunk.data() + offset_, count);
      offset_ += count;
      if (offset_ == chunk.size()) {
        ++chunk_;
        offset_ = 0;
      }
      if (count > 0) return count;
    }
    const std::size_t count = std::min(buffer.size(), script_.filler_bytes);
    std::fill_n(buffer.begin(), count, std::uint8_t{'A'});
    script_.filler_bytes -= count;
    return count;
  }

  ClientScript script_;
  std::shared_ptr<Transcript> transcript_;
  std::size_t chunk_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace

std::shared_ptr<const Transcript> MemoryListener::add_client(ClientScript script) {
  auto transcript = std::make_shared<Transcript>();
  queue_.emplace_back(PendingClient{std::move(script), transcript});
  return transcript;
}

void MemoryListener::add_accept_error(std::string message) {
  queue_.emplace_back(std::move(message));
}

Result<std::unique_ptr<service::Connection>> MemoryListener::accept() {
  if (queue_.empty()) throw ScriptEnded{};
  ++accepts_;
  auto next = std::move(queue_.front());
  queue_.pop_front();
  if (auto* message = std::get_if<std::string>(&next)) return std::unexpected(Error(*message));
  auto& client = std::get<PendingClient>(next);
  return std::make_unique<MemoryConnection>(std::move(client.script), client.transcript);
}

}  // namespace kesta::testing
