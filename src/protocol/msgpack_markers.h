#pragma once

// The MessagePack marker bytes, named once for the reader, the decoder and the writer.

#include <cstdint>

namespace kesta::protocol::msgpack {

// Markers that carry a small value in their low bits: the value 0..127, a map or array of up to
// 15 entries, a str of up to 31 bytes, the value -32..-1.
inline constexpr std::uint8_t kPositiveFixintLast = 0x7f;
inline constexpr std::uint8_t kFixmap = 0x80;
inline constexpr std::uint8_t kFixmapLast = 0x8f;
inline constexpr std::uint8_t kFixarray = 0x90;
inline constexpr std::uint8_t kFixarrayLast = 0x9f;
inline constexpr std::uint8_t kFixstr = 0xa0;
inline constexpr std::uint8_t kFixstrLast = 0xbf;
inline constexpr std::uint8_t kNegativeFixint = 0xe0;
inline constexpr std::uint8_t kFixContainerLengthMask = 0x0f;
inline constexpr std::uint8_t kFixstrLengthMask = 0x1f;

inline constexpr std::uint8_t kNil = 0xc0;
inline constexpr std::uint8_t kNeverUsed = 0xc1;
inline constexpr std::uint8_t kFalse = 0xc2;
inline constexpr std::uint8_t kTrue = 0xc3;
inline constexpr std::uint8_t kBin8 = 0xc4;
inline constexpr std::uint8_t kBin16 = 0xc5;
inline constexpr std::uint8_t kBin32 = 0xc6;
inline constexpr std::uint8_t kExt8 = 0xc7;
inline constexpr std::uint8_t kExt16 = 0xc8;
inline constexpr std::uint8_t kExt32 = 0xc9;
inline constexpr std::uint8_t kFloat32 = 0xca;
inline constexpr std::uint8_t kFloat64 = 0xcb;
inline constexpr std::uint8_t kUint8 = 0xcc;
inline constexpr std::uint8_t kUint16 = 0xcd;
inline constexpr std::uint8_t kUint32 = 0xce;
inline constexpr std::uint8_t kUint64 = 0xcf;
inline constexpr std::uint8_t kInt8 = 0xd0;
inline constexpr std::uint8_t kInt16 = 0xd1;
inline constexpr std::uint8_t kInt32 = 0xd2;
inline constexpr std::uint8_t kInt64 = 0xd3;
inline constexpr std::uint8_t kFixext1 = 0xd4;
inline constexpr std::uint8_t kFixext16 = 0xd8;
inline constexpr std::uint8_t kStr8 = 0xd9;
inline constexpr std::uint8_t kStr16 = 0xda;
inline constexpr std::uint8_t kStr32 = 0xdb;
inline constexpr std::uint8_t kArray16 = 0xdc;
inline constexpr std::uint8_t kArray32 = 0xdd;
inline constexpr std::uint8_t kMap16 = 0xde;
inline constexpr std::uint8_t kMap32 = 0xdf;

}  // namespace kesta::protocol::msgpack
