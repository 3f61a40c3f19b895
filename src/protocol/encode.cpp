#include "protocol/encode.h"

#include <cstdint>

#include "protocol/base64.h"
#include "protocol/msgpack_writer.h"

namespace kesta::protocol {
namespace {

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
  if (const auto* connected = std::get_if<Connected>(&response)) {
    const WireguardInterfaceInfo& info = connected->info;
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
  } else if (std::holds_alternative<Disconnected>(response)) {
    w.str("Disconnected");
  } else {
    w.single_entry_map("Error");
    w.str(std::get<Error>(response).message);
  }
  return line_of(w);
}

std::string encode_command(const Command& command) {
  MsgpackWriter w;
  if (const auto* connect = std::get_if<Connect>(&command)) {
    const Config& c = connect->config;
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
  } else if (std::holds_alternative<Disconnect>(command)) {
    w.str("Disconnect");
  } else {
    w.str("Info");
  }
  return line_of(w);
}

}  // namespace kesta::protocol
