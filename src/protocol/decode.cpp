#include "protocol/decode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/escape.h"
#include "core/utf8.h"
#include "protocol/base64.h"
#include "protocol/msgpack_markers.h"
#include "protocol/msgpack_reader.h"

namespace kesta::protocol {
namespace {

// A declared element count is trusted for reserving memory only this far (1 MiB of u16).
constexpr std::uint64_t kPortsReserveLimit = 524'288;

// The fields of each record and the variants of each enumeration, in wire order: a record in
// array form holds its fields in this order, and a field or variant may be named by its index.
enum class ConfigField { kEncryption, kEndpoint, kClient };
enum class EncryptionField { kClientKey, kServerKey, kSharedKey };
enum class EndpointField { kUrl, kIp, kPort };
enum class ClientField { kIp, kPorts };
enum class InterfaceInfoField { kLastHandshake, kTxBytes, kRxBytes };
enum class SystemTimeField { kSecsSinceEpoch, kNanosSinceEpoch };
enum class CommandVariant { kConnect, kDisconnect, kInfo };
enum class ResponseVariant { kConnected, kDisconnected, kError };

template <class Field, std::size_t N>
struct RecordShape {
  std::string_view name;
  std::array<std::string_view, N> fields;  // the wire names, in Field order
  // What the first field expects: a bin where the record should be is read as a sequence of
  // byte-sized integers, so it fails at that field. Empty: the first field takes integers.
  std::string_view first_field_expects;
};

constexpr RecordShape<ConfigField, 3> kConfig{
    "Config", {"encryption", "endpoint", "client"}, "struct ConfigEncryption"};
constexpr RecordShape<EncryptionField, 3> kConfigEncryption{
    "ConfigEncryption", {"client_key", "server_key", "shared_key"}, "a string"};
constexpr RecordShape<EndpointField, 3> kConfigEndpoint{
    "ConfigEndpoint", {"url", "ip", "port"}, "a string"};
constexpr RecordShape<ClientField, 2> kConfigClient{
    "ConfigClient", {"ip", "ports"}, "an array of length 4"};
constexpr RecordShape<InterfaceInfoField, 3> kInterfaceInfo{
    "WireguardInterfaceInfo", {"last_handshake", "tx_bytes", "rx_bytes"}, "option"};
constexpr RecordShape<SystemTimeField, 2> kSystemTime{
    "SystemTime", {"secs_since_epoch", "nanos_since_epoch"}, ""};

template <class Variant, std::size_t N>
struct EnumShape {
  std::array<std::string_view, N> names;  // in Variant order
  std::array<bool, N> has_payload;
};

constexpr EnumShape<CommandVariant, 3> kCommandShape{{"Connect", "Disconnect", "Info"},
                                                     {true, false, false}};
constexpr EnumShape<ResponseVariant, 3> kResponseShape{{"Connected", "Disconnected", "Error"},
                                                       {true, false, true}};

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Equal texts of the same length, compared as two overlapping words where they are long
// enough: field names are short, and a call to memcmp would cost more than the comparison.
template <class Word>
bool same_words(const char* a, const char* b, std::size_t size) {
  Word a0, a1, b0, b1;
  std::memcpy(&a0, a, sizeof(Word));
  std::memcpy(&b0, b, sizeof(Word));
  std::memcpy(&a1, a + size - sizeof(Word), sizeof(Word));
  std::memcpy(&b1, b + size - sizeof(Word), sizeof(Word));
  return a0 == b0 && a1 == b1;
}

[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.size() >= 8) {
    return a.size() <= 16 ? same_words<std::uint64_t>(a.data(), b.data(), a.size()) : a == b;
  }
  if (a.size() >= 4) return same_words<std::uint32_t>(a.data(), b.data(), a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Position of `name` in `names`, or names.size().
[[gnu::always_inline]] inline std::size_t index_of(std::span<const std::string_view> names,
                                                   std::string_view name) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (same_text(names[i], name)) return i;
  }
  return names.size();
}

std::string invalid_length(std::uint64_t found, std::string_view expected) {
  return "invalid length " + std::to_string(found) + ", expected " + std::string(expected);
}
std::string incorrect_length(std::uint64_t expected) {
  return "array had incorrect length, expected " + std::to_string(expected);
}

// Decodes the records of the protocol. Every operation returns false on failure; the reader
// keeps the failure's text.
class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> bytes) : reader_(bytes) {}

  MsgpackReader& reader() { return reader_; }

  // A record in array form (fields in order) or map form (fields by name or index).
  template <class Field, std::size_t N, class DecodeField>
  bool record(const RecordShape<Field, N>& shape, DecodeField&& decode_field) {
    ValueHead head;
    if (!reader_.next(head)) return false;
    switch (head.family) {
      case Family::kArray:
        if (!reader_.enter()) return false;
        for (std::size_t i = 0; i < N; ++i) {
          if (i >= head.bits) return reader_.fail(record_length(head.bits, shape));
          if (!decode_field(static_cast<Field>(i))) return false;
        }
        if (head.bits > N) return reader_.fail(incorrect_length(N));
        reader_.leave();
        return true;
      case Family::kMap: {
        if (!reader_.enter()) return false;
        std::array<bool, N> seen{};
        for (std::uint64_t entry = 0; entry < head.bits; ++entry) {
          std::size_t field;
          if (!field_identifier(shape.fields, field)) return false;
          if (field >= N) {
            if (!reader_.skip()) return false;
            continue;
          }
          if (seen[field]) {
            return reader_.fail("duplicate field `" + std::string(shape.fields[field]) + "`");
          }
          seen[field] = true;
          if (!decode_field(static_cast<Field>(field))) return false;
        }
        for (std::size_t i = 0; i < N; ++i) {
          if (!seen[i]) return reader_.fail("missing field `" + std::string(shape.fields[i]) + "`");
        }
        reader_.leave();
        return true;
      }
      case Family::kBin:
        if (head.bytes.empty()) return reader_.fail(record_length(0, shape));
        if (!shape.first_field_expects.empty()) {
          return reader_.fail("invalid type: integer `" + std::to_string(head.bytes[0]) +
                              "`, expected " + std::string(shape.first_field_expects));
        }
        break;
      default:
        break;
    }
    return reader_.unexpected(head, "struct " + std::string(shape.name));
  }

  // Index of the named field, or fields.size() for an entry to skip.
  bool field_identifier(std::span<const std::string_view> fields, std::size_t& out) {
    ValueHead head;
    if (!reader_.next(head)) return false;
    switch (head.family) {
      case Family::kStr:
      case Family::kBin:
        out = index_of(fields, head.text());
        return true;
      case Family::kInt:
        if (head.signed_family) break;
        out = static_cast<std::size_t>(std::min<std::uint64_t>(head.bits, fields.size()));
        return true;
      default:
        break;
    }
    return reader_.unexpected(head, "field identifier");
  }

  // Index of the variant named by `head`: by name (str or bin) or by index.
  bool variant(const ValueHead& head, std::span<const std::string_view> names, std::size_t& out) {
    switch (head.family) {
      case Family::kStr:
      case Family::kBin: {
        out = index_of(names, head.text());
        if (out < names.size()) return true;
        const auto error = validate_utf8(head.text());
        if (error && head.family == Family::kStr) {
          return reader_.fail("string found to be invalid utf8: " + error->message());
        }
        std::string text =
            "unknown variant `" + escape_log_text(utf8_lossy(head.text())) + "`, expected one of ";
        for (std::size_t i = 0; i < names.size(); ++i) {
          text += (i == 0 ? "`" : ", `") + std::string(names[i]) + "`";
        }
        return reader_.fail(std::move(text));
      }
      case Family::kInt:
        if (head.signed_family) break;
        if (head.bits < names.size()) {
          out = static_cast<std::size_t>(head.bits);
          return true;
        }
        return reader_.fail("invalid value: integer `" + integer_text(head) +
                            "`, expected variant index 0 <= i < " + std::to_string(names.size()));
      default:
        break;
    }
    return reader_.unexpected(head, "variant identifier");
  }

  // An integer of any family within 0..max; `type` names the target ("u16").
  bool unsigned_number(std::uint64_t max, std::string_view type, std::uint64_t& out) {
    return reader_.try_small_unsigned(max, out) || any_unsigned_number(max, type, out);
  }

  [[gnu::noinline]] bool any_unsigned_number(std::uint64_t max, std::string_view type,
                                             std::uint64_t& out) {
    std::uint8_t marker = 0;
    if (!reader_.marker(marker)) return false;
    switch (family_of(marker)) {
      case Family::kStr:
      case Family::kBin:
      case Family::kArray:
      case Family::kMap:
      case Family::kExt:
      case Family::kReserved:
        return reader_.fail(wrong_marker(marker));
      default:
        break;
    }
    ValueHead head;
    if (!reader_.head(marker, head)) return false;
    if (head.family != Family::kInt) return reader_.unexpected(head, type);
    if (head.negative || head.bits > max) {
      return reader_.fail("invalid value: integer `" + integer_text(head) + "`, expected " +
                          std::string(type));
    }
    out = head.bits;
    return true;
  }

  // UTF-8 text from a str, or from a bin whose bytes are UTF-8.
  bool text(std::string_view& out) {
    ValueHead head;
    if (!reader_.next(head)) return false;
    if (head.family == Family::kStr) {
      if (auto error = validate_utf8(head.text())) {
        return reader_.fail("string found to be invalid utf8: " + error->message());
      }
      out = head.text();
      return true;
    }
    if (head.family == Family::kBin) {
      if (validate_utf8(head.text())) {
        return reader_.fail("invalid value: byte array, expected a string");
      }
      out = head.text();
      return true;
    }
    return reader_.unexpected(head, "a string");
  }

  // A key: Base64 text of exactly 32 bytes.
  bool key(Key& out) {
    // Base64 first: text it accepts is ASCII, so only a refused one needs the UTF-8 check
    // (whose failure, coming from the text rule, is reported first).
    ValueHead head;
    if (!reader_.next(head)) return false;
    if (head.family != Family::kStr && head.family != Family::kBin) {
      return reader_.unexpected(head, "a string");
    }
    // Decoded through a roomier buffer so that the whole text takes the fast path.
    std::array<std::uint8_t, 48> bytes;
    const auto count = base64_decode(head.text(), bytes);
    if (count && *count == out.size()) std::copy_n(bytes.begin(), out.size(), out.begin());
    if (!count) {
      if (auto error = validate_utf8(head.text())) {
        return reader_.fail(head.family == Family::kStr
                                ? "string found to be invalid utf8: " + error->message()
                                : "invalid value: byte array, expected a string");
      }
      return reader_.fail(count.error().message());
    }
    if (*count != out.size()) return reader_.fail("Invalid key length: " + std::to_string(*count));
    return true;
  }

  // Four byte-sized numbers: an array of exactly four, or a bin of at least four bytes.
  bool address(Ipv4Address& out) {
    static constexpr std::string_view kExpected = "an array of length 4";
    ValueHead head;
    if (!reader_.next(head)) return false;
    if (head.family == Family::kArray) {
      if (!reader_.enter()) return false;
      for (std::size_t i = 0; i < out.size(); ++i) {
        if (i >= head.bits) return reader_.fail(invalid_length(head.bits, kExpected));
        std::uint64_t element;
        if (!unsigned_number(0xff, "u8", element)) return false;
        out[i] = static_cast<std::uint8_t>(element);
      }
      if (head.bits > out.size()) return reader_.fail(incorrect_length(out.size()));
      reader_.leave();
      return true;
    }
    if (head.family == Family::kBin) {
      if (head.bytes.size() < out.size()) {
        return reader_.fail(invalid_length(head.bytes.size(), kExpected));
      }
      std::copy_n(head.bytes.begin(), out.size(), out.begin());
      return true;
    }
    return reader_.unexpected(head, kExpected);
  }

  bool ports(std::vector<std::uint16_t>& out) {
    ValueHead head;
    if (!reader_.next(head)) return false;
    if (head.family == Family::kArray) {
      if (!reader_.enter()) return false;
      out.reserve(static_cast<std::size_t>(std::min(head.bits, kPortsReserveLimit)));
      for (std::uint64_t i = 0; i < head.bits; ++i) {
        std::uint64_t port;
        if (!unsigned_number(0xffff, "u16", port)) return false;
        out.push_back(static_cast<std::uint16_t>(port));
      }
      reader_.leave();
      return true;
    }
    if (head.family == Family::kBin) {
      out.assign(head.bytes.begin(), head.bytes.end());
      return true;
    }
    return reader_.unexpected(head, "a sequence");
  }

  bool config(Config& config) {
    return record(kConfig, [&](ConfigField field) {
      switch (field) {
        case ConfigField::kEncryption:
          return record(kConfigEncryption, [&](EncryptionField key_field) {
            return key(config.encryption, key_field);
          });
        case ConfigField::kEndpoint:
          return record(kConfigEndpoint, [&](EndpointField endpoint_field) {
            return endpoint(config.endpoint, endpoint_field);
          });
        case ConfigField::kClient:
          return record(kConfigClient, [&](ClientField client_field) {
            return client(config.client, client_field);
          });
      }
      std::unreachable();
    });
  }

  bool key(ConfigEncryption& encryption, EncryptionField field) {
    switch (field) {
      case EncryptionField::kClientKey:
        return key(encryption.client_key);
      case EncryptionField::kServerKey:
        return key(encryption.server_key);
      case EncryptionField::kSharedKey:
        return key(encryption.shared_key);
    }
    std::unreachable();
  }

  bool endpoint(ConfigEndpoint& endpoint, EndpointField field) {
    switch (field) {
      case EndpointField::kUrl: {
        std::string_view url;
        if (!text(url)) return false;
        endpoint.url.assign(url);
        return true;
      }
      case EndpointField::kIp:
        return address(endpoint.ip);
      case EndpointField::kPort: {
        std::uint64_t port;
        if (!unsigned_number(0xffff, "u16", port)) return false;
        endpoint.port = static_cast<std::uint16_t>(port);
        return true;
      }
    }
    std::unreachable();
  }

  bool client(ConfigClient& client, ClientField field) {
    switch (field) {
      case ClientField::kIp:
        return address(client.ip);
      case ClientField::kPorts:
        return ports(client.ports);
    }
    std::unreachable();
  }

  // The payload of a variant without data must be nil.
  bool unit_payload() {
    std::uint8_t marker = 0;
    if (!reader_.marker(marker)) return false;
    if (marker != msgpack::kNil) return reader_.fail(wrong_marker(marker));
    return true;
  }

  // An enum value: a single-entry map {variant: payload}, or the variant identifier alone.
  // Sets the variant; `payload` reads the data of a variant that has some.
  template <class Variant, std::size_t N, class ReadPayload>
  bool enumeration(const EnumShape<Variant, N>& shape, Variant& out, ReadPayload&& payload) {
    ValueHead head;
    if (!reader_.next(head)) return false;
    std::size_t index = 0;
    if (head.family == Family::kMap) {
      if (head.bits != 1) return reader_.fail(incorrect_length(head.bits));
      ValueHead name;
      if (!reader_.next(name) || !variant(name, shape.names, index)) return false;
      out = static_cast<Variant>(index);
      return shape.has_payload[index] ? payload(out) : unit_payload();
    }
    if (!variant(head, shape.names, index)) return false;
    out = static_cast<Variant>(index);
    if (shape.has_payload[index]) {
      return reader_.fail("invalid type: unit variant, expected newtype variant");
    }
    return true;
  }

 private:
  template <class Field, std::size_t N>
  static std::string record_length(std::uint64_t found, const RecordShape<Field, N>& shape) {
    return invalid_length(
        found, "struct " + std::string(shape.name) + " with " + std::to_string(N) + " elements");
  }

  MsgpackReader reader_;
};

// A point in time as seconds and nanoseconds since the Unix epoch.
bool read_system_time(Decoder& decoder, std::optional<SystemTime>& out) {
  std::uint64_t secs = 0;
  std::uint64_t nanos = 0;
  const bool ok = decoder.record(kSystemTime, [&](SystemTimeField field) {
    switch (field) {
      case SystemTimeField::kSecsSinceEpoch:
        return decoder.unsigned_number(UINT64_MAX, "u64", secs);
      case SystemTimeField::kNanosSinceEpoch:
        return decoder.unsigned_number(UINT32_MAX, "u32", nanos);
    }
    std::unreachable();
  });
  if (!ok) return false;
  constexpr std::uint64_t kIntervalsPerSecond = 10'000'000;
  const auto room = static_cast<std::uint64_t>(INT64_MAX - kUnixEpochIntervals);
  if (nanos >= 1'000'000'000 || secs > (room - nanos / 100) / kIntervalsPerSecond) {
    return decoder.reader().fail("overflow deserializing SystemTime");
  }
  out = SystemTime{kUnixEpochIntervals +
                   static_cast<std::int64_t>(secs * kIntervalsPerSecond + nanos / 100)};
  return true;
}

bool read_connected(Decoder& decoder, Response& response) {
  WireguardInterfaceInfo info;
  const bool ok = decoder.record(kInterfaceInfo, [&](InterfaceInfoField field) {
    switch (field) {
      case InterfaceInfoField::kLastHandshake: {
        std::uint8_t marker = 0;
        if (!decoder.reader().peek_marker(marker)) return false;
        if (marker == msgpack::kNil) return decoder.unit_payload();
        return read_system_time(decoder, info.last_handshake);
      }
      case InterfaceInfoField::kTxBytes:
        return decoder.unsigned_number(UINT64_MAX, "u64", info.tx_bytes);
      case InterfaceInfoField::kRxBytes:
        return decoder.unsigned_number(UINT64_MAX, "u64", info.rx_bytes);
    }
    std::unreachable();
  });
  if (ok) response = Connected{info};
  return ok;
}

bool read_error(Decoder& decoder, Response& response) {
  std::string_view text;
  if (!decoder.text(text)) return false;
  response = Error{std::string(text)};
  return true;
}

// Base64 of a line decodes into a stack buffer; only unusually long lines allocate.
template <class Use>
auto with_base64_bytes(std::string_view text, Use&& use)
    -> decltype(use(std::expected<std::span<const std::uint8_t>, Base64Error>{})) {
  std::array<std::uint8_t, 4096> local;
  std::vector<std::uint8_t> heap;
  std::span<std::uint8_t> buffer(local);
  const std::size_t capacity = base64_decoded_capacity(text.size());
  if (capacity > local.size()) {
    heap.resize(capacity);
    buffer = heap;
  }
  auto count = base64_decode(text, buffer);
  if (!count) return use(std::unexpected(count.error()));
  return use(std::span<const std::uint8_t>(buffer.first(*count)));
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  // Most lines start with a Base64 symbol and end in a bare line feed.
  auto plain = [](char c) { return c > 0x20 && c < 0x7f; };
  if (text.size() >= 2 && plain(text.front()) && text.back() == '\n' &&
      plain(text[text.size() - 2])) {
    return text.substr(0, text.size() - 1);
  }
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    const std::size_t length = utf8_decode_at(text, begin, c);
    if (!is_white_space(c)) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    char32_t c;
    const std::size_t length = utf8_decode_at(text, start, c);
    if (start + length != end || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

DecodedCommand decode_command(std::string_view line) {
  // The command is decoded in place: a Connect is large enough for moves to show.
  DecodedCommand result{trim_white_space(line), Command{}};
  with_base64_bytes(result.trimmed, [&](std::expected<std::span<const std::uint8_t>, Base64Error>
                                            bytes) {
    using Stage = CommandDecodeError::Stage;
    if (!bytes) {
      result.command = std::unexpected(CommandDecodeError{Stage::kBase64, bytes.error().message()});
      return;
    }
    Decoder decoder(*bytes);
    CommandVariant variant = CommandVariant::kConnect;
    const bool ok = decoder.enumeration(kCommandShape, variant, [&](CommandVariant) {
      return decoder.config(std::get<Connect>(*result.command).config);
    });
    if (!ok) {
      result.command =
          std::unexpected(CommandDecodeError{Stage::kMessage, decoder.reader().take_failure()});
      return;
    }
    switch (variant) {
      case CommandVariant::kConnect:
        break;  // decoded in place
      case CommandVariant::kDisconnect:
        result.command = Disconnect{};
        break;
      case CommandVariant::kInfo:
        result.command = Info{};
        break;
    }
  });
  return result;
}

std::expected<Response, std::string> decode_response(std::string_view line) {
  return with_base64_bytes(
      trim_white_space(line),
      [](std::expected<std::span<const std::uint8_t>, Base64Error> bytes)
          -> std::expected<Response, std::string> {
        if (!bytes) return std::unexpected(bytes.error().message());
        Decoder decoder(*bytes);
        Response response = Disconnected{};
        ResponseVariant variant = ResponseVariant::kDisconnected;
        const bool ok = decoder.enumeration(kResponseShape, variant, [&](ResponseVariant v) {
          return v == ResponseVariant::kConnected ? read_connected(decoder, response)
                                                  : read_error(decoder, response);
        });
        if (!ok) return std::unexpected(decoder.reader().take_failure());
        return response;
      });
}

}  // namespace kesta::protocol
