#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
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
    "the service writes them, also when the service copies a full log to\n"
    "redevuva_service.log.1 and starts it again, until Ctrl+C. Control characters in lines are\n"
    "shown escaped. A Connect request carries the client's private key: its \"Received message\"\n"
    "line is shown as \"[Connect request, N bytes; keys hidden, --raw shows the line]\"; --raw\n"
    "prints every line as the file holds it. The log is readable by administrators only: run\n"
    "kestactl from an elevated command prompt. The service is never disturbed: the file is\n"
    "opened for reading with every kind of sharing, and --follow keeps nothing open between\n"
    "two reads.\n"
    "Exit status: 0 printed; 1 the log cannot be read; 2 the command line is wrong.\n";

// Bytes before the read position kept to notice a log emptied and refilled between two polls.
constexpr std::size_t kTailKept = 64;
// Enough of a log's beginning to read its notes and the line after them.
constexpr std::size_t kHeadKept = 64 * 1024;

// The file's index on its volume. The volume itself is left out: a log and the one that
// replaces it lie in the same folder, and Wine sometimes reports the volume's serial as 0.
struct FileId {
  DWORD high = 0, low = 0;
  bool operator==(const FileId&) const = default;
};

// What shows, without reading it, that a file was written: "<log>.1" changes only when the
// service copies the log into it.
struct FileState {
  FileId id;
  std::uint64_t size = 0;
  std::uint64_t written = 0;
  bool operator==(const FileState&) const = default;
};

// Read access with read, write and delete sharing: the service may write, empty or copy the
// file while it is open here.
std::expected<UniqueFile, DWORD> open_shared(const std::wstring& path,
                                             DWORD access = GENERIC_READ) {
  UniqueFile file(CreateFileW(path.c_str(), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::unexpected(GetLastError());
  return file;
}

std::optional<FileState> state_of(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  return FileState{{info.nFileIndexHigh, info.nFileIndexLow},
                   (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
                   (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                       info.ftLastWriteTime.dwLowDateTime};
}

std::optional<FileState> state_at(const std::wstring& path) {
  const auto file = open_shared(path, FILE_READ_ATTRIBUTES);
  return file ? state_of(file->get()) : std::nullopt;
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

std::string read_whole(const std::wstring& path) {
  const auto file = open_shared(path);
  return file ? read_at(file->get(), 0) : std::string();
}

// Follows the log by polling, holding no handle while it waits or prints: each poll opens the
// log, reads what is new and closes it, then prints. The service keeps the log at its path and,
// at its bound or a restart, copies its bytes to "<log>.1" and empties it: the follower then
// reads the rest of what it had not shown from "<log>.1" (which it recognises by the
// fingerprint of what it read), then the log from its start. When "<log>.1" no longer holds
// that (the log was copied more than once in between, or emptied in place), it says so in one
// line, never a silent gap.
class Follower {
 public:
  Follower(std::wstring path, const LogStream& stream)
      : path_(std::move(path)), first_(path_ + L".1"), stream_(stream) {}

  // Takes `text` as read from the start of the file `id` and prints it from `from` on.
  bool begin(FileId id, std::string_view text, std::size_t from) {
    id_ = id;
    first_state_ = state_at(first_);
    // What comes before `from` is read, not shown: it ends with a whole line.
    (void)consume(text.substr(0, from));
    return print(consume(text.substr(from)));
  }

  // Reads, then prints what was added since the last poll; false when printing failed.
  bool poll() { return print(read_new()); }

  bool finish() { return print(lines_.flush()); }

 private:
  bool print(const std::string& text) { return text.empty() || stream_.print(text); }

  // Takes bytes read at the current offset; the lines they complete.
  std::string consume(std::string_view bytes) {
    offset_ += bytes.size();
    hash_ = log_hash(hash_, bytes);
    tail_ = (tail_ + std::string(bytes))
                .substr(std::max(tail_.size() + bytes.size(), kTailKept) - kTailKept);
    return lines_.add(bytes);
  }

  std::string read_new() {
    auto file = open_shared(path_);
    // Nothing at the path for now (an administrator removed it): wait for the service's next.
    if (!file) return {};
    const auto state = state_of(file->get());
    if (!state) return {};
    const auto first = state_at(first_);
    bool restarted = state->id != id_ || state->size < offset_ || !tail_matches(file->get());
    std::optional<std::string> copy;
    if (!restarted && first != first_state_) {
      // "<log>.1" was written while the log looks as it was: a copy still under way, whose
      // emptying follows at once, or a log emptied and grown back past this point with the same
      // bytes there. Once "<log>.1" has stayed as it is for a poll, it is clear which.
      if (first != pending_first_) {
        pending_first_ = first;
        return {};
      }
      copy = read_whole(first_);
      // A copy that stopped part way leaves the log as it was, beginning with all of the copy.
      restarted = holds_what_was_read(*copy) && read_at(file->get(), 0, copy->size()) != *copy;
      if (!restarted) first_state_ = first;
    }
    pending_first_.reset();
    std::string out;
    if (restarted) {
      if (!copy) copy = read_whole(first_);
      out = take_rest_of_generation(file->get(), first == first_state_, *copy);
      id_ = state->id;
      first_state_ = first;
      offset_ = 0;
      hash_ = kLogHashStart;
      tail_.clear();
    }
    return out + consume(read_at(file->get(), offset_));
  }

  // Bytes other than the last ones read where they were: the log was emptied and refilled.
  bool tail_matches(HANDLE file) const {
    return tail_.empty() || read_at(file, offset_ - tail_.size(), tail_.size()) == tail_;
  }

  bool holds_what_was_read(std::string_view copy) const {
    return copy.size() >= offset_ && log_hash(kLogHashStart, copy.substr(0, offset_)) == hash_;
  }

  // What is left to show of the log before it started again, from "<log>.1"; or the line that
  // says it was rotated away, then "<log>.1" whole when it came after what was shown.
  std::string take_rest_of_generation(HANDLE log, bool copy_unchanged, const std::string& copy) {
    if (holds_what_was_read(copy)) {
      std::string rest = lines_.add(std::string_view(copy).substr(offset_));
      return rest + lines_.flush();
    }
    std::string out = lines_.flush();
    const std::string head = read_at(log, 0, kHeadKept);
    // "<log>.1" holds the log just before the current one when that began with a copy; it is
    // not what was being read, so it came later and nothing of it was shown.
    const bool copy_is_newer =
        !copy.empty() && (std::string_view(head).starts_with(service::kLogContinuedNote) ||
                          head.starts_with("Service started\n"));
    const std::string_view next = copy_is_newer ? std::string_view(copy) : head;
    const auto before = bytes_before(next.substr(0, kHeadKept), stream_.bound);
    // Emptied in place right after the last byte read, with no copy since: nothing is lost.
    if (!copy_is_newer && copy_unchanged && before == offset_ &&
        head.starts_with(service::kLogEmptiedNote)) {
      return out;
    }
    std::optional<std::uint64_t> lost;
    if (before && *before > offset_) lost = *before - offset_;
    out += rotated_away_line(lost);
    if (copy_is_newer) out += lines_.add(copy) + lines_.flush();
    return out;
  }

  std::wstring path_;
  std::wstring first_;  // "<log>.1"
  const LogStream& stream_;
  LogLines lines_;
  FileId id_;
  std::uint64_t offset_ = 0;            // bytes read of the log since it last started again
  std::uint64_t hash_ = kLogHashStart;  // their fingerprint
  std::string tail_;                    // the last of them
  std::optional<FileState> first_state_;
  std::optional<FileState> pending_first_;  // "<log>.1" as a poll found it changed, to be judged
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

  std::string text;
  std::optional<FileState> state;
  {
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
              "kestactl: the service's log is readable by administrators only: run kestactl "
              "from an elevated command prompt (Run as administrator)\n";
        }
      }
      return kExitRefused;
    }
    state = state_of(file->get());
    text = read_at(file->get(), 0);
  }
  const std::size_t from = count ? last_lines_start(text, *count) : 0;
  if (!follow || !state) {
    LogLines lines;
    const std::string printed = lines.add(std::string_view(text).substr(from)) + lines.flush();
    if (!printed.empty()) stream.print(printed);
    return kExitOk;
  }
  Follower follower(path, stream);
  if (!follower.begin(state->id, text, from)) return kExitOk;
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
