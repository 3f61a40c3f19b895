#include <windows.h>

#include <algorithm>
#include <charconv>
#include <expected>
#include <optional>
#include <thread>

#include "core/error.h"
#include "core/escape.h"
#include "core/unique_handle_win.h"
#include "core/utf16.h"
#include "log_lines.h"
#include "text_file.h"
#include "windows_client_win.h"

namespace kesta::kestactl {
namespace {

constexpr std::string_view kLogHelp =
    "Usage: kestactl log [--follow] [--lines N] [--raw] [--file PATH]\n"
    "\n"
    "Prints the service's log, \\redevuva_service.log at the root of the system drive (or\n"
    "PATH). --lines N prints only its last N lines. --follow (-f) then keeps printing lines as\n"
    "the service writes them, also when the service moves a full log aside to\n"
    "redevuva_service.log.1 or empties it, until Ctrl+C. Control characters in lines are shown\n"
    "escaped. A Connect request carries the client's private key: its \"Received message\" line\n"
    "is shown as \"[Connect request, N bytes; keys hidden, --raw shows the line]\"; --raw prints\n"
    "every line as the file holds it. The log is readable by administrators only: run kestactl\n"
    "from an elevated command prompt. The service is never disturbed: the file is opened for\n"
    "reading with every kind of sharing.\n"
    "Exit status: 0 printed; 1 the log cannot be read; 2 the command line is wrong.\n";

// Bytes before the read position kept to notice a log emptied and refilled between two polls.
constexpr std::size_t kTailKept = 64;

// The file's index on its volume. The volume itself is left out: a log and the one that
// replaces it lie in the same folder, and Wine sometimes reports the volume's serial as 0.
struct FileId {
  DWORD high = 0, low = 0;
  bool operator==(const FileId&) const = default;
};

// Read access with read, write and delete sharing: the service may write, move or empty the
// file while it is open here.
std::expected<UniqueFile, DWORD> open_shared(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::unexpected(GetLastError());
  return file;
}

std::optional<FileId> id_of(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  return FileId{info.nFileIndexHigh, info.nFileIndexLow};
}

// Reads from `offset`, at most `limit` bytes, up to the end of the file.
std::string read_at(HANDLE file, std::uint64_t offset, std::size_t limit = SIZE_MAX) {
  std::string out;
  char buffer[65536];
  while (out.size() < limit) {
    OVERLAPPED at{};
    const std::uint64_t position = offset + out.size();
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, limit - out.size()));
    if (!ReadFile(file, buffer, want, &got, &at) || got == 0) break;
    out.append(buffer, got);
  }
  return out;
}

// Follows the log by polling: new bytes of the file it holds; the file emptied in place (it
// then starts again from the beginning); the file moved aside to PATH.1 and a new one at PATH
// (it reads the old one to its end, then goes on in the new one). It keeps up as long as the
// service fills less than a whole log between two polls; it never opens PATH.1, so as not to
// stand in the way of the service's next move. Lines that an emptying destroys before a poll
// has read them are lost to every reader.
class Follower {
 public:
  Follower(std::wstring path, UniqueFile file, FileId id, const LogStream& stream)
      : path_(std::move(path)), file_(std::move(file)), id_(id), stream_(stream) {}

  // Takes `text` as read from the start of the file and prints it from `from` on.
  bool begin(std::string_view text, std::size_t from) {
    offset_ = text.size();
    tail_ = text.substr(text.size() - std::min(text.size(), kTailKept));
    return print(lines_.add(text.substr(from)));
  }

  // Prints what was added since the last read; false when printing failed.
  bool read_to_end() {
    const std::string bytes = read_at(file_.get(), offset_);
    offset_ += bytes.size();
    tail_ = (tail_ + bytes).substr(std::max(tail_.size() + bytes.size(), kTailKept) - kTailKept);
    return print(lines_.add(bytes));
  }

  bool poll() {
    if (emptied()) {
      if (!print(lines_.flush())) return false;
      offset_ = 0;
      tail_.clear();
    }
    if (!read_to_end()) return false;
    auto current = open_shared(path_);
    const auto current_id = current ? id_of(current->get()) : std::nullopt;
    // No file at PATH (between the move and the new log) or still the same one.
    if (!current_id || *current_id == id_) return true;
    // The move came after the last line of the old file: read it to its end first.
    if (!read_to_end() || !print(lines_.flush())) return false;
    file_ = std::move(*current);
    id_ = *current_id;
    offset_ = 0;
    tail_.clear();
    return read_to_end();
  }

  bool finish() { return print(lines_.flush()); }

 private:
  bool print(const std::string& text) { return text.empty() || stream_.print(text); }

  // Shorter than what was read, or other bytes where the last ones read were.
  bool emptied() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size)) return false;
    if (static_cast<std::uint64_t>(size.QuadPart) < offset_) return true;
    if (tail_.empty()) return false;
    const std::string bytes = read_at(file_.get(), offset_ - tail_.size(), tail_.size());
    return bytes.size() == tail_.size() && bytes != tail_;
  }

  std::wstring path_;
  UniqueFile file_;
  FileId id_;
  const LogStream& stream_;
  LogLines lines_;
  std::uint64_t offset_ = 0;
  std::string tail_;
};

}  // namespace

std::wstring service_log_path() {
  wchar_t windows[MAX_PATH];
  const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring root = n >= 2 && n < MAX_PATH && windows[1] == L':'
                                ? std::wstring(windows, 2) + L"\\"
                                : std::wstring(L"C:\\");
  return root + L"redevuva_service.log";
}

int run_log(std::span<const std::string> args, const LogStream& printer, Output& output) {
  bool follow = false, raw = false, options_ended = false;
  std::optional<std::size_t> count;
  std::wstring path = service_log_path();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_ended && (arg == "--help" || arg == "-h")) {
      output.out += kLogHelp;
      return kExitOk;
    }
    if (!options_ended && (arg == "--follow" || arg == "-f" || arg == "--raw" || arg == "--")) {
      (arg == "--raw" ? raw : arg == "--" ? options_ended : follow) = true;
      continue;
    }
    if (options_ended || (arg != "--lines" && arg != "-n" && arg != "--file")) {
      return usage_error(output, "log: " +
                                     std::string(arg.starts_with("-") && !options_ended
                                                     ? "unknown option '"
                                                     : "unexpected argument '") +
                                     escape_log_text(arg) + "'");
    }
    if (i + 1 >= args.size()) return usage_error(output, "log: " + arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--file") {
      path = widen(value);
      continue;
    }
    std::size_t lines = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), lines);
    if (ec != std::errc() || end != value.data() + value.size() || value.empty()) {
      return usage_error(output, "log: " + arg + ": expected a number of lines, got '" +
                                     escape_log_text(value) + "'");
    }
    count = lines;
  }
  // Every printed line passes the secret filter, unless --raw.
  LogStream stream = printer;
  if (!raw) {
    stream.print = [&printer](std::string_view text) { return printer.print(hide_secrets(text)); };
  }

  auto file = open_shared(path);
  const std::string shown = narrow(path);
  if (!file) {
    const DWORD code = file.error();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      output.err +=
          "kestactl: log: no log at " + shown + "; the service writes it from its first start\n";
    } else if (is_directory(path)) {
      output.err += "kestactl: log: cannot read " + shown + ": it is a directory\n";
    } else {
      output.err +=
          "kestactl: log: cannot read " + shown + ": " + system_error_message(code) + "\n";
      if (code == ERROR_ACCESS_DENIED) {
        output.err +=
            "kestactl: the service's log is readable by administrators only: run kestactl from "
            "an elevated command prompt (Run as administrator)\n";
      }
    }
    return kExitRefused;
  }
  const auto id = id_of(file->get());
  const std::string text = read_at(file->get(), 0);
  const std::size_t from = count ? last_lines_start(text, *count) : 0;
  if (!follow || !id) {
    LogLines lines;
    const std::string printed = lines.add(std::string_view(text).substr(from)) + lines.flush();
    if (!printed.empty()) stream.print(printed);
    return kExitOk;
  }
  Follower follower(path, std::move(*file), *id, stream);
  if (!follower.begin(text, from)) return kExitOk;
  // One last poll once asked to stop, so that what was written before is printed.
  for (;;) {
    const bool last = stream.stop();
    if (!follower.poll() || last) break;
    std::this_thread::sleep_for(stream.poll);
  }
  follower.finish();
  return kExitOk;
}

}  // namespace kesta::kestactl
