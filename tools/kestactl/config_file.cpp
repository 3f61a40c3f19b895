#include "config_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <utility>

#include "core/escape.h"
#include "core/utf16.h"
#include "core/utf8.h"

namespace kesta::kestactl {
namespace {

std::string_view strip(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == text.npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

bool same_name(std::string_view a, std::string_view b) {
  return std::ranges::equal(
      a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// Key and section names are shown in messages only when they look like names: a line such as
// "PrivateKey: <Base64>=" splits at the padding into a "key" that is the secret itself.
bool is_name(std::string_view text) {
  return !text.empty() && text.size() <= 32 && std::isalpha(static_cast<unsigned char>(text[0])) &&
         std::ranges::all_of(text, [](unsigned char c) { return std::isalnum(c) != 0; });
}

// A value in quotes; a key given where an address belongs (a private key pasted into the wrong
// line, say) is not shown.
std::string quote(std::string_view value) {
  if (parse_key(value, false)) return "(a key, not shown)";
  return "'" + escape_log_text(value) + "'";
}

enum class Section { kNone, kInterface, kPeer, kIgnored };

std::string section_name(Section section) {
  return section == Section::kInterface ? "[Interface]" : "[Peer]";
}

enum class Key {
  kPrivateKey,
  kAddress,
  kListenPort,
  kDns,
  kMtu,
  kTable,
  kFwMark,
  kSaveConfig,
  kPreUp,
  kPostUp,
  kPreDown,
  kPostDown,
  kPublicKey,
  kPresharedKey,
  kEndpoint,
  kAllowedIps,
  kPersistentKeepalive,
  kCount
};

struct KeySpec {
  Key key;
  std::string_view name;  // as WireGuard's documentation writes it
  Section section;
  bool repeatable;
  std::string_view unsupported;  // why the service does not do it; empty when it does
  std::string_view if_ignored;   // what leaving it out means for the traffic
  bool value_shown = true;       // commands are not quoted: they may hold anything
};

constexpr std::string_view kCommands = "the service runs no commands";
constexpr std::string_view kCommandNotRun = "its command will not run";
constexpr std::array<KeySpec, static_cast<std::size_t>(Key::kCount)> kKeys = {{
    {Key::kPrivateKey, "PrivateKey", Section::kInterface, false, {}, {}},
    {Key::kAddress, "Address", Section::kInterface, true, {}, {}},
    {Key::kListenPort, "ListenPort", Section::kInterface, false,
     "the service does not choose a listening port",
     "the tunnel listens on a port the system chooses"},
    {Key::kDns, "DNS", Section::kInterface, true, "the service does not set DNS servers",
     "name resolution will not use the tunnel"},
    {Key::kMtu, "MTU", Section::kInterface, false, "the service sets the MTU itself (1420)",
     "the tunnel's MTU stays 1420"},
    {Key::kTable, "Table", Section::kInterface, false,
     "the service does not choose a routing table", "all IPv4 traffic will go through the tunnel"},
    {Key::kFwMark, "FwMark", Section::kInterface, false, "the service does not mark packets",
     "the tunnel's packets are not marked"},
    {Key::kSaveConfig, "SaveConfig", Section::kInterface, false,
     "the service does not save configurations", "nothing is saved"},
    {Key::kPreUp, "PreUp", Section::kInterface, true, kCommands, kCommandNotRun, false},
    {Key::kPostUp, "PostUp", Section::kInterface, true, kCommands, kCommandNotRun, false},
    {Key::kPreDown, "PreDown", Section::kInterface, true, kCommands, kCommandNotRun, false},
    {Key::kPostDown, "PostDown", Section::kInterface, true, kCommands, kCommandNotRun, false},
    {Key::kPublicKey, "PublicKey", Section::kPeer, false, {}, {}},
    {Key::kPresharedKey, "PresharedKey", Section::kPeer, false, {}, {}},
    {Key::kEndpoint, "Endpoint", Section::kPeer, false, {}, {}},
    {Key::kAllowedIps, "AllowedIPs", Section::kPeer, true, {}, {}},
    {Key::kPersistentKeepalive, "PersistentKeepalive", Section::kPeer, false,
     "the service sends keepalives every 15 seconds on its own", "keepalives go every 15 seconds"},
}};

constexpr std::string_view kIpv6Ignored = "IPv6 traffic will go around the tunnel";

const KeySpec& spec_of(Key key) {
  return kKeys[static_cast<std::size_t>(key)];
}

class Parser {
 public:
  explicit Parser(const Resolver& resolve) : resolve_(resolve) {}

  void read_line(std::size_t number, std::string_view line) {
    line = strip(line.substr(0, line.find('#')));
    if (line.empty()) return;
    if (line.front() == '[') return read_section(number, line);
    const std::size_t eq = line.find('=');
    const std::string_view name = strip(line.substr(0, eq));
    if (eq == line.npos || !is_name(name)) {
      return error(number, "expected Key = Value or a [Section] (the line is not shown)");
    }
    const auto spec =
        std::ranges::find_if(kKeys, [&](const KeySpec& k) { return same_name(k.name, name); });
    if (section_ == Section::kIgnored) return;
    if (section_ == Section::kNone) {
      return error(number, std::string(name) + " before any [Interface] or [Peer] section");
    }
    if (spec == kKeys.end()) {
      return error(number, "unknown key '" + std::string(name) + "' in " + section_name(section_));
    }
    if (spec->section != section_) {
      return error(number, std::string(spec->name) + " belongs in " + section_name(spec->section) +
                               ", not in " + section_name(section_));
    }
    std::size_t& seen = seen_at_[static_cast<std::size_t>(spec->key)];
    if (seen != 0 && !spec->repeatable) {
      return error(number, std::string(spec->name) + " given twice (first on line " +
                               std::to_string(seen) + ")");
    }
    if (seen == 0) seen = number;
    if (!spec->unsupported.empty()) {
      const std::string value = strip(line.substr(eq + 1)).empty() || !spec->value_shown
                                    ? std::string()
                                    : " " + quote(strip(line.substr(eq + 1)));
      return unsupported(
          number, std::string(spec->name) + ": " + std::string(spec->unsupported),
          std::string(spec->name) + value + " ignored: " + std::string(spec->if_ignored));
    }
    read_value(*spec, number, strip(line.substr(eq + 1)));
  }

  ConfigFile finish() && {
    for (const Section section : {Section::kInterface, Section::kPeer}) {
      const std::size_t at = section_at(section);
      if (at == 0) {
        error(0, "the file has no " + section_name(section) + " section");
        continue;
      }
      for (const Key key : {Key::kPrivateKey, Key::kAddress, Key::kPublicKey, Key::kEndpoint}) {
        const KeySpec& spec = spec_of(key);
        if (spec.section != section) continue;
        if (seen(key) == 0) {
          error(at, section_name(section) + " has no " + std::string(spec.name));
        } else if (key == Key::kAddress && address_at_ == 0 && !address_refused_) {
          error(at, section_name(section) + " has no IPv4 Address");
        }
      }
    }
    if (seen(Key::kAllowedIps) != 0 && !covers_all_of_ipv4()) {
      error(seen(Key::kAllowedIps),
            "AllowedIPs: the service routes all IPv4 traffic through the tunnel; use "
            "0.0.0.0/0");
    }
    return std::move(file_);
  }

 private:
  // Keeps the first errors in line order, those of the file as a whole last: lines are read
  // in order, and what is missing is found at the end, about earlier lines.
  void error(std::size_t line, std::string text) {
    auto key = [](const FileProblem& problem) {
      return problem.line == 0 ? SIZE_MAX : problem.line;
    };
    const auto at = std::ranges::upper_bound(file_.errors, key({line, {}}), {}, key);
    if (at == file_.errors.end() && file_.errors.size() == kProblemsShown) {
      ++file_.errors_not_kept;
      return;
    }
    file_.errors.insert(at, {line, std::move(text)});
    if (file_.errors.size() > kProblemsShown) {
      file_.errors.pop_back();
      ++file_.errors_not_kept;
    }
  }
  void unsupported(std::size_t line, std::string text, std::string if_ignored) {
    if (file_.unsupported.size() == kProblemsShown) {
      ++file_.unsupported_not_kept;
      return;
    }
    file_.unsupported.push_back({line, std::move(text)});
    file_.ignored.push_back({line, std::move(if_ignored)});
  }
  std::size_t seen(Key key) const { return seen_at_[static_cast<std::size_t>(key)]; }
  std::size_t section_at(Section section) const {
    return section == Section::kInterface ? interface_at_ : peer_at_;
  }

  void read_section(std::size_t number, std::string_view line) {
    const std::string_view name =
        line.ends_with(']') ? strip(line.substr(1, line.size() - 2)) : std::string_view();
    const Section section = same_name(name, "Interface") ? Section::kInterface
                            : same_name(name, "Peer")    ? Section::kPeer
                                                         : Section::kIgnored;
    section_ = Section::kIgnored;
    if (section == Section::kIgnored) {
      return error(number, "unknown section" +
                               (is_name(name) ? " [" + std::string(name) + "]" : std::string()) +
                               "; expected [Interface] or [Peer]");
    }
    std::size_t& at = section == Section::kInterface ? interface_at_ : peer_at_;
    if (at != 0) {
      return error(number, "a second " + section_name(section) + " (the first is on line " +
                               std::to_string(at) + "); the service holds one interface with " +
                               "one peer");
    }
    at = number;
    section_ = section;
  }

  void read_value(const KeySpec& spec, std::size_t number, std::string_view value) {
    const std::string name(spec.name);
    if (value.empty() && spec.key != Key::kAllowedIps) {
      return error(number, name + " has no value");
    }
    auto& keys = file_.config.encryption;
    switch (spec.key) {
      case Key::kPrivateKey:
      case Key::kPublicKey:
      case Key::kPresharedKey: {
        const auto key = parse_key(value, spec.key != Key::kPublicKey);
        if (!key) return error(number, name + ": " + key.error());
        (spec.key == Key::kPrivateKey  ? keys.client_key
         : spec.key == Key::kPublicKey ? keys.server_key
                                       : keys.shared_key) = *key;
        return;
      }
      case Key::kEndpoint: {
        auto endpoint = parse_endpoint(value, resolve_);
        if (!endpoint) return error(number, name + " " + quote(value) + ": " + endpoint.error());
        file_.config.endpoint = std::move(*endpoint);
        return;
      }
      case Key::kAddress:
      case Key::kAllowedIps:
        for (std::string_view rest = value; !rest.empty();) {
          const std::size_t comma = std::min(rest.find(','), rest.size());
          const std::string_view item = strip(rest.substr(0, comma));
          rest.remove_prefix(std::min(rest.size(), comma + 1));
          if (!item.empty()) read_prefix(spec, number, item);
        }
        return;
      default:
        return;
    }
  }

  void read_prefix(const KeySpec& spec, std::size_t number, std::string_view item) {
    const std::string name(spec.name);
    const auto prefix = parse_prefix(item);
    if (prefix && prefix->ipv6) {
      return unsupported(number, name + " " + quote(item) + ": the service does not do IPv6",
                         name + " " + quote(item) + " ignored: " + std::string(kIpv6Ignored));
    }
    if (spec.key == Key::kAllowedIps) {
      if (!prefix) return error(number, name + " " + quote(item) + ": expected A.B.C.D/N");
      const std::uint64_t base = (std::uint64_t{prefix->ip[0]} << 24) | (prefix->ip[1] << 16) |
                                 (prefix->ip[2] << 8) | prefix->ip[3];
      const std::uint64_t size = std::uint64_t{1} << (32 - prefix->length);
      allowed_.emplace_back(base & ~(size - 1), (base & ~(size - 1)) + size);
      return;
    }
    const auto ip = parse_client_address(item);
    address_refused_ = address_refused_ || !ip || address_at_ != 0;
    if (!ip) return error(number, name + " " + quote(item) + ": " + ip.error());
    if (address_at_ != 0) {
      return error(number, name + " " + quote(item) +
                               ": the service gives the tunnel a single IPv4 address (the first "
                               "is on line " +
                               std::to_string(address_at_) + ")");
    }
    address_at_ = number;
    file_.config.client.ip = *ip;
  }

  bool covers_all_of_ipv4() {
    std::ranges::sort(allowed_);
    std::uint64_t reached = 0;
    for (const auto& [begin, end] : allowed_) {
      if (begin > reached) return false;
      reached = std::max(reached, end);
    }
    return reached == std::uint64_t{1} << 32;
  }

  const Resolver& resolve_;
  ConfigFile file_;
  Section section_ = Section::kNone;
  std::size_t interface_at_ = 0, peer_at_ = 0, address_at_ = 0;
  bool address_refused_ = false;
  std::array<std::size_t, kKeys.size()> seen_at_{};  // first line of each key, 0 when absent
  std::vector<std::pair<std::uint64_t, std::uint64_t>> allowed_;  // IPv4 ranges [begin, end)
};

}  // namespace

std::expected<std::string, std::string> config_text(std::string_view bytes) {
  auto refused = [](std::string why) {
    return std::unexpected("the file is not UTF-8 or UTF-16 text (" + why +
                           "); save it as UTF-8 or as Unicode");
  };
  if (bytes.starts_with(std::string_view("\xFF\xFE\0\0", 4)) ||
      bytes.starts_with(std::string_view("\0\0\xFE\xFF", 4))) {
    return refused("it is UTF-32");
  }
  const bool little = bytes.starts_with("\xFF\xFE");
  if (little || bytes.starts_with("\xFE\xFF")) {
    bytes.remove_prefix(2);
    if (bytes.size() % 2 != 0) return refused("UTF-16 with an odd number of bytes");
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
      const auto first = static_cast<unsigned char>(bytes[2 * i]);
      const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
      units[i] = static_cast<char16_t>(little ? first | second << 8 : first << 8 | second);
    }
    return to_utf8_lossy(units);
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  // Text holds no NUL: UTF-16 of ASCII without a byte order mark would otherwise pass as UTF-8.
  if (bytes.find('\0') != bytes.npos) {
    return refused("it holds NUL bytes, as UTF-16 without a byte order mark does");
  }
  if (const auto invalid = validate_utf8(bytes)) {
    const auto line = std::ranges::count(bytes.substr(0, invalid->valid_up_to), '\n') + 1;
    return refused("line " + std::to_string(line) + " holds bytes that are not UTF-8");
  }
  return std::string(bytes);
}

ConfigFile parse_config_file(std::string_view bytes, const Resolver& resolve) {
  const auto text = config_text(bytes);
  if (!text) {
    ConfigFile file;
    file.errors.push_back({0, text.error()});
    return file;
  }
  Parser parser(resolve);
  std::string_view rest = *text;
  for (std::size_t number = 1; !rest.empty(); ++number) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    parser.read_line(number, rest.substr(0, end));
    rest.remove_prefix(std::min(rest.size(), end + 1));
  }
  return std::move(parser).finish();
}

}  // namespace kesta::kestactl
