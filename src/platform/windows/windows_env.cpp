// The Env of Windows: paths arrive as UTF-8 and go to the wide (W) calls as
// UTF-16; files are handles opened with every share mode, so that, as on POSIX,
// a file another handle holds open can still be read, written, renamed and
// deleted; reads and writes name their offset in an OVERLAPPED, so a handle
// never carries a file position that could go stale.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/env.h"
#include "core/text.h"

namespace quillon {
namespace {

// The one place that says which run-time error a failed Win32 call is, with
// the same meanings the POSIX Env gives errno values. Windows tells a missing
// file (53) from a missing folder on the way (76) itself.
constexpr DWORD kErrorDiskQuotaExceeded = 1295;  // missing from mingw-w64's winerror.h
struct ErrorMeaning {
  DWORD error;
  int32_t runtime_error;
};
constexpr ErrorMeaning kErrorMeanings[] = {
    {ERROR_FILE_NOT_FOUND, rt::kFileNotFound},
    {ERROR_DELETE_PENDING, rt::kFileNotFound},  // deleted, gone when its last handle closes
    {ERROR_PATH_NOT_FOUND, rt::kPathNotFound},
    {ERROR_INVALID_DRIVE, rt::kPathNotFound},
    {ERROR_BAD_NETPATH, rt::kPathNotFound},
    {ERROR_BAD_NET_NAME, rt::kPathNotFound},
    {ERROR_DIRECTORY, rt::kPathNotFound},               // a file where a folder must be
    {ERROR_CANT_RESOLVE_FILENAME, rt::kPathNotFound},  // too many links
    {ERROR_ACCESS_DENIED, rt::kPathFileAccessError},    // also a folder opened as a file
    {ERROR_WRITE_PROTECT, rt::kPathFileAccessError},
    {ERROR_CANT_ACCESS_FILE, rt::kPathFileAccessError},
    {ERROR_PIPE_BUSY, rt::kPathFileAccessError},
    {ERROR_SHARING_VIOLATION, rt::kPermissionDenied},  // held by another process
    {ERROR_LOCK_VIOLATION, rt::kPermissionDenied},
    {ERROR_USER_MAPPED_FILE, rt::kPermissionDenied},
    {ERROR_DRIVE_LOCKED, rt::kPermissionDenied},
    {ERROR_BUSY, rt::kPermissionDenied},
    {ERROR_INVALID_NAME, rt::kBadFileNameOrNumber},
    {ERROR_BAD_PATHNAME, rt::kBadFileNameOrNumber},
    {ERROR_FILENAME_EXCED_RANGE, rt::kBadFileNameOrNumber},
    {ERROR_INVALID_PARAMETER, rt::kBadFileNameOrNumber},
    {ERROR_DISK_FULL, rt::kDiskFull},
    {ERROR_HANDLE_DISK_FULL, rt::kDiskFull},
    {kErrorDiskQuotaExceeded, rt::kDiskFull},
    {ERROR_TOO_MANY_OPEN_FILES, rt::kTooManyFiles},
    {ERROR_NOT_ENOUGH_MEMORY, rt::kOutOfMemory},
    {ERROR_OUTOFMEMORY, rt::kOutOfMemory},
    {ERROR_NO_SYSTEM_RESOURCES, rt::kOutOfMemory},
};

int32_t RuntimeErrorOfWin32(DWORD error) {
  for (const ErrorMeaning& meaning : kErrorMeanings) {
    if (meaning.error == error) return meaning.runtime_error;
  }
  return rt::kDeviceIOError;
}

Status Win32Status(DWORD error) { return Status::Error(RuntimeErrorOfWin32(error)); }
Status LastErrorStatus() { return Win32Status(::GetLastError()); }

// Closes a handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() {
    if (valid()) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// How many characters of a path are its root ("C:\", "\\server\share\",
// "\\?\C:\", "\"), which holds no name to look at.
size_t RootLength(const std::wstring& path) {
  auto skip_component = [&](size_t from) {
    while (from < path.size() && !IsSeparator(path[from])) ++from;
    return from < path.size() ? from + 1 : from;
  };
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t at = 2;
    if (path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
      at = 4;
      if (path.compare(4, 4, L"UNC\\") == 0) return skip_component(skip_component(8));
      return skip_component(at);  // a drive ("C:\") or a volume ("Volume{...}\")
    }
    return skip_component(skip_component(at));  // \\server\share\ .
  }
  if (path.size() >= 2 && path[1] == L':') return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
  return !path.empty() && IsSeparator(path[0]) ? 1 : 0;
}

// True when a name between separators is longer than the 255 UTF-16 units
// every Windows file system allows (some answer "not found" instead).
bool HasOverlongName(const std::wstring& path) {
  size_t start = 0;
  for (size_t at = 0; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == L'\\' || path[at] == L'/') {
      if (at - start > 255) return true;
      start = at + 1;
    }
  }
  return false;
}

// The UTF-16 form of a path. Fails with 52 for a name the file system could
// not be given as it is: empty, holding NUL (the call would cut it short and
// name another file), not UTF-8, or with a name longer than 255.
Status Utf16Path(const std::string& path, std::wstring* wide) {
  if (path.empty() || path.find('\0') != std::string::npos || !IsValidUtf8(path) ||
      path.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    return Status::Error(rt::kBadFileNameOrNumber);
  }
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  if (length <= 0) return Status::Error(rt::kBadFileNameOrNumber);
  wide->assign(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide->data(), length);
  if (HasOverlongName(*wide)) return Status::Error(rt::kBadFileNameOrNumber);
  return Status::Ok();
}

// The path as the W calls take it. A long path reaches the file system only in
// its "\\?\" form, which must be complete and use backslashes alone;
// GetFullPathNameW makes it so. (A relative one is completed from the working
// folder, as the call would have.)
std::wstring SystemForm(const std::wstring& path) {
  constexpr size_t kLongPath = MAX_PATH - 12;  // what CreateDirectoryW allows
  if (path.size() < kLongPath || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return path;
  full.resize(written);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

Status WidePath(const std::string& path, std::wstring* wide) {
  Status status = Utf16Path(path, wide);
  if (status.ok()) *wide = SystemForm(*wide);
  return status;
}

std::string Utf8Of(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string out(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), length, nullptr,
                        nullptr);
  return out;
}

// FILETIME counts 100 ns ticks since 1601; these are seconds since 1970.
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;

double SecondsOfFileTime(const FILETIME& time) {
  const int64_t ticks = static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
  const int64_t since_1970 = ticks - kTicksFrom1601To1970;
  return static_cast<double>(since_1970 / kTicksPerSecond) +
         static_cast<double>(since_1970 % kTicksPerSecond) / kTicksPerSecond;
}

bool FileTimeOfSeconds(int64_t seconds, FILETIME* time) {
  constexpr int64_t kMin = -kTicksFrom1601To1970 / kTicksPerSecond;
  constexpr int64_t kMax = (std::numeric_limits<int64_t>::max() - kTicksFrom1601To1970) / kTicksPerSecond;
  if (seconds < kMin || seconds > kMax) return false;
  const auto ticks = static_cast<uint64_t>(seconds * kTicksPerSecond + kTicksFrom1601To1970);
  time->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return true;
}

bool OffsetFits(uint64_t offset, size_t length) {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return offset <= kMax && length <= kMax - offset;
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}

// One ReadFile or WriteFile moves at most this much.
constexpr size_t kMaxTransfer = size_t{1} << 30;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A reparse point that stands for another name: a symbolic link or a junction
// (other kinds, such as a cloud file's placeholder, are the file itself).
bool IsNameSurrogate(DWORD attributes, DWORD reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparse_tag);
}

// The attributes of the name itself and, for a reparse point, its tag.
bool OwnAttributes(const std::wstring& path, DWORD* attributes, DWORD* reparse_tag) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *attributes = data.dwFileAttributes;
  *reparse_tag = 0;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(path.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      *reparse_tag = found.dwReserved0;
      ::FindClose(search);
    }
  }
  return true;
}

// The owner of a file or folder, as the bytes of its SID (none when it cannot be read).
std::vector<uint8_t> OwnerOf(HANDLE handle) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<uint8_t> sid;
  if (owner != nullptr && ::IsValidSid(owner)) {
    const auto* bytes = static_cast<const uint8_t*>(owner);
    sid.assign(bytes, bytes + ::GetLengthSid(owner));
  }
  ::LocalFree(descriptor);
  return sid;
}

// The SID of the user this process runs as.
const std::vector<uint8_t>& ProcessUser() {
  static const std::vector<uint8_t> user = [] {
    std::vector<uint8_t> sid;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<uint8_t> buffer(size);
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      const PSID user_sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
      const auto* bytes = static_cast<const uint8_t*>(user_sid);
      sid.assign(bytes, bytes + ::GetLengthSid(user_sid));
    }
    ::CloseHandle(token);
    return sid;
  }();
  return user;
}

// Security attributes that give the process's user alone full access, and
// nobody any through inheritance: what mode 0600 is on POSIX.
class PrivateSecurity {
 public:
  PrivateSecurity() {
    const std::vector<uint8_t>& user = ProcessUser();
    if (user.empty()) return;
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + static_cast<DWORD>(user.size());
    acl_.resize(acl_size);
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    sid_ = user;
    if (!::InitializeAcl(acl, acl_size, ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid_.data()) ||
        !::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      acl_.clear();
    }
  }
  // Null (the folder's inherited access) when the user could not be found.
  SECURITY_ATTRIBUTES* get() {
    if (acl_.empty()) return nullptr;
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
    return &attributes_;
  }

 private:
  std::vector<uint8_t> sid_;
  std::vector<uint8_t> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

class WindowsFile final : public RandomAccessFile {
 public:
  // `private_path` names a file CreateExclusive made private; empty otherwise.
  WindowsFile(HANDLE handle, std::wstring private_path) : handle_(handle), private_path_(std::move(private_path)) {}
  ~WindowsFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  WindowsFile(const WindowsFile&) = delete;
  WindowsFile& operator=(const WindowsFile&) = delete;

  Status Read(uint64_t offset, std::span<uint8_t> out, size_t* read) override {
    *read = 0;
    if (!OffsetFits(offset, out.size())) return Status::Error(rt::kBadRecordNumber);
    while (*read < out.size()) {
      OVERLAPPED at = At(offset + *read);
      const auto wanted = static_cast<DWORD>(std::min(out.size() - *read, kMaxTransfer));
      DWORD n = 0;
      if (!::ReadFile(handle_, out.data() + *read, wanted, &n, &at)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF) break;
        return Win32Status(error);
      }
      if (n == 0) break;  // end of file
      *read += n;
    }
    return Status::Ok();
  }

  Status Write(uint64_t offset, std::span<const uint8_t> data) override {
    if (!OffsetFits(offset, data.size())) return Status::Error(rt::kBadRecordNumber);
    size_t written = 0;
    while (written < data.size()) {
      OVERLAPPED at = At(offset + written);
      const auto wanted = static_cast<DWORD>(std::min(data.size() - written, kMaxTransfer));
      DWORD n = 0;
      if (!::WriteFile(handle_, data.data() + written, wanted, &n, &at)) return LastErrorStatus();
      // A write that moves nothing and reports no error would loop for ever.
      if (n == 0) return Status::Error(rt::kDeviceIOError);
      written += n;
    }
    return Status::Ok();
  }

  Status Size(uint64_t* size) override {
    LARGE_INTEGER length;
    if (!::GetFileSizeEx(handle_, &length)) return LastErrorStatus();
    *size = length.QuadPart < 0 ? 0 : static_cast<uint64_t>(length.QuadPart);
    return Status::Ok();
  }

  // Windows files have no permission bits and no numeric owner. What a
  // replacement takes over is the access its folder gives new files: a file
  // made private by CreateExclusive gets its folder's inherited access back
  // here. The read-only state is never set: Windows refuses to replace a
  // read-only file (the rename fails with 75), so the file a save replaces was
  // writable, and a temporary file must stay removable should the save fail.
  // A file system without access lists (FAT) refuses, and keeps what it gives
  // every file.
  Status SetAccess(const FileAccess& access) override {
    (void)access;
    if (private_path_.empty()) return Status::Ok();
    // An empty list of its own, no longer protected: the file then has what
    // its folder passes on. This goes by name, since only the named call is
    // sure to work out what the folder passes on.
    ACL empty;
    if (!::InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return LastErrorStatus();
    const DWORD error = ::SetNamedSecurityInfoW(private_path_.data(), SE_FILE_OBJECT,
                                                DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, &empty, nullptr);
    if (error != ERROR_SUCCESS && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
      return Win32Status(error);
    }
    private_path_.clear();
    return Status::Ok();
  }

  Status Close() override {
    const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE && !::CloseHandle(handle)) return LastErrorStatus();
    return Status::Ok();
  }

 private:
  HANDLE handle_;
  std::wstring private_path_;
};

// The layout of FSCTL_GET_REPARSE_POINT's answer for links and junctions.
struct ReparseData {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  // Symbolic links only: flags, then the names; junctions: the names.
};
constexpr DWORD kSymbolicLinkRelative = 1;

// Where a link or junction points, as a Win32 path; false when it cannot be read.
bool ReadLinkTarget(HANDLE link, std::wstring* target, bool* relative) {
  std::vector<uint8_t> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD size = 0;
  if (!::DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &size, nullptr) ||
      size < sizeof(ReparseData)) {
    return false;
  }
  ReparseData data;
  std::memcpy(&data, buffer.data(), sizeof data);
  size_t names = sizeof(ReparseData);
  *relative = false;
  if (data.tag == IO_REPARSE_TAG_SYMLINK) {
    DWORD flags = 0;
    if (size < names + sizeof flags) return false;
    std::memcpy(&flags, buffer.data() + names, sizeof flags);
    names += sizeof flags;
    *relative = (flags & kSymbolicLinkRelative) != 0;
  } else if (data.tag != IO_REPARSE_TAG_MOUNT_POINT) {
    return false;
  }
  const size_t start = names + data.substitute_offset;
  if (data.substitute_length == 0 || start + data.substitute_length > size) return false;
  target->assign(data.substitute_length / sizeof(wchar_t), L'\0');
  std::memcpy(target->data(), buffer.data() + start, data.substitute_length);
  // An absolute target is an NT path: "\??\C:\x" is "C:\x", "\??\UNC\s\x" is
  // "\\s\x", and any other "\??\" one is reached through "\\?\".
  if (!*relative && target->compare(0, 4, L"\\??\\") == 0) {
    if (target->compare(4, 4, L"UNC\\") == 0) {
      *target = L"\\\\" + target->substr(8);
    } else if (target->size() >= 6 && (*target)[5] == L':') {
      *target = target->substr(4);
    } else {
      (*target)[1] = L'\\';
    }
  }
  return true;
}

class WindowsEnv final : public Env {
 public:
  Status OpenReadWrite(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, nullptr, file);
  }

  Status OpenRead(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    return Open(path, GENERIC_READ, OPEN_EXISTING, nullptr, file);
  }

  // CREATE_NEW fails on any name that is taken, a link included, whatever it
  // names. The file gets an access list of its own that lets only this user in
  // (what 0600 is on POSIX); SetAccess gives it its folder's access again.
  Status CreateExclusive(const std::string& path, std::unique_ptr<RandomAccessFile>* file) override {
    PrivateSecurity security;
    return Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, security.get(), file);
  }

  Status Rename(const std::string& from, const std::string& to) override {
    std::wstring wide_from, wide_to;
    Status status = WidePath(from, &wide_from);
    if (status.ok()) status = WidePath(to, &wide_to);
    if (!status.ok()) return status;
    if (::MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING)) return Status::Ok();
    const DWORD refused = ::GetLastError();
    // A file someone still has open (a save over the very file it read, with
    // the share-delete access every Env opens with) cannot be replaced by a
    // move; ReplaceFileW swaps it in place and leaves the old one to vanish
    // when its last handle closes.
    if ((refused == ERROR_ACCESS_DENIED || refused == ERROR_SHARING_VIOLATION) &&
        ::ReplaceFileW(wide_to.c_str(), wide_from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                       nullptr)) {
      return Status::Ok();
    }
    ::SetLastError(refused);
    return LastErrorStatus();
  }

  // Windows has no sticky folders, and any folder where other users may create
  // files may hold a link one of them planted (a junction needs no privilege).
  // So a link (the last name or a folder on the way) redirects a save only when
  // it belongs to this process's user or to the owner of the folder it sits in;
  // any other fails the save with 75. A chain of more than 40 fails with 76.
  // Windows files have no mode: the access is 0444 for a read-only file and
  // 0666 for any other, and for a new one, with no owner or group.
  Status ResolveSaveTarget(const std::string& path, SaveTarget* target) override {
    // The walk is on the path as given, so that a path without links comes
    // back as it came; each call gets the path's long form where it needs one.
    std::wstring current;
    Status status = Utf16Path(path, &current);
    if (!status.ok()) return status;
    int links = 0;
    // Each name on the way is looked at in turn, from the root; a link found is
    // put in place of the names up to it, and the walk starts again on the new
    // path. A name that cannot be looked at ends the walk: the save then fails
    // there as it would have.
    for (size_t end = RootLength(current); end <= current.size(); ++end) {
      if (end < current.size() && !IsSeparator(current[end])) continue;
      if (end == 0 || IsSeparator(current[end - 1]) || current[end - 1] == L':') continue;  // no name ends here
      const std::wstring prefix = current.substr(0, end);
      DWORD attributes = 0, tag = 0;
      if (!OwnAttributes(SystemForm(prefix), &attributes, &tag)) break;
      if (!IsNameSurrogate(attributes, tag)) continue;
      Handle link(::CreateFileW(SystemForm(prefix).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      if (!link.valid()) return LastErrorStatus();
      if (!LinkMayRedirect(link.get(), prefix)) return Status::Error(rt::kPathFileAccessError);
      if (++links > 40) return Status::Error(rt::kPathNotFound);
      std::wstring next;
      bool relative = false;
      if (!ReadLinkTarget(link.get(), &next, &relative)) return Status::Error(rt::kPathNotFound);
      if (relative) {
        size_t slash = prefix.size();
        while (slash > 0 && !IsSeparator(prefix[slash - 1])) --slash;
        next = prefix.substr(0, slash) + next;
      }
      current = next + current.substr(end);
      end = RootLength(current) - 1;  // the loop's step makes it the root's length
    }
    target->path = Utf8Of(current);
    const DWORD attributes = ::GetFileAttributesW(SystemForm(current).c_str());
    const bool read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    target->access = FileAccess{read_only ? 0444u : 0666u, std::nullopt, std::nullopt};
    return Status::Ok();
  }

  // A link or junction; a reparse point of another kind is the file itself.
  bool IsLink(const std::string& path) override {
    std::wstring wide;
    DWORD attributes = 0, tag = 0;
    return WidePath(path, &wide).ok() && OwnAttributes(wide, &attributes, &tag) && IsNameSurrogate(attributes, tag);
  }

  // What the name reaches when opened (a link followed), which also tells a
  // device ("NUL", "COM1") from a file; a name that cannot be opened is
  // looked at without following anything.
  PathKind KindOf(const std::string& path) override {
    std::wstring wide;
    if (!WidePath(path, &wide).ok()) return PathKind::kMissing;
    Handle named(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if (named.valid()) {
      if (::GetFileType(named.get()) != FILE_TYPE_DISK) return PathKind::kOther;
      BY_HANDLE_FILE_INFORMATION info;
      if (::GetFileInformationByHandle(named.get(), &info)) attributes = info.dwFileAttributes;
    } else {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PathKind::kMissing;
      attributes = ::GetFileAttributesW(wide.c_str());
      // A link that cannot be followed cannot be examined.
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return PathKind::kMissing;
      }
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kDirectory;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::kOther;
    return PathKind::kFile;
  }

  // The name itself is opened, never what a link names, so a link that takes
  // the file's place meanwhile is left as it is.
  Status MakeWritable(const std::string& path) override {
    std::wstring wide;
    Status status = WidePath(path, &wide);
    if (!status.ok()) return status;
    Handle file(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return LastErrorStatus();
    FILE_ATTRIBUTE_TAG_INFO tag_info{};
    if (!::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag_info, sizeof tag_info)) {
      return LastErrorStatus();
    }
    if (IsNameSurrogate(tag_info.FileAttributes, tag_info.ReparseTag) ||
        (tag_info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
      return Status::Ok();
    }
    FILE_BASIC_INFO basic{};  // zero times: left as they are
    basic.FileAttributes = tag_info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would change nothing
    if (!::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic)) return LastErrorStatus();
    return Status::Ok();
  }

  // DeleteFileW removes a link to a file itself; a link to a folder, and a
  // junction, are removed with RemoveDirectoryW, which never touches what they
  // name. A real folder is refused, as on POSIX (75).
  Status RemoveFile(const std::string& path) override {
    std::wstring wide;
    Status status = WidePath(path, &wide);
    if (!status.ok()) return status;
    if (::DeleteFileW(wide.c_str())) return Status::Ok();
    const DWORD error = ::GetLastError();
    DWORD attributes = 0, tag = 0;
    if (OwnAttributes(wide, &attributes, &tag) && IsNameSurrogate(attributes, tag) &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (::RemoveDirectoryW(wide.c_str())) return Status::Ok();
      return LastErrorStatus();
    }
    return Win32Status(error);
  }

  Status GetModificationTime(const std::string& path, double* seconds) override {
    std::wstring wide;
    Status status = WidePath(path, &wide);
    if (!status.ok()) return status;
    Handle file(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return LastErrorStatus();
    FILETIME written;
    if (!::GetFileTime(file.get(), nullptr, nullptr, &written)) return LastErrorStatus();
    *seconds = SecondsOfFileTime(written);
    return Status::Ok();
  }

  Status SetModificationTime(const std::string& path, int64_t seconds) override {
    std::wstring wide;
    Status status = WidePath(path, &wide);
    if (!status.ok()) return status;
    FILETIME written;
    if (!FileTimeOfSeconds(seconds, &written)) return Status::Error(rt::kBadFileNameOrNumber);
    Handle file(::CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return LastErrorStatus();
    // Null creation and access times leave those alone.
    if (!::SetFileTime(file.get(), nullptr, nullptr, &written)) return LastErrorStatus();
    return Status::Ok();
  }

  // The folder of the executable; the root of a drive keeps its backslash
  // ("C:\"), as "/" does on POSIX.
  std::string ExecutableFolder() override {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return ".";
      if (n < buffer.size()) {
        buffer.resize(n);
        break;
      }
      if (buffer.size() >= 32768) return ".";  // longer than any Windows path
      buffer.resize(buffer.size() * 2);
    }
    size_t end = buffer.size();
    while (end > 0 && !IsSeparator(buffer[end - 1])) --end;
    const size_t root = RootLength(buffer);
    if (end > root) --end;  // the separator before the name goes, except the root's
    buffer.resize(std::max(end, root));
    return buffer.empty() ? "." : Utf8Of(buffer);
  }

  double Now() override {
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    return SecondsOfFileTime(now);
  }

  MonotonicTime NowMonotonic() override { return std::chrono::steady_clock::now(); }

 private:
  // A link may redirect a save when it belongs to this process's user or to the
  // owner of the folder it sits in.
  static bool LinkMayRedirect(HANDLE link, const std::wstring& link_path) {
    const std::vector<uint8_t> owner = OwnerOf(link);
    if (owner.empty()) return false;
    if (owner == ProcessUser()) return true;
    size_t slash = link_path.size();
    while (slash > 0 && !IsSeparator(link_path[slash - 1])) --slash;
    std::wstring folder = link_path.substr(0, slash);
    if (folder.empty()) folder = L".";
    Handle parent(::CreateFileW(SystemForm(folder).c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return parent.valid() && OwnerOf(parent.get()) == owner;
  }

  static Status Open(const std::string& path, DWORD access, DWORD disposition, SECURITY_ATTRIBUTES* security,
                     std::unique_ptr<RandomAccessFile>* file) {
    std::wstring wide;
    Status status = WidePath(path, &wide);
    if (!status.ok()) return status;
    // FILE_FLAG_BACKUP_SEMANTICS is left out, so a folder fails to open (75).
    Handle handle(::CreateFileW(wide.c_str(), access, kShareAll, security, disposition, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!handle.valid()) return LastErrorStatus();
    // A pipe has no byte positions to address (opening one never waits for
    // the other end, as opening a FIFO could on POSIX).
    if (::GetFileType(handle.get()) == FILE_TYPE_PIPE) return Status::Error(rt::kPathFileAccessError);
    *file = std::make_unique<WindowsFile>(handle.release(), security != nullptr ? wide : std::wstring());
    return Status::Ok();
  }
};

}  // namespace

Env& DefaultEnv() {
  static WindowsEnv env;
  return env;
}

}  // namespace quillon
