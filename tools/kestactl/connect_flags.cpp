#include "connect_flags.h"

#include <charconv>
#include <utility>

#include "protocol/base64.h"

namespace kesta::kestactl {
namespace {

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
  Number value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<protocol::Ipv4Address> parse_ipv4(std::string_view text) {
  protocol::Ipv4Address ip{};
  for (std::size_t i = 0; i < ip.size(); ++i) {
    const std::size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view part = text.substr(0, dot);
    if (part.size() > 3) return std::nullopt;
    const auto value = parse_number<unsigned>(part);
    if (!value || *value > 255) return std::nullopt;
    ip[i] = static_cast<std::uint8_t>(*value);
    text.remove_prefix(std::min(text.size(), dot + 1));
  }
  return ip;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  return parse_number<std::uint16_t>(text);
}

std::expected<protocol::Key, std::string> parse_key(std::string_view text) {
  protocol::Key key{};
  const auto count = protocol::base64_decode(text, key);
  if (!count) return std::unexpected(count.error().message());
  if (*count != key.size()) return std::unexpected("Invalid key length: " + std::to_string(*count));
  return key;
}

std::expected<std::optional<protocol::Config>, std::string> parse_connect_flags(
    std::span<const std::string> args, std::string_view command) {
  protocol::Config config;
  bool seen_private = false, seen_public = false, seen_preshared = false, seen_endpoint = false,
       seen_address = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view flag = args[i];
    if (flag == "--help" || flag == "-h") return std::nullopt;
    std::string_view value;
    if (const std::size_t eq = flag.find('='); flag.starts_with("--") && eq != flag.npos) {
      value = flag.substr(eq + 1);
      flag = flag.substr(0, eq);
    } else if (flag.starts_with("--")) {
      if (i + 1 >= args.size()) return std::unexpected(std::string(flag) + " needs a value");
      value = args[++i];
    } else {
      return std::unexpected("unexpected argument '" + std::string(flag) + "'");
    }
    auto bad = [&](std::string_view why) {
      return std::unexpected(std::string(flag) + ": " + std::string(why));
    };
    if (flag == "--private-key" || flag == "--public-key" || flag == "--preshared-key") {
      auto key = parse_key(value);
      if (!key) return bad(key.error());
      auto& e = config.encryption;
      (flag == "--private-key"  ? e.client_key
       : flag == "--public-key" ? e.server_key
                                : e.shared_key) = *key;
      (flag == "--private-key"  ? seen_private
       : flag == "--public-key" ? seen_public
                                : seen_preshared) = true;
    } else if (flag == "--endpoint") {
      const std::size_t colon = value.rfind(':');
      const auto ip = parse_ipv4(value.substr(0, colon));
      const auto port = colon == value.npos ? std::nullopt : parse_port(value.substr(colon + 1));
      if (!ip || !port) return bad("expected A.B.C.D:PORT, got '" + std::string(value) + "'");
      config.endpoint.ip = *ip;
      config.endpoint.port = *port;
      seen_endpoint = true;
    } else if (flag == "--address") {
      const auto ip = parse_ipv4(value);
      if (!ip) return bad("expected A.B.C.D, got '" + std::string(value) + "'");
      config.client.ip = *ip;
      seen_address = true;
    } else if (flag == "--url") {
      config.endpoint.url = value;
    } else if (flag == "--port") {
      const auto port = parse_port(value);
      if (!port) return bad("expected a number from 0 to 65535, got '" + std::string(value) + "'");
      config.client.ports.push_back(*port);
    } else {
      return std::unexpected("unknown option '" + std::string(flag) + "'");
    }
  }
  const std::pair<bool, std::string_view> required[] = {{seen_private, "--private-key"},
                                                        {seen_public, "--public-key"},
                                                        {seen_preshared, "--preshared-key"},
                                                        {seen_endpoint, "--endpoint"},
                                                        {seen_address, "--address"}};
  for (const auto& [seen, flag] : required) {
    if (!seen) return std::unexpected(std::string(command) + ": missing " + std::string(flag));
  }
  return config;
}

}  // namespace kesta::kestactl
