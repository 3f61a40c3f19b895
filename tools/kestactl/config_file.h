#pragma once

#include <cstddef>
#include <expected>
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

// At most this many problems of each kind are kept (the first by line) and shown; the rest
// are counted: a log file given by mistake has a problem on every line.
inline constexpr std::size_t kProblemsShown = 20;

// A configuration file as read: the Config when `errors` is empty. `unsupported` lists what
// the file asks for that the service does not do (DNS, MTU, IPv6, ...); the Config leaves
// those out, so it can be used when the caller chooses to ignore them. `ignored` says, for
// each of `unsupported`, what leaving it out means for the traffic.
struct ConfigFile {
  protocol::Config config;
  std::vector<FileProblem> errors;
  std::vector<FileProblem> unsupported;
  std::vector<FileProblem> ignored;
  std::size_t errors_not_kept = 0;  // beyond the kProblemsShown kept
  std::size_t unsupported_not_kept = 0;
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
// and repeated. Every problem of the file is reported, in the order of its lines. `bytes` is
// the file as stored: UTF-8 with or without a byte order mark, or UTF-16 (little or big
// endian) with one, as Windows' own tools save "Unicode" text; anything else is one problem.
ConfigFile parse_config_file(std::string_view bytes, const Resolver& resolve);

// The file's text as UTF-8 without a byte order mark, or why it is not text kestactl reads.
std::expected<std::string, std::string> config_text(std::string_view bytes);

}  // namespace kesta::kestactl
