#pragma once

#include <expected>
#include <string>

namespace kesta::kestactl {

// The whole of a file, or why it cannot be read: the system's own words, or "it is a
// directory" (which Windows reports as access denied).
std::expected<std::string, std::string> read_whole_file(const std::string& path);

#ifdef _WIN32
bool is_directory(const std::wstring& path);
#endif

}  // namespace kesta::kestactl
