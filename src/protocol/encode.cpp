#include "protocol/encode.h"

#include <cstdint>
#include <variant>

#include "protocol/base64.h"
#include "protocol/msgpack_writer.h"

namespace kesta::protocol {
namespace {

template <class... Branch>
struct Overloaded : Branch... {
  using Branch::operator()...;
};

// The Base64 line with its line feed.
std::string line_of(const MsgpackWriter& w) {
  std::string out;
  base64_encode(w.bytes(), out);
  out += '\n';
  return out;
}

void write_key(MsgpackWriter& w, const Key& key) {
  std::string text;
  base64_encode(key, text);
  w.str(text);
}

void write_address(MsgpackWriter& w, const Ipv4Address& ip) {
  w.array(ip.size());
  for (std::uint8_t part : ip) w.uint(part);
}

}  // namespace

std::expected<std::string, std::string> encode_response(const Response& response) {
  MsgpackWriter w;
  // Every alternative has its own branch: a new one does not compile until it is encoded.
  const auto written = std::visit(
      Overloaded{
          [&w](const Connected& connected) -> std::expected<void, std::string> {
            const WireguardInterfaceInfo& info = connected.info;
            w.single_entry_map("Connected");
            w.array(3);
            if (!info.last_handshake) {
              w.nil();
            } else {
              const std::int64_t t = info.last_handshake->intervals;
              if (t < kUnixEpochIntervals) {
                return std::unexpected("SystemTime must be later than UNIX_EPOCH");
              }
              const auto since_epoch = static_cast<std::uint64_t>(t - kUnixEpochIntervals);
              w.array(2);
              w.uint(since_epoch / 10'000'000);
              w.uint(since_epoch % 10'000'000 * 100);
            }
            w.uint(info.tx_bytes);
            w.uint(info.rx_bytes);
            return {};
          },
          [&w](const Disconnected&) -> std::expected<void, std::string> {
            w.str("Disconnected");
            return {};
          },
          [&w](const Error& error) -> std::expected<void, std::string> {
            w.single_entry_map("Error");
            w.str(error.message);
            return {};
          },
      },
      response);
  if (!written) return std::unexpected(written.error());
  return line_of(w);
}

std::string encode_command(const Command& command) {
  MsgpackWriter w;
  std::visit(Overloaded{
                 [&w](const Connect& connect) {
                   const Config& c = connect.config;
                   w.single_entry_map("Connect");
                   w.array(3);
                   w.array(3);
                   write_key(w, c.encryption.client_key);
                   write_key(w, c.encryption.server_key);
                   write_key(w, c.encryption.shared_key);
                   w.array(3);
                   w.str(c.endpoint.url);
                   write_address(w, c.endpoint.ip);
                   w.uint(c.endpoint.port);
                   w.array(2);
                   write_address(w, c.client.ip);
                   w.array(c.client.ports.size());
                   for (std::uint16_t port : c.client.ports) w.uint(port);
                 },
                 [&w](const Disconnect&) { w.str("Disconnect"); },
                 [&w](const Info&) { w.str("Info"); },
             },
             command);
  return line_of(w);
}

}  // namespace kesta::protocol
