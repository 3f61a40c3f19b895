#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "connect_flags.h"
#include "protocol/messages.h"

namespace kesta::kestactl {

// One thing wrong with a configuration file, on a line (0: the file as a whole). The text
// names keys and quotes values, but never a PrivateKey or PresharedKey value nor a line that
// is not Key = Value; what it quotes has its control characters escaped.
struct FileProblem {
  std::size_t line = 0;
  std::string text;
  bool operator==(const FileProblem&) const = default;
};

// A configuration file as read: the Config when `errors` is empty. `unsupported` lists what
// the file asks for that the service does not do (DNS, MTU, IPv6, ...); the Config leaves
// those out, so it can be used when the caller chooses to ignore them.
struct ConfigFile {
  protocol::Config config;
  std::vector<FileProblem> errors;
  std::vector<FileProblem> unsupported;
};

// Reads a WireGuard configuration file:
//
//   [Interface]
//   PrivateKey = <Base64>
//   Address = 10.0.0.2/32          (one IPv4 address, /32 or bare; IPv6 ones are unsupported)
//   [Peer]
//   PublicKey = <Base64>
//   PresharedKey = <Base64>        (optional: none is 32 zero bytes)
//   Endpoint = 203.0.113.1:51820   (or HOST:PORT, resolved; the host goes along as url)
//   AllowedIPs = 0.0.0.0/0         (optional; must cover all of IPv4, which the service routes)
//
// Key names are case-insensitive; '#' starts a comment; Address and AllowedIPs may be lists
// and repeated. Every problem of the file is reported, in the order of its lines.
ConfigFile parse_config_file(std::string_view text, const Resolver& resolve);

}  // namespace kesta::kestactl
