#pragma once

// Builders for hand-made wire bytes. They are written here, not taken from the codec, so that
// a fault in the codec's own encoder cannot hide the same fault in its decoder.

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/decode.h"
#include "protocol/messages.h"

namespace kesta::test {

// "81 a4 49" -> the three bytes; spaces are ignored.
inline std::string hex(std::string_view text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit");
  };
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    if (high < 0) {
      high = nibble(c);
    } else {
      out.push_back(static_cast<char>(high * 16 + nibble(c)));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex length");
  return out;
}

inline std::string b64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  auto at = [&](std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[k]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  if (bytes.size() - i == 1) {
    std::uint32_t v = at(i) << 16;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += "==";
  } else if (bytes.size() - i == 2) {
    std::uint32_t v = at(i) << 16 | at(i + 1) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += '=';
  }
  return out;
}

// The request line a client sends for these MessagePack bytes.
inline std::string line_of(std::string_view msgpack) {
  return b64(msgpack) + "\n";
}

template <std::size_t N>
std::string bytes_of(const std::array<std::uint8_t, N>& a) {
  return std::string(a.begin(), a.end());
}

// MessagePack values, big-endian, in the width the name says or the shortest one.
namespace mp {

inline std::string be(std::uint64_t v, int n) {
  std::string out;
  for (int k = n - 1; k >= 0; --k) out.push_back(static_cast<char>(v >> (8 * k) & 0xff));
  return out;
}
inline std::string marker(std::uint8_t b) {
  return std::string(1, static_cast<char>(b));
}

inline std::string u8(std::uint64_t v) {
  return marker(0xcc) + be(v, 1);
}
inline std::string u16(std::uint64_t v) {
  return marker(0xcd) + be(v, 2);
}
inline std::string u32(std::uint64_t v) {
  return marker(0xce) + be(v, 4);
}
inline std::string u64(std::uint64_t v) {
  return marker(0xcf) + be(v, 8);
}
inline std::string i8(std::int64_t v) {
  return marker(0xd0) + be(static_cast<std::uint64_t>(v), 1);
}
inline std::string i16(std::int64_t v) {
  return marker(0xd1) + be(static_cast<std::uint64_t>(v), 2);
}
inline std::string i32(std::int64_t v) {
  return marker(0xd2) + be(static_cast<std::uint64_t>(v), 4);
}
inline std::string i64(std::int64_t v) {
  return marker(0xd3) + be(static_cast<std::uint64_t>(v), 8);
}
inline std::string uint(std::uint64_t v) {
  if (v < 128) return marker(static_cast<std::uint8_t>(v));
  if (v < 0x100) return u8(v);
  if (v < 0x10000) return u16(v);
  if (v < 0x100000000) return u32(v);
  return u64(v);
}
inline std::string f32(float v) {
  return marker(0xca) + be(std::bit_cast<std::uint32_t>(v), 4);
}
inline std::string f64(double v) {
  return marker(0xcb) + be(std::bit_cast<std::uint64_t>(v), 8);
}

inline std::string str8(std::string_view s) {
  return marker(0xd9) + be(s.size(), 1) + std::string(s);
}
inline std::string str16(std::string_view s) {
  return marker(0xda) + be(s.size(), 2) + std::string(s);
}
inline std::string str32(std::string_view s) {
  return marker(0xdb) + be(s.size(), 4) + std::string(s);
}
inline std::string str(std::string_view s) {
  if (s.size() < 32) return marker(static_cast<std::uint8_t>(0xa0 + s.size())) + std::string(s);
  if (s.size() < 0x100) return str8(s);
  if (s.size() < 0x10000) return str16(s);
  return str32(s);
}
inline std::string bin8(std::string_view s) {
  return marker(0xc4) + be(s.size(), 1) + std::string(s);
}
inline std::string bin16(std::string_view s) {
  return marker(0xc5) + be(s.size(), 2) + std::string(s);
}
inline std::string bin32(std::string_view s) {
  return marker(0xc6) + be(s.size(), 4) + std::string(s);
}

inline std::string array(std::size_t n) {
  if (n < 16) return marker(static_cast<std::uint8_t>(0x90 + n));
  if (n < 0x10000) return marker(0xdc) + be(n, 2);
  return marker(0xdd) + be(n, 4);
}
inline std::string array16(std::size_t n) {
  return marker(0xdc) + be(n, 2);
}
inline std::string array32(std::size_t n) {
  return marker(0xdd) + be(n, 4);
}
inline std::string map(std::size_t n) {
  if (n < 16) return marker(static_cast<std::uint8_t>(0x80 + n));
  if (n < 0x10000) return marker(0xde) + be(n, 2);
  return marker(0xdf) + be(n, 4);
}
inline std::string map16(std::size_t n) {
  return marker(0xde) + be(n, 2);
}
inline std::string map32(std::size_t n) {
  return marker(0xdf) + be(n, 4);
}

inline const std::string kNil = marker(0xc0);
inline const std::string kFalse = marker(0xc2);
inline const std::string kTrue = marker(0xc3);

}  // namespace mp

inline protocol::Key key_counting_from(std::uint8_t first) {
  protocol::Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

// client_key 0..31, server_key 32..63, shared_key 64..95; endpoint 10.0.0.1:51820; client
// 10.0.0.2 with ports 53 and 443.
inline protocol::Config sample_config() {
  protocol::Config config;
  config.encryption.client_key = key_counting_from(0);
  config.encryption.server_key = key_counting_from(32);
  config.encryption.shared_key = key_counting_from(64);
  config.endpoint.url = "vpn.example.com";
  config.endpoint.ip = {10, 0, 0, 1};
  config.endpoint.port = 51820;
  config.client.ip = {10, 0, 0, 2};
  config.client.ports = {53, 443};
  return config;
}

inline std::string key_text(const protocol::Key& key) {
  return b64(bytes_of(key));
}
inline std::string key_wire(const protocol::Key& key) {
  return mp::str(key_text(key));
}
inline std::string ip_wire(const protocol::Ipv4Address& ip) {
  return mp::array(4) + mp::uint(ip[0]) + mp::uint(ip[1]) + mp::uint(ip[2]) + mp::uint(ip[3]);
}

// Records in array form, shortest encodings.
inline std::string encryption_wire(const protocol::ConfigEncryption& e) {
  return mp::array(3) + key_wire(e.client_key) + key_wire(e.server_key) + key_wire(e.shared_key);
}
inline std::string endpoint_wire(const protocol::ConfigEndpoint& e) {
  return mp::array(3) + mp::str(e.url) + ip_wire(e.ip) + mp::uint(e.port);
}
inline std::string ports_wire(const std::vector<std::uint16_t>& ports) {
  std::string out = mp::array(ports.size());
  for (auto p : ports) out += mp::uint(p);
  return out;
}
inline std::string client_wire(const protocol::ConfigClient& c) {
  return mp::array(2) + ip_wire(c.ip) + ports_wire(c.ports);
}
inline std::string config_wire(const protocol::Config& c) {
  return mp::array(3) + encryption_wire(c.encryption) + endpoint_wire(c.endpoint) +
         client_wire(c.client);
}
inline std::string connect_wire(std::string_view config_bytes) {
  return mp::map(1) + mp::str("Connect") + std::string(config_bytes);
}

inline const char* variant_name(const protocol::Command& c) {
  static constexpr const char* kNames[] = {"Connect", "Disconnect", "Info"};
  return kNames[c.index()];
}

// The failure text of decoding these MessagePack bytes as a request line; a failure in the
// Base64 stage, or a success, is marked so that it never equals an expected message text.
inline std::string message_error(std::string_view msgpack) {
  auto decoded = protocol::decode_command(line_of(msgpack));
  if (decoded.command) return std::string("<decoded ") + variant_name(*decoded.command) + ">";
  if (decoded.command.error().stage == protocol::CommandDecodeError::Stage::kBase64)
    return "<Base64 stage> " + decoded.command.error().message;
  return decoded.command.error().message;
}

// The failure text of the Base64 stage for this line, marked likewise when it is not one.
inline std::string base64_stage_error(std::string_view line) {
  auto decoded = protocol::decode_command(line);
  if (decoded.command) return std::string("<decoded ") + variant_name(*decoded.command) + ">";
  if (decoded.command.error().stage == protocol::CommandDecodeError::Stage::kMessage)
    return "<message stage> " + decoded.command.error().message;
  return decoded.command.error().message;
}

inline std::optional<protocol::Command> decoded_command(std::string_view msgpack) {
  auto decoded = protocol::decode_command(line_of(msgpack));
  if (!decoded.command) return std::nullopt;
  return *decoded.command;
}

inline constexpr std::string_view kMarkerEof =
    "IO error while reading marker: failed to fill whole buffer";
inline constexpr std::string_view kDataEof =
    "IO error while reading data: failed to fill whole buffer";
inline constexpr std::string_view kBytesEof = "IO error while reading data: unexpected end of file";

}  // namespace kesta::test
