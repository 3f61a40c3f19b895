#include "text_file.h"

#ifdef _WIN32
#include <windows.h>

#include "core/error.h"
#include "core/unique_handle_win.h"
#include "core/utf16.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#endif

namespace kesta::kestactl {

#ifdef _WIN32

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::expected<std::string, std::string> read_whole_file(const std::string& path) {
  const std::wstring wide = widen(path);
  const UniqueFile file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD code = GetLastError();
    if (is_directory(wide)) return std::unexpected(std::string("it is a directory"));
    return std::unexpected(system_error_message(code));
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
      return std::unexpected(last_error().message());
    }
    if (got == 0) return text;
    text.append(buffer, got);
  }
}

#else

std::expected<std::string, std::string> read_whole_file(const std::string& path) {
  auto why = [](int code) { return std::unexpected(std::generic_category().message(code)); };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return why(errno);
  std::string text;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(fd);
    return std::unexpected(std::string("it is a directory"));
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int code = errno;
      ::close(fd);
      if (got < 0) return why(code);
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

#endif

}  // namespace kesta::kestactl
