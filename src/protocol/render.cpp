#include "protocol/render.h"

#include <span>
#include <string_view>
#include <variant>

#include "core/escape.h"

namespace kesta::protocol {
namespace {

template <class... Branch>
struct Overloaded : Branch... {
  using Branch::operator()...;
};

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

std::string render_config(const Config& c) {
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

std::string render_info(const WireguardInterfaceInfo& info) {
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

}  // namespace

// Every alternative has its own branch: a new one does not compile until it is rendered.
std::string render(const Command& command) {
  return std::visit(Overloaded{
                        [](const Connect& connect) { return render_config(connect.config); },
                        [](const Disconnect&) { return std::string("Disconnect"); },
                        [](const Info&) { return std::string("Info"); },
                    },
                    command);
}

std::string render(const Response& response) {
  return std::visit(Overloaded{
                        [](const Connected& connected) { return render_info(connected.info); },
                        [](const Disconnected&) { return std::string("Disconnected"); },
                        [](const Error& error) { return "Error(" + quoted(error.message) + ")"; },
                    },
                    response);
}

}  // namespace kesta::protocol
