#include "config_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

#include "connect_flags.h"

namespace kesta::kestactl {
namespace {

std::string_view strip(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == text.npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

enum class Section { kNone, kInterface, kPeer };

struct KeySpec {
  std::string_view name;  // as written in the documentation
  Section section;
};

constexpr std::array<KeySpec, 6> kKeys = {{{"PrivateKey", Section::kInterface},
                                           {"Address", Section::kInterface},
                                           {"PublicKey", Section::kPeer},
                                           {"PresharedKey", Section::kPeer},
                                           {"Endpoint", Section::kPeer},
                                           {"AllowedIPs", Section::kPeer}}};
constexpr std::size_t kAllowedIps = 5;

std::string_view section_name(Section section) {
  return section == Section::kInterface ? "[Interface]" : "[Peer]";
}

}  // namespace

std::expected<protocol::Config, std::string> parse_config_file(std::string_view text,
                                                               const Resolver& resolve) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  protocol::Config config;
  std::array<std::size_t, kKeys.size()> seen_at{};  // line of each key, 0 when absent
  std::size_t interface_line = 0, peer_line = 0;
  Section section = Section::kNone;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(text.size(), end + 1));
    line = strip(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    auto error = [number](std::string_view why) {
      return std::unexpected("line " + std::to_string(number) + ": " + std::string(why));
    };
    if (line.front() == '[') {
      const std::string name = lower(line);
      std::size_t& at = name == "[interface]" ? interface_line : peer_line;
      if (name != "[interface]" && name != "[peer]") {
        return error("unsupported section " + std::string(line) +
                     "; expected [Interface] or [Peer]");
      }
      if (at != 0) {
        return error("a second " + std::string(line) + " (the first is on line " +
                     std::to_string(at) + "); the service holds one interface with one peer");
      }
      at = number;
      section = name == "[interface]" ? Section::kInterface : Section::kPeer;
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == line.npos)
      return error("expected Key = Value or a [Section], got '" + std::string(line) + "'");
    const std::string_view key = strip(line.substr(0, eq));
    const std::string_view value = strip(line.substr(eq + 1));
    const auto spec =
        std::ranges::find_if(kKeys, [&](const KeySpec& k) { return lower(k.name) == lower(key); });
    if (section == Section::kNone) {
      return error("'" + std::string(key) + "' before any [Interface] or [Peer] section");
    }
    if (spec == kKeys.end() || spec->section != section) {
      return error("unsupported key '" + std::string(key) + "' in " +
                   std::string(section_name(section)));
    }
    const std::size_t index = static_cast<std::size_t>(spec - kKeys.begin());
    if (seen_at[index] != 0) {
      return error(std::string(spec->name) + " given twice (first on line " +
                   std::to_string(seen_at[index]) + ")");
    }
    seen_at[index] = number;
    const std::string name(spec->name);
    if (value.empty()) return error(name + " has no value");
    auto& e = config.encryption;
    if (index == 0 || index == 2 || index == 3) {
      const auto parsed = parse_key(value);
      if (!parsed) return error(name + ": " + parsed.error());
      (index == 0 ? e.client_key : index == 2 ? e.server_key : e.shared_key) = *parsed;
    } else if (index == 1) {
      const std::size_t slash = value.find('/');
      const auto ip = parse_ipv4(strip(value.substr(0, slash)));
      if (!ip)
        return error("Address: expected an IPv4 address A.B.C.D, got '" + std::string(value) + "'");
      if (slash != value.npos && strip(value.substr(slash + 1)) != "32") {
        return error(
            "Address: the service gives the tunnel a single address; use /32 or no "
            "prefix, got '" +
            std::string(value) + "'");
      }
      config.client.ip = *ip;
    } else if (index == 4) {
      const std::size_t colon = value.rfind(':');
      const auto port = colon == value.npos ? std::nullopt : parse_port(value.substr(colon + 1));
      const std::string_view host = colon == value.npos ? value : value.substr(0, colon);
      if (!port || host.empty() || host.front() == '[') {
        return error("Endpoint: expected IPv4:PORT or HOST:PORT, got '" + std::string(value) + "'");
      }
      if (const auto ip = parse_ipv4(host)) {
        config.endpoint.ip = *ip;
      } else {
        const auto resolved = resolve(host);
        if (!resolved) {
          return error("Endpoint: cannot resolve '" + std::string(host) + "': " + resolved.error());
        }
        config.endpoint.ip = *resolved;
        config.endpoint.url = host;
      }
      config.endpoint.port = *port;
    } else if (index == kAllowedIps) {
      std::string compact;
      for (char c : value) {
        if (c != ' ' && c != '\t') compact += c;
      }
      if (compact != "0.0.0.0/0") {
        return error("AllowedIPs: the service always routes 0.0.0.0/0 through the tunnel; got '" +
                     std::string(value) + "'");
      }
    }
  }
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (seen_at[i] != 0 || i == kAllowedIps) continue;
    const std::size_t at = kKeys[i].section == Section::kInterface ? interface_line : peer_line;
    const std::string where = at == 0
                                  ? "the file has no " + std::string(section_name(kKeys[i].section))
                                  : "line " + std::to_string(at) + ": " +
                                        std::string(section_name(kKeys[i].section)) + " has no";
    return std::unexpected(at == 0
                               ? where + " section (" + std::string(kKeys[i].name) + " is required)"
                               : where + " " + std::string(kKeys[i].name));
  }
  return config;
}

}  // namespace kesta::kestactl
