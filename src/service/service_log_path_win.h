#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "core/unique_handle_win.h"

// The service log's paths lie at the root of the system drive, where any local account may
// create a folder; what stands there is examined before the service writes to it.
namespace kesta::service {

// What an examination sees of the object at a path, without following a reparse point.
struct PathObject {
  DWORD attributes = 0;
  DWORD links = 1;
  PSID owner = nullptr;  // null when the owner could not be read
};

// A directory, a reparse point of any kind, a file with more than one name, or a file owned by
// an account other than `service_account` or Administrators: something the service did not
// create, which it must neither write nor truncate.
bool is_foreign(const PathObject& object, PSID service_account);

struct OwnedFile {
  UniqueFile file;
  bool existed = false;
};

// Opens the file at `path` for reading, writing and changing its DACL, without following a
// reparse point, creating it with `attributes` when there is none. Whatever foreign stands at
// the path is first renamed to the first free "<path>.foreign-N", and a line saying so is added
// to `notes`. Fails with the system error of the open, or of the rename when what is foreign
// cannot be moved aside.
Result<OwnedFile> open_owned(const std::wstring& path, SECURITY_ATTRIBUTES& attributes,
                             std::vector<std::string>& notes);

// Whether `path` names the file open at `file` (false when nothing stands there).
bool names_file(const std::wstring& path, HANDLE file);

}  // namespace kesta::service
