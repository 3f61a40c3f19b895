#pragma once

// The little the simulator needs from the platform, so that one source serves the in-process
// library and the DLL.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kesta::wgsim::platform {

void set_last_error(std::uint32_t code);
// The folder of the simulated wireguard.dll; empty when the simulator is linked in-process.
std::filesystem::path library_directory();
std::optional<std::string> read_file(const std::filesystem::path& path);
void append_line(const std::filesystem::path& path, const std::string& line);
// 100-nanosecond intervals since 1601-01-01 UTC, as the driver reports points in time.
std::uint64_t system_time_now();
// The calling thread's error mode; 0 where there is none.
std::uint32_t thread_error_mode();
void set_thread_error_mode(std::uint32_t mode);
// Replaces the process's standard error with a handle that refuses writes.
void make_standard_error_read_only();

}  // namespace kesta::wgsim::platform

namespace kesta::wgsim {

// Called by the DLL when it is loaded into a process; journals the thread's error mode.
void library_attached();

}  // namespace kesta::wgsim
