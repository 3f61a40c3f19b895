#include "protocol/msgpack_reader.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>

#include "core/escape.h"
#include "core/utf8.h"

namespace kesta::protocol {
namespace {

constexpr std::string_view kMarkerEof =
    "IO error while reading marker: failed to fill whole buffer";
constexpr std::string_view kDataEof = "IO error while reading data: failed to fill whole buffer";
constexpr std::string_view kPayloadEof = "IO error while reading data: unexpected end of file";

// Names of the single-byte markers from nil to map 32.
constexpr std::array<std::string_view, 32> kNames = {
    "Null",     "Reserved", "False", "True",  "Bin8",    "Bin16",   "Bin32",   "Ext8",
    "Ext16",    "Ext32",    "F32",   "F64",   "U8",      "U16",     "U32",     "U64",
    "I8",       "I16",      "I32",   "I64",   "FixExt1", "FixExt2", "FixExt4", "FixExt8",
    "FixExt16", "Str8",     "Str16", "Str32", "Array16", "Array32", "Map16",   "Map32"};

}  // namespace

Family family_of(std::uint8_t m) {
  using namespace msgpack;
  if (m <= kPositiveFixintLast || m >= kNegativeFixint) return Family::kInt;
  if (m <= kFixmapLast) return Family::kMap;
  if (m <= kFixarrayLast) return Family::kArray;
  if (m <= kFixstrLast) return Family::kStr;
  switch (m) {
    case kNil:
      return Family::kNil;
    case kNeverUsed:
      return Family::kReserved;
    case kFalse:
    case kTrue:
      return Family::kBool;
    case kBin8:
    case kBin16:
    case kBin32:
      return Family::kBin;
    case kFloat32:
    case kFloat64:
      return Family::kFloat;
    case kStr8:
    case kStr16:
    case kStr32:
      return Family::kStr;
    case kArray16:
    case kArray32:
      return Family::kArray;
    case kMap16:
    case kMap32:
      return Family::kMap;
    default:
      break;
  }
  if (m >= kUint8 && m <= kInt64) return Family::kInt;
  return Family::kExt;  // ext 8..32, fixext 1..16
}

std::string marker_name(std::uint8_t m) {
  using namespace msgpack;
  if (m <= kPositiveFixintLast) return "FixPos(" + std::to_string(m) + ")";
  if (m >= kNegativeFixint) return "FixNeg(" + std::to_string(static_cast<int>(m) - 256) + ")";
  if (m <= kFixmapLast) return "FixMap(" + std::to_string(m & kFixContainerLengthMask) + ")";
  if (m <= kFixarrayLast) return "FixArray(" + std::to_string(m & kFixContainerLengthMask) + ")";
  if (m <= kFixstrLast) return "FixStr(" + std::to_string(m & kFixstrLengthMask) + ")";
  return std::string(kNames[m - kNil]);
}

std::string wrong_marker(std::uint8_t marker) {
  return "wrong msgpack marker " + marker_name(marker);
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest round-trip digits, then laid out in plain notation.
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  const std::size_t e = sci.find('e');
  std::string_view mantissa = sci.substr(0, e);
  int exponent = 0;
  const std::string_view exponent_text = sci.substr(e + (sci[e + 1] == '+' ? 2 : 1));
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  std::string out;
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  // The value is 0.digits x 10^point.
  const int point = exponent + 1;
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

std::string integer_text(const ValueHead& head) {
  if (head.negative) return std::to_string(static_cast<std::int64_t>(head.bits));
  return std::to_string(head.bits);
}

bool MsgpackReader::fail_marker_eof() {
  return fail(std::string(kMarkerEof));
}

bool MsgpackReader::number(std::size_t width, std::uint64_t& out) {
  if (static_cast<std::size_t>(end_ - pos_) < width) return fail(std::string(kDataEof));
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8) | pos_[i];
  pos_ += width;
  out = value;
  return true;
}

bool MsgpackReader::payload(std::uint64_t length, std::span<const std::uint8_t>& out) {
  if (static_cast<std::uint64_t>(end_ - pos_) < length) return fail(std::string(kPayloadEof));
  out = {pos_, static_cast<std::size_t>(length)};
  pos_ += length;
  return true;
}

bool MsgpackReader::head(std::uint8_t m, ValueHead& h) {
  using namespace msgpack;
  h.marker = m;
  h.family = family_of(m);
  switch (h.family) {
    case Family::kReserved:
      return fail(wrong_marker(m));
    case Family::kNil:
      return true;
    case Family::kBool:
      return true;
    case Family::kInt:
      if (m <= kPositiveFixintLast) {
        h.bits = m;
        return true;
      }
      if (m >= kNegativeFixint) {
        h.bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(m) - 256);
        h.negative = h.signed_family = true;
        return true;
      }
      if (m <= kUint64) return number(std::size_t{1} << (m - kUint8), h.bits);
      {
        const std::size_t width = std::size_t{1} << (m - kInt8);
        if (!number(width, h.bits)) return false;
        // Sign-extend from the encoded width.
        const unsigned shift = static_cast<unsigned>(64 - 8 * width);
        h.bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(h.bits << shift) >> shift);
        h.signed_family = true;
        h.negative = static_cast<std::int64_t>(h.bits) < 0;
      }
      return true;
    case Family::kFloat:
      if (m == kFloat32) {
        if (!number(4, h.bits)) return false;
        h.real = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(h.bits)));
      } else {
        if (!number(8, h.bits)) return false;
        h.real = std::bit_cast<double>(h.bits);
      }
      return true;
    case Family::kStr:
    case Family::kBin: {
      std::uint64_t length = m & kFixstrLengthMask;
      if (m > kFixstrLast) {
        const std::size_t width = std::size_t{1}
                                  << (h.family == Family::kStr ? m - kStr8 : m - kBin8);
        if (!number(width, length)) return false;
      }
      return payload(length, h.bytes);
    }
    case Family::kArray:
    case Family::kMap:
      if (m <= kFixarrayLast) {
        h.bits = m & kFixContainerLengthMask;
        return true;
      }
      return number(m == kArray16 || m == kMap16 ? 2 : 4, h.bits);
    case Family::kExt:
      // The ext's length; its type byte and data are read by whoever reads the contents.
      if (m >= kFixext1) {
        h.bits = std::uint64_t{1} << (m - kFixext1);
        return true;
      }
      return number(std::size_t{1} << (m - kExt8), h.bits);
  }
  return true;
}

bool MsgpackReader::skip() {
  ValueHead h;
  if (!next(h)) return false;
  switch (h.family) {
    case Family::kArray:
    case Family::kMap: {
      if (!enter()) return false;
      const std::uint64_t values = h.family == Family::kMap ? h.bits * 2 : h.bits;
      for (std::uint64_t i = 0; i < values; ++i) {
        if (!skip()) return false;
      }
      leave();
      return true;
    }
    case Family::kExt: {
      std::uint64_t tag = 0;
      std::span<const std::uint8_t> data;
      if (!enter() || !number(1, tag) || !payload(h.bits, data)) return false;
      leave();
      return true;
    }
    default:
      return true;
  }
}

bool MsgpackReader::unexpected(const ValueHead& h, std::string_view expected) {
  std::string kind;
  switch (h.family) {
    case Family::kNil:
      kind = "unit value";
      break;
    case Family::kBool:
      kind = h.marker == msgpack::kTrue ? "boolean `true`" : "boolean `false`";
      break;
    case Family::kInt:
      kind = "integer `" + integer_text(h) + "`";
      break;
    case Family::kFloat:
      kind = "floating point `" + float_text(h.real) + "`";
      break;
    case Family::kStr:
      if (auto error = validate_utf8(h.text())) {
        return fail("string found to be invalid utf8: " + error->message());
      }
      kind = "string " + quoted(h.text());
      break;
    case Family::kBin:
      kind = "byte array";
      break;
    case Family::kArray:
    case Family::kMap:
    case Family::kExt:
      if (!enter()) return false;
      kind = h.family == Family::kArray ? "sequence"
             : h.family == Family::kMap ? "map"
                                        : "newtype struct";
      break;
    case Family::kReserved:
      return fail(wrong_marker(h.marker));
  }
  return fail("invalid type: " + kind + ", expected " + std::string(expected));
}

}  // namespace kesta::protocol
