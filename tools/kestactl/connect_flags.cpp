#include "connect_flags.h"

#include <algorithm>
#include <charconv>

#include "core/escape.h"
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

// IPv6 text as far as telling it from anything else needs: hex groups, colons, an embedded
// IPv4 tail. The service does not use it, so it is recognised, not decoded.
bool looks_like_ipv6(std::string_view text) {
  if (text.find(':') == text.npos) return false;
  return std::ranges::all_of(text, [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
  });
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

std::expected<protocol::Key, std::string> parse_key(std::string_view text, bool secret) {
  protocol::Key key{};
  const auto count = protocol::base64_decode(text, key);
  if (secret && (!count || *count != key.size())) {
    return std::unexpected(std::string("not the Base64 text of 32 bytes (the value is not shown)"));
  }
  if (!count) return std::unexpected(count.error().message());
  if (*count != key.size()) return std::unexpected("Invalid key length: " + std::to_string(*count));
  return key;
}

std::optional<IpPrefix> parse_prefix(std::string_view text) {
  const std::size_t slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  IpPrefix prefix;
  if (const auto ip = parse_ipv4(address)) {
    prefix.ip = *ip;
    prefix.length = 32;
  } else if (looks_like_ipv6(address)) {
    prefix.ipv6 = true;
    prefix.length = 128;
  } else {
    return std::nullopt;
  }
  if (slash != text.npos) {
    const auto length = parse_number<unsigned>(text.substr(slash + 1));
    if (!length || *length > prefix.length) return std::nullopt;
    prefix.length = *length;
  }
  return prefix;
}

std::expected<protocol::Ipv4Address, std::string> parse_client_address(std::string_view text) {
  const auto prefix = parse_prefix(text);
  if (!prefix) return std::unexpected(std::string("expected A.B.C.D/32"));
  if (prefix->ipv6) return std::unexpected(std::string("the service does not do IPv6"));
  if (prefix->length != 32) {
    return std::unexpected(
        std::string("the service gives the tunnel a single address; write it with /32"));
  }
  return prefix->ip;
}

std::expected<protocol::ConfigEndpoint, std::string> parse_endpoint(std::string_view text,
                                                                    const Resolver& resolve) {
  const std::size_t colon = text.rfind(':');
  const auto port = colon == text.npos ? std::nullopt : parse_port(text.substr(colon + 1));
  const std::string_view host = text.substr(0, colon == text.npos ? 0 : colon);
  if (host.starts_with('[') || looks_like_ipv6(host)) {
    return std::unexpected(std::string("the service reaches its server over IPv4 only"));
  }
  if (!port || host.empty())
    return std::unexpected(std::string("expected HOST:PORT or A.B.C.D:PORT"));
  protocol::ConfigEndpoint endpoint;
  endpoint.port = *port;
  if (const auto ip = parse_ipv4(host)) {
    endpoint.ip = *ip;
    return endpoint;
  }
  if (!resolve) return std::unexpected(std::string("expected A.B.C.D:PORT"));
  const auto resolved = resolve(host);
  if (!resolved) {
    return std::unexpected("cannot resolve the host name: " + escape_log_text(resolved.error()));
  }
  endpoint.ip = *resolved;
  endpoint.url = host;
  return endpoint;
}

std::expected<std::optional<protocol::Config>, std::vector<std::string>> parse_connect_flags(
    std::span<const std::string> args, std::string_view command, const Resolver& resolve) {
  protocol::Config config;
  std::optional<std::string> url;
  std::vector<std::string> problems;
  bool seen_private = false, seen_public = false, seen_endpoint = false, seen_address = false;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view flag = args[i];
    if (!options_ended && flag == "--") {
      options_ended = true;
      continue;
    }
    if (!options_ended && flag == "-h") return std::nullopt;
    if (options_ended || !flag.starts_with("--")) {
      problems.push_back("unexpected argument '" + escape_log_text(flag) + "'");
      continue;
    }
    if (flag == "--help") return std::nullopt;
    const std::size_t eq = flag.find('=');
    const std::string_view name = flag.substr(0, eq);
    // Given, even without a usable value: its own problem says what is wrong with it.
    seen_private = seen_private || name == "--private-key";
    seen_public = seen_public || name == "--public-key";
    seen_endpoint = seen_endpoint || name == "--endpoint";
    seen_address = seen_address || name == "--address";
    std::string_view value;
    if (eq != flag.npos) {
      value = flag.substr(eq + 1);
      flag = name;
    } else if (i + 1 >= args.size()) {
      problems.push_back(std::string(flag) + " needs a value");
      continue;
    } else {
      value = args[++i];
    }
    auto bad = [&](std::string_view why) {
      problems.push_back(std::string(flag) + ": " + std::string(why));
    };
    auto& e = config.encryption;
    if (flag == "--private-key" || flag == "--preshared-key" || flag == "--public-key") {
      const auto key = parse_key(value, flag != "--public-key");
      if (!key) {
        bad(key.error());
      } else {
        (flag == "--private-key"  ? e.client_key
         : flag == "--public-key" ? e.server_key
                                  : e.shared_key) = *key;
      }
    } else if (flag == "--endpoint") {
      auto endpoint = parse_endpoint(value, resolve);
      if (!endpoint) {
        bad("'" + escape_log_text(value) + "': " + endpoint.error());
      } else {
        config.endpoint = std::move(*endpoint);
      }
    } else if (flag == "--address") {
      const auto ip = parse_client_address(value);
      if (!ip) {
        bad("'" + escape_log_text(value) + "': " + ip.error());
      } else {
        config.client.ip = *ip;
      }
    } else if (flag == "--url") {
      url = value;
    } else if (flag == "--port") {
      const auto port = parse_port(value);
      if (!port) {
        bad("expected a number from 0 to 65535, got '" + escape_log_text(value) + "'");
      } else {
        config.client.ports.push_back(*port);
      }
    } else {
      problems.push_back("unknown option '" + escape_log_text(flag) + "'");
    }
  }
  if (url) config.endpoint.url = *url;
  std::vector<std::string_view> missing;
  for (const auto& [seen, flag] : {std::pair{seen_private, "--private-key"},
                                   {seen_public, "--public-key"},
                                   {seen_endpoint, "--endpoint"},
                                   {seen_address, "--address"}}) {
    if (!seen) missing.push_back(flag);
  }
  if (!missing.empty()) {
    std::string text = std::string(command) + ": missing ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
      text += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + std::string(missing[i]);
    }
    problems.push_back(std::move(text));
  }
  if (!problems.empty()) return std::unexpected(std::move(problems));
  return config;
}

}  // namespace kesta::kestactl
