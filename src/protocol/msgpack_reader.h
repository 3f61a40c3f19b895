#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/msgpack_markers.h"

namespace kesta::protocol {

enum class Family { kInt, kNil, kBool, kFloat, kStr, kBin, kArray, kMap, kExt, kReserved };
Family family_of(std::uint8_t marker);

// "FixPos(1)", "FixMap(2)", "Str8", "Reserved", ... as shown after "wrong msgpack marker ".
std::string marker_name(std::uint8_t marker);
std::string wrong_marker(std::uint8_t marker);

// Shortest decimal that reads back to `value`, never with an exponent, always with a point.
std::string float_text(double value);

// A value whose marker and fixed-size parts have been read (a fresh one per value: only the
// fields of its family are set): numbers, the bytes of a str or
// bin, the element count of an array, map or ext.
struct ValueHead {
  Family family = Family::kNil;
  std::uint8_t marker = 0;
  bool negative = false;       // an integer below zero
  bool signed_family = false;  // int 8..64 or negative fixint, whatever the value
  std::uint64_t bits = 0;      // integer as two's complement bits; container length
  double real = 0;             // a float, widened
  std::span<const std::uint8_t> bytes;
  std::string_view text() const {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }
};

std::string integer_text(const ValueHead& head);

// Reads MessagePack values from a byte span. Every operation returns false on failure and
// keeps the first failure's text, which is exactly what the log shows.
class MsgpackReader {
 public:
  static constexpr int kDepthBudget = 1024;

  explicit MsgpackReader(std::span<const std::uint8_t> data)
      : pos_(data.data()), end_(data.data() + data.size()) {}

  bool marker(std::uint8_t& out) {
    if (pos_ == end_) return fail_marker_eof();
    out = *pos_++;
    return true;
  }
  bool peek_marker(std::uint8_t& out) {
    if (pos_ == end_) return fail_marker_eof();
    out = *pos_;
    return true;
  }
  bool head(std::uint8_t marker, ValueHead& out);
  bool next(ValueHead& out) {
    if (pos_ == end_) return fail_marker_eof();
    const std::uint8_t m = *pos_++;
    // The fix families are most of every message.
    if (m >= msgpack::kFixmap && m <= msgpack::kFixarrayLast) {
      out.marker = m;
      out.family = m <= msgpack::kFixmapLast ? Family::kMap : Family::kArray;
      out.bits = m & msgpack::kFixContainerLengthMask;
      return true;
    }
    const std::size_t fixstr_length = m & msgpack::kFixstrLengthMask;
    if (m >= msgpack::kFixstr && m <= msgpack::kFixstrLast &&
        static_cast<std::size_t>(end_ - pos_) >= fixstr_length) {
      out.marker = m;
      out.family = Family::kStr;
      out.bytes = {pos_, fixstr_length};
      pos_ += fixstr_length;
      return true;
    }
    if (m == msgpack::kStr8 && pos_ != end_ && static_cast<std::size_t>(end_ - pos_ - 1) >= *pos_) {
      out.marker = m;
      out.family = Family::kStr;
      out.bytes = {pos_ + 1, *pos_};
      pos_ += 1 + *pos_;
      return true;
    }
    return head(m, out);
  }

  // Reads a positive fixint, uint 8 or uint 16 that fits in `max`; returns false without
  // consuming anything when the next value is something else.
  bool try_small_unsigned(std::uint64_t max, std::uint64_t& out) {
    if (pos_ == end_) return false;
    const std::uint8_t m = *pos_;
    std::size_t size = 1;
    if (m <= msgpack::kPositiveFixintLast) {
      out = m;
    } else if (m == msgpack::kUint8 && end_ - pos_ >= 2) {
      out = pos_[1];
      size = 2;
    } else if (m == msgpack::kUint16 && end_ - pos_ >= 3) {
      out = (std::uint64_t{pos_[1]} << 8) | pos_[2];
      size = 3;
    } else {
      return false;
    }
    if (out > max) return false;
    pos_ += size;
    return true;
  }

  // Entering an array, map or ext spends one level of the budget until it has been read.
  bool enter() {
    if (depth_ <= 1) return fail("depth limit exceeded");
    --depth_;
    return true;
  }
  void leave() { ++depth_; }

  // Reads one whole value and drops it.
  bool skip();

  // Fails with "invalid type: {kind}, expected {expected}", after entering a container as
  // reading it would; a str that is not UTF-8 fails as such instead.
  bool unexpected(const ValueHead& head, std::string_view expected);

  bool fail(std::string text) {
    if (failure_.empty()) failure_ = std::move(text);
    return false;
  }
  std::string take_failure() { return std::move(failure_); }

 private:
  bool fail_marker_eof();
  bool number(std::size_t width, std::uint64_t& out);
  bool payload(std::uint64_t length, std::span<const std::uint8_t>& out);

  const std::uint8_t* pos_;
  const std::uint8_t* end_;
  int depth_ = kDepthBudget;
  std::string failure_;
};

}  // namespace kesta::protocol
