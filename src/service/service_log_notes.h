#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What the service log says about itself, shared with the client that follows it.
namespace kesta::service {

// Any local account can make the service log a line, so the file is bounded: before a line that
// would take it past this size, its bytes are copied to "<log>.1" and it starts again.
inline constexpr std::uint64_t kServiceLogBound = 16 * 1024 * 1024;

// While "<log>.1" cannot be written, the copy is tried again whenever the log has grown by this
// much, and the log is emptied in place rather than grow past twice its bound.
inline constexpr std::uint64_t kServiceLogCopyRetry = 1024 * 1024;

inline constexpr std::string_view kLogContinuedNote = "Log continued; earlier lines are in ";
inline constexpr std::string_view kLogEmptiedNote = "Log emptied after reaching ";
inline constexpr std::string_view kMovedAsideNote = "Moved aside what stood at ";

// The first line after a copy to `copy_name` (the copy's file name).
inline std::string log_continued_note(std::string_view copy_name) {
  return std::string(kLogContinuedNote) + std::string(copy_name);
}

// The first line of a log emptied in place after holding `size` bytes.
inline std::string log_emptied_note(std::uint64_t size, std::string_view copy_name,
                                    std::string_view reason) {
  return std::string(kLogEmptiedNote) + std::to_string(size) + " bytes; " + std::string(copy_name) +
         " could not be written: " + std::string(reason);
}

inline std::string moved_aside_note(std::string_view path, std::string_view now) {
  return std::string(kMovedAsideNote) + std::string(path) + ": now " + std::string(now);
}

}  // namespace kesta::service
