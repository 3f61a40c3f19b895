#include "protocol/encode.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/base64.h"

namespace kesta::protocol {
namespace {

// Writes MessagePack in its shortest forms.
class Writer {
 public:
  void byte(std::uint8_t b) { bytes_.push_back(b); }

  void uint(std::uint64_t v) {
    if (v <= 0x7f) {
      byte(static_cast<std::uint8_t>(v));
    } else if (v <= 0xff) {
      prefixed(0xcc, v, 1);
    } else if (v <= 0xffff) {
      prefixed(0xcd, v, 2);
    } else if (v <= 0xffffffff) {
      prefixed(0xce, v, 4);
    } else {
      prefixed(0xcf, v, 8);
    }
  }

  void str(std::string_view s) {
    if (s.size() < 32) {
      byte(static_cast<std::uint8_t>(0xa0 | s.size()));
    } else if (s.size() <= 0xff) {
      prefixed(0xd9, s.size(), 1);
    } else if (s.size() <= 0xffff) {
      prefixed(0xda, s.size(), 2);
    } else {
      prefixed(0xdb, s.size(), 4);
    }
    bytes_.insert(bytes_.end(), s.begin(), s.end());
  }

  void array(std::size_t n) {
    if (n < 16) {
      byte(static_cast<std::uint8_t>(0x90 | n));
    } else if (n <= 0xffff) {
      prefixed(0xdc, n, 2);
    } else {
      prefixed(0xdd, n, 4);
    }
  }

  void single_entry_map(std::string_view key) {
    byte(0x81);
    str(key);
  }

  // The Base64 line with its line feed.
  std::string line() const {
    std::string out;
    base64_encode(bytes_, out);
    out += '\n';
    return out;
  }

 private:
  void prefixed(std::uint8_t marker, std::uint64_t v, int width) {
    byte(marker);
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
      byte(static_cast<std::uint8_t>(v >> shift));
    }
  }

  std::vector<std::uint8_t> bytes_;
};

void write_key(Writer& w, const Key& key) {
  std::string text;
  base64_encode(key, text);
  w.str(text);
}

void write_address(Writer& w, const Ipv4Address& ip) {
  w.array(ip.size());
  for (std::uint8_t part : ip) w.uint(part);
}

}  // namespace

std::expected<std::string, std::string> encode_response(const Response& response) {
  Writer w;
  if (const auto* connected = std::get_if<Connected>(&response)) {
    const WireguardInterfaceInfo& info = connected->info;
    w.single_entry_map("Connected");
    w.array(3);
    if (!info.last_handshake) {
      w.byte(0xc0);
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
  return w.line();
}

std::string encode_command(const Command& command) {
  Writer w;
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
  return w.line();
}

}  // namespace kesta::protocol
