#include "service/service_log_path_win.h"

#include <aclapi.h>

#include <expected>
#include <utility>

#include "core/utf16.h"
#include "service/service_log_notes.h"

namespace kesta::service {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Someone who puts something at the path again after every move is given a few rounds; past
// them the open fails.
constexpr int kRounds = 4;

// The examination of one object; `descriptor` holds the memory the owner lies in.
struct Examination {
  PathObject object;
  UniqueLocalMemory<> descriptor;
};

Result<Examination> examine(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return std::unexpected(last_error());
  Examination examination;
  examination.object.attributes = info.dwFileAttributes;
  examination.object.links = info.nNumberOfLinks;
  PSID owner = nullptr;
  // An owner the service may not read stays null, which counts as foreign.
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, examination.descriptor.put()) == ERROR_SUCCESS) {
    examination.object.owner = owner;
  }
  return examination;
}

// The user of the process's token: the account the service runs as.
class ProcessAccount {
 public:
  static Result<ProcessAccount> get() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
      return std::unexpected(last_error());
    }
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD needed = 0;
    ProcessAccount account;
    // The SID is copied out: the token's answer points into its own buffer.
    if (!GetTokenInformation(token.get(), TokenUser, user, sizeof user, &needed) ||
        !CopySid(sizeof account.sid_, account.sid_,
                 reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) {
      return std::unexpected(last_error());
    }
    return account;
  }
  PSID sid() { return sid_; }

 private:
  alignas(SID) unsigned char sid_[SECURITY_MAX_SID_SIZE] = {};
};

// Renames what stands at `path` to the first free "<path>.foreign-N", the name of a link
// rather than its target.
Result<std::wstring> move_aside(const std::wstring& path) {
  for (unsigned n = 1; n != 0; ++n) {
    std::wstring target = path + L".foreign-" + std::to_wstring(n);
    if (MoveFileExW(path.c_str(), target.c_str(), 0)) return target;
    const DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) {
      return std::unexpected(system_error(code));
    }
  }
  return std::unexpected(Error("no free name to move aside what stands at the log's path"));
}

// A handle that shows what stands at `path` without opening it for data: a directory, a link
// itself. Falls back to the attributes alone for an object whose owner keeps the service out.
UniqueFile open_to_examine(const std::wstring& path) {
  constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  UniqueFile handle(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll,
                                nullptr, OPEN_EXISTING, kFlags, nullptr));
  if (!handle && GetLastError() == ERROR_ACCESS_DENIED) {
    handle.reset(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             kFlags, nullptr));
  }
  return handle;
}

}  // namespace

bool is_foreign(const PathObject& object, PSID service_account) {
  if (object.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  if (object.links > 1 || object.owner == nullptr || !IsValidSid(object.owner)) return true;
  return !EqualSid(object.owner, service_account) &&
         !IsWellKnownSid(object.owner, WinBuiltinAdministratorsSid);
}

Result<OwnedFile> open_owned(const std::wstring& path, SECURITY_ATTRIBUTES& attributes,
                             std::vector<std::string>& notes) {
  auto account = ProcessAccount::get();
  if (!account) return std::unexpected(std::move(account.error()));
  for (int round = 0; round < kRounds; ++round) {
    // Read access too: the bytes of an earlier log are copied aside before it is emptied.
    UniqueFile file(CreateFileW(path.c_str(),
                                GENERIC_READ | GENERIC_WRITE | WRITE_DAC | READ_CONTROL, kShareAll,
                                &attributes, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const DWORD code = GetLastError();
    if (file && code != ERROR_ALREADY_EXISTS) return OwnedFile{std::move(file), false};
    // A directory is refused as a file; then the object that refused is examined instead.
    UniqueFile examined = file ? UniqueFile() : open_to_examine(path);
    if (!file && !examined) return std::unexpected(system_error(code));
    auto examination = examine(file ? file.get() : examined.get());
    if (!examination) return std::unexpected(std::move(examination.error()));
    if (!is_foreign(examination->object, account->sid())) {
      if (file) return OwnedFile{std::move(file), true};
      return std::unexpected(system_error(code));
    }
    file.reset();
    examined.reset();
    auto moved = move_aside(path);
    if (!moved) return std::unexpected(std::move(moved.error()));
    notes.push_back(moved_aside_note(narrow(path), narrow(*moved)));
  }
  return std::unexpected(Error("the log's path was taken again each time it was cleared"));
}

bool names_file(const std::wstring& path, HANDLE file) {
  const UniqueFile at_path = open_to_examine(path);
  BY_HANDLE_FILE_INFORMATION there{}, ours{};
  // The index alone: both lie in one folder, and Wine sometimes reports a volume serial of 0.
  return at_path && GetFileInformationByHandle(at_path.get(), &there) &&
         GetFileInformationByHandle(file, &ours) && there.nFileIndexHigh == ours.nFileIndexHigh &&
         there.nFileIndexLow == ours.nFileIndexLow;
}

}  // namespace kesta::service
