#include "protocol/render.h"

#include <span>
#include <string_view>

#include "core/escape.h"

namespace kesta::protocol {
namespace {

template <class Number>
void append_list(std::string& out, std::span<const Number> values) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(values[i]);
  }
  out += ']';
}

void append_address(std::string& out, const Ipv4Address& ip) {
  for (std::size_t i = 0; i < ip.size(); ++i) {
    if (i > 0) out += '.';
    out += std::to_string(ip[i]);
  }
}

}  // namespace

std::string render(const Command& command) {
  if (std::holds_alternative<Disconnect>(command)) return "Disconnect";
  if (std::holds_alternative<Info>(command)) return "Info";
  const Config& c = std::get<Connect>(command).config;
  std::string out =
      "Connect(Config { encryption: ConfigEncryption { client_key: [redacted], "
      "server_key: ";
  append_list<std::uint8_t>(out, c.encryption.server_key);
  out += ", shared_key: [redacted] }, endpoint: ConfigEndpoint { url: ";
  append_quoted(out, c.endpoint.url);
  out += ", ip: ";
  append_address(out, c.endpoint.ip);
  out += ", port: " + std::to_string(c.endpoint.port);
  out += " }, client: ConfigClient { ip: ";
  append_address(out, c.client.ip);
  out += ", ports: ";
  append_list<std::uint16_t>(out, c.client.ports);
  out += " } })";
  return out;
}

std::string render(const Response& response) {
  if (std::holds_alternative<Disconnected>(response)) return "Disconnected";
  if (const auto* error = std::get_if<Error>(&response))
    return "Error(" + quoted(error->message) + ")";
  const WireguardInterfaceInfo& info = std::get<Connected>(response).info;
  std::string out = "Connected(WireguardInterfaceInfo { last_handshake: ";
  if (info.last_handshake) {
    out += "Some(SystemTime { intervals: " + std::to_string(info.last_handshake->intervals) + " })";
  } else {
    out += "None";
  }
  out += ", tx_bytes: " + std::to_string(info.tx_bytes);
  out += ", rx_bytes: " + std::to_string(info.rx_bytes) + " })";
  return out;
}

}  // namespace kesta::protocol
