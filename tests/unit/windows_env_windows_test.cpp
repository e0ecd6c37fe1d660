// The Windows Env: the run-time errors a file-system failure becomes, files read
// and written at offsets while other names change, UTF-16 names, long paths,
// access lists of a save's files, and links where Windows lets this user make
// them. Built only into the Windows test executable (./test.sh --windows).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "compression/zlib_check.h"
#include "core/atomic_save.h"
#include "core/env.h"
#include "core/file_checks.h"
#include "core/text.h"
#include "test_support.h"

namespace quillon {
namespace {

using testing::ReadAll;
using testing::ScratchDir;
using testing::WriteAll;

std::wstring Wide(const std::string& utf8) {
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

// A name in the folder given in UTF-8, kept clear of the narrow encoding
// std::filesystem::path would read it in.
std::string In(const ScratchDir& dir, const std::string& utf8_name) { return dir.File("") + utf8_name; }

// The names in a folder, as Windows lists them.
std::vector<std::wstring> Listing(const ScratchDir& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((dir.path().wstring() + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

void MakeReadOnly(const std::string& path) {
  ASSERT_TRUE(::SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_READONLY)) << path;
}

int32_t OpenReadError(const std::string& path) {
  std::unique_ptr<RandomAccessFile> file;
  return DefaultEnv().OpenRead(path, &file).number();
}

// A file's access list in SDDL ("D:..."), or the failure.
std::string AccessList(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return "error " + std::to_string(error);
  LPSTR text = nullptr;
  std::string sddl = "unreadable";
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
    sddl = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return sddl;
}

// The SIDs a file's access list lets in, other than this user's, the system's
// and the administrators'.
std::vector<std::string> OthersAllowed(const std::string& path) {
  std::vector<std::string> others;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
    return {"unreadable"};
  }
  if (acl == nullptr) others.push_back("everyone (no access list)");
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  uint8_t user[256];
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  ::CloseHandle(token);
  const PSID self = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(acl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    if (::EqualSid(sid, self) || ::IsWellKnownSid(sid, WinLocalSystemSid) ||
        ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
      continue;
    }
    LPSTR text = nullptr;
    ::ConvertSidToStringSidA(sid, &text);
    others.push_back(text != nullptr ? text : "?");
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return others;
}

TEST(WindowsEnv, FailuresBecomeTheRuntimeErrorsPosixGives) {
  ScratchDir dir;
  WriteAll(dir.File("plain"), {1});
  EXPECT_EQ(OpenReadError(dir.File("absent")), rt::kFileNotFound);
  EXPECT_EQ(OpenReadError(dir.File("absent/x")), rt::kPathNotFound);
  EXPECT_EQ(OpenReadError(dir.File("plain/x")), rt::kPathNotFound);
  EXPECT_EQ(OpenReadError(dir.path().string()), rt::kPathFileAccessError);
  EXPECT_EQ(DefaultEnv().RemoveFile(dir.File("absent")).number(), rt::kFileNotFound);
  EXPECT_EQ(DefaultEnv().RemoveFile(dir.File("absent/x")).number(), rt::kPathNotFound);
  EXPECT_EQ(DefaultEnv().RemoveFile(dir.path().string()).number(), rt::kPathFileAccessError);
  // Names no file can have, or that would name another file once cut at a NUL.
  for (const std::string& bad : {std::string(), dir.File("a") + std::string(1, '\0') + "b", In(dir, "\xff\xfe"),
                                 dir.File("a|b")}) {
    EXPECT_EQ(OpenReadError(bad), rt::kBadFileNameOrNumber) << bad;
  }
  // A file another program holds without sharing.
  const HANDLE held = ::CreateFileW(Wide(dir.File("plain")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenReadError(dir.File("plain")), rt::kPermissionDenied);
  ::CloseHandle(held);
}

TEST(WindowsEnv, FilesReadAndWriteAtPositionsAndGrow) {
  ScratchDir dir;
  std::unique_ptr<RandomAccessFile> file;
  ASSERT_TRUE(DefaultEnv().OpenReadWrite(dir.File("f"), &file).ok());
  const uint8_t data[] = {1, 2, 3};
  ASSERT_TRUE(file->Write(4, data).ok());  // the gap reads as zeros
  uint64_t size = 0;
  ASSERT_TRUE(file->Size(&size).ok());
  EXPECT_EQ(size, 7u);
  uint8_t out[10] = {};
  size_t read = 99;
  ASSERT_TRUE(file->Read(3, out, &read).ok());
  EXPECT_EQ(read, 4u);
  ASSERT_TRUE(file->Read(100, out, &read).ok());  // past the end: nothing, and no error
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(file->Write(uint64_t{1} << 63, data).number(), rt::kBadRecordNumber);
  ASSERT_TRUE(file->Close().ok());
  EXPECT_EQ(ReadAll(dir.File("f")), (std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 3}));
}

TEST(WindowsEnv, AnOpenFileCanBeRenamedAndRemoved) {
  ScratchDir dir;
  std::unique_ptr<RandomAccessFile> file;
  ASSERT_TRUE(DefaultEnv().OpenReadWrite(dir.File("first"), &file).ok());
  ASSERT_TRUE(DefaultEnv().Rename(dir.File("first"), dir.File("second")).ok());
  const uint8_t data[] = {5, 6};
  ASSERT_TRUE(file->Write(0, data).ok());
  EXPECT_EQ(ReadAll(dir.File("second")), (std::vector<uint8_t>{5, 6}));

  // Rename replaces a file in one step, also one that is still open, as a
  // save over the very file it read needs.
  WriteAll(dir.File("third"), {9});
  ASSERT_TRUE(DefaultEnv().Rename(dir.File("third"), dir.File("second")).ok());
  EXPECT_EQ(ReadAll(dir.File("second")), (std::vector<uint8_t>{9}));
  ASSERT_TRUE(file->Close().ok());

  std::unique_ptr<RandomAccessFile> reader;
  ASSERT_TRUE(DefaultEnv().OpenRead(dir.File("second"), &reader).ok());
  EXPECT_TRUE(DefaultEnv().RemoveFile(dir.File("second")).ok());
  ASSERT_TRUE(reader->Close().ok());
  EXPECT_TRUE(Listing(dir).empty());
}

TEST(WindowsEnv, CreateExclusiveNeverTouchesATakenName) {
  ScratchDir dir;
  WriteAll(dir.File("taken"), {1, 2});
  std::filesystem::create_directory(dir.path() / "folder");
  std::unique_ptr<RandomAccessFile> file;
  EXPECT_FALSE(DefaultEnv().CreateExclusive(dir.File("taken"), &file).ok());
  EXPECT_FALSE(DefaultEnv().CreateExclusive(dir.File("folder"), &file).ok());
  EXPECT_EQ(ReadAll(dir.File("taken")), (std::vector<uint8_t>{1, 2}));
  ASSERT_TRUE(DefaultEnv().CreateExclusive(dir.File("new"), &file).ok());
  uint64_t size = 1;
  ASSERT_TRUE(file->Size(&size).ok());
  EXPECT_EQ(size, 0u);
}

TEST(WindowsEnv, ASavesPartialFileIsPrivateAndItsResultGetsTheFoldersAccess) {
  ScratchDir dir;
  WriteAll(dir.File("plain"), {0});
  std::vector<std::string> partial_others;
  ASSERT_TRUE(ProduceFileAtomically(DefaultEnv(), dir.File("saved"), [&](const std::string& temp) {
    partial_others = OthersAllowed(temp);
    return Status::Ok();
  }).ok());
  EXPECT_TRUE(partial_others.empty()) << partial_others.front();
  EXPECT_EQ(AccessList(dir.File("saved")), AccessList(dir.File("plain")));
}

TEST(WindowsEnv, ASaveTargetsAccessComesFromTheReadOnlyState) {
  ScratchDir dir;
  WriteAll(dir.File("writable"), {1});
  WriteAll(dir.File("locked"), {1});
  MakeReadOnly(dir.File("locked"));
  SaveTarget target;
  ASSERT_TRUE(DefaultEnv().ResolveSaveTarget(dir.File("writable"), &target).ok());
  EXPECT_EQ(target.path, dir.File("writable"));
  EXPECT_EQ(target.access.mode, 0666u);
  EXPECT_FALSE(target.access.owner.has_value());
  ASSERT_TRUE(DefaultEnv().ResolveSaveTarget(dir.File("locked"), &target).ok());
  EXPECT_EQ(target.access.mode, 0444u);
  ASSERT_TRUE(DefaultEnv().ResolveSaveTarget(dir.File("new"), &target).ok());
  EXPECT_EQ(target.access.mode, 0666u);

  // Windows refuses to replace a read-only file (Wine lets it be); either way
  // the save leaves no temporary file behind.
  const Status saved = SaveFileAtomically(DefaultEnv(), dir.File("locked"), std::vector<uint8_t>{2});
  if (!saved.ok()) {
    EXPECT_EQ(saved.number(), rt::kPathFileAccessError);
    EXPECT_EQ(ReadAll(dir.File("locked")), std::vector<uint8_t>{1});
  }
  EXPECT_EQ(Listing(dir).size(), 2u);
}

TEST(FileHelpers, FileExistsOnlyForThingsThatAreNotFolders) {
  ScratchDir dir;
  WriteAll(In(dir, "café.txt"), {1});
  MakeReadOnly(In(dir, "café.txt"));
  Env& env = DefaultEnv();
  EXPECT_EQ(env.KindOf("NUL"), PathKind::kOther);
  EXPECT_TRUE(FileExists(env, u"NUL"));
  EXPECT_TRUE(FileExists(env, In(dir, "café.txt")));
  EXPECT_FALSE(FileExists(env, dir.path().string()));
  EXPECT_EQ(env.KindOf(dir.path().string()), PathKind::kDirectory);
  EXPECT_FALSE(FileExists(env, dir.File("absent")));
  EXPECT_FALSE(FileExists(env, u""));
  EXPECT_FALSE(FileExists(env, std::u16string(u"a\0b", 3)));
  EXPECT_FALSE(FileExists(env, std::u16string(1, char16_t{0xD800})));
}

TEST(FileHelpers, KillFileRemovesReadOnlyFilesAndLeavesFoldersAlone) {
  ScratchDir dir;
  WriteAll(dir.File("locked"), {1});
  MakeReadOnly(dir.File("locked"));
  std::filesystem::create_directory(dir.path() / "folder");
  EXPECT_EQ(DefaultEnv().RemoveFile(dir.File("locked")).number(), rt::kPathFileAccessError);
  KillFile(DefaultEnv(), dir.File("locked"));
  KillFile(DefaultEnv(), dir.File("folder"));
  KillFile(DefaultEnv(), dir.File("absent"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "locked"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder"));
  EXPECT_TRUE(ExtractZlib());
}

FILETIME TimesOf(const std::string& path, FILETIME* accessed) {
  FILETIME written{};
  const HANDLE file = ::CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  ::GetFileTime(file, nullptr, accessed, &written);
  ::CloseHandle(file);
  return written;
}

TEST(WindowsEnv, ModificationTimeChangesAloneToWholeSeconds) {
  ScratchDir dir;
  WriteAll(dir.File("f"), {1});
  Env& env = DefaultEnv();
  double seconds = 0;
  ASSERT_TRUE(env.GetModificationTime(dir.File("f"), &seconds).ok());
  EXPECT_NEAR(seconds, env.Now(), 60);  // both count from 1970

  FILETIME accessed_before{}, accessed_after{};
  TimesOf(dir.File("f"), &accessed_before);
  ASSERT_TRUE(env.SetModificationTime(dir.File("f"), 1000000000).ok());
  ASSERT_TRUE(env.GetModificationTime(dir.File("f"), &seconds).ok());
  EXPECT_EQ(seconds, 1000000000.0);
  TimesOf(dir.File("f"), &accessed_after);
  EXPECT_EQ(accessed_after.dwLowDateTime, accessed_before.dwLowDateTime);
  EXPECT_EQ(accessed_after.dwHighDateTime, accessed_before.dwHighDateTime);

  ASSERT_TRUE(env.SetModificationTime(dir.File("f"), -86400).ok());  // before 1970
  ASSERT_TRUE(env.GetModificationTime(dir.File("f"), &seconds).ok());
  EXPECT_EQ(seconds, -86400.0);
  EXPECT_EQ(env.SetModificationTime(dir.File("absent"), 0).number(), rt::kFileNotFound);
}

TEST(WindowsEnv, ExecutableFolderHoldsTheRunningProgram) {
  const std::string folder = DefaultEnv().ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '\\');
  EXPECT_EQ(DefaultEnv().KindOf(folder + "\\quillon_unit_tests.exe"), PathKind::kFile);
}

TEST(WindowsEnv, Utf16NamesReachTheFileSystemIntact) {
  ScratchDir dir;
  // Latin, Greek, CJK and a character outside the BMP (a surrogate pair).
  const std::string first = In(dir, "café Ωμέγα 漢字 \xF0\x9F\x98\x80.txt");
  const std::string second = In(dir, "ünïcødé.bin");
  Env& env = DefaultEnv();
  std::unique_ptr<RandomAccessFile> file;
  ASSERT_TRUE(env.OpenReadWrite(first, &file).ok());
  const uint8_t data[] = {7};
  ASSERT_TRUE(file->Write(0, data).ok());
  ASSERT_TRUE(file->Close().ok());
  EXPECT_EQ(Listing(dir), std::vector<std::wstring>{L"café Ωμέγα 漢字 \U0001F600.txt"});
  EXPECT_EQ(env.KindOf(first), PathKind::kFile);
  EXPECT_TRUE(FileExists(env, Utf8ToUtf16(first)));

  ASSERT_TRUE(env.Rename(first, second).ok());
  EXPECT_EQ(Listing(dir), std::vector<std::wstring>{L"ünïcødé.bin"});
  ASSERT_TRUE(env.SetModificationTime(second, 1234567890).ok());
  double seconds = 0;
  ASSERT_TRUE(env.GetModificationTime(second, &seconds).ok());
  EXPECT_EQ(seconds, 1234567890.0);
  EXPECT_EQ(ReadAll(second), std::vector<uint8_t>{7});
  ASSERT_TRUE(env.RemoveFile(second).ok());
  EXPECT_TRUE(Listing(dir).empty());
}

TEST(WindowsEnv, PathsLongerThanMaxPathWork) {
  ScratchDir dir;
  std::string folder = dir.File("");
  std::vector<std::wstring> made;
  for (int depth = 0; depth < 4; ++depth) {
    folder += std::string(80, static_cast<char>('a' + depth)) + "/";
    std::wstring full(32768, L'\0');
    full.resize(::GetFullPathNameW(Wide(folder).c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    made.push_back(L"\\\\?\\" + full);
    ASSERT_TRUE(::CreateDirectoryW(made.back().c_str(), nullptr));
  }
  const std::string path = folder + "file.bin";
  ASSERT_GT(path.size(), size_t{MAX_PATH});
  Env& env = DefaultEnv();
  ASSERT_TRUE(SaveFileAtomically(env, path, std::vector<uint8_t>{1, 2}).ok());
  EXPECT_EQ(env.KindOf(path), PathKind::kFile);
  std::unique_ptr<RandomAccessFile> file;
  ASSERT_TRUE(env.OpenRead(path, &file).ok());
  uint64_t size = 0;
  ASSERT_TRUE(file->Size(&size).ok());
  EXPECT_EQ(size, 2u);
  ASSERT_TRUE(file->Close().ok());
  ASSERT_TRUE(env.RemoveFile(path).ok());
  for (auto it = made.rbegin(); it != made.rend(); ++it) EXPECT_TRUE(::RemoveDirectoryW(it->c_str()));
}

// Links need a privilege, or developer mode, and Wine does not make them: the
// test runs where the link can be made.
TEST(FileHelpers, LinksAreFollowedBySavesAndRemovedThemselves) {
  ScratchDir dir;
  WriteAll(dir.File("locked"), {1});
  MakeReadOnly(dir.File("locked"));
  std::filesystem::create_directory(dir.path() / "folder");
  WriteAll(dir.File("data"), {1});
  const DWORD unprivileged = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  auto link = [&](const char* name, const wchar_t* target, DWORD flags) {
    return ::CreateSymbolicLinkW(Wide(dir.File(name)).c_str(), target, flags | unprivileged) &&
           ::GetFileAttributesW(Wide(dir.File(name)).c_str()) != INVALID_FILE_ATTRIBUTES;
  };
  if (!link("to_file", L"locked", 0)) GTEST_SKIP() << "this system does not make symbolic links for this user";
  ASSERT_TRUE(link("to_folder", L"folder", SYMBOLIC_LINK_FLAG_DIRECTORY));
  ::CreateSymbolicLinkW(Wide(dir.File("dangling")).c_str(), L"absent", unprivileged);
  ASSERT_TRUE(link("to_data", L"data", 0));

  Env& env = DefaultEnv();
  EXPECT_TRUE(env.IsLink(dir.File("dangling")));
  EXPECT_EQ(env.KindOf(dir.File("dangling")), PathKind::kMissing);
  EXPECT_EQ(env.KindOf(dir.File("to_folder")), PathKind::kDirectory);
  EXPECT_TRUE(PathTaken(env, dir.File("dangling")));

  ASSERT_TRUE(SaveFileAtomically(env, dir.File("to_data"), std::vector<uint8_t>{2, 3}).ok());
  EXPECT_TRUE(env.IsLink(dir.File("to_data")));
  EXPECT_EQ(ReadAll(dir.File("data")), (std::vector<uint8_t>{2, 3}));

  for (const char* name : {"to_file", "to_folder", "dangling"}) {
    KillFile(env, dir.File(name));
    EXPECT_EQ(::GetFileAttributesW(Wide(dir.File(name)).c_str()), INVALID_FILE_ATTRIBUTES) << name;
  }
  EXPECT_NE(::GetFileAttributesW(Wide(dir.File("locked")).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder"));
}

}  // namespace
}  // namespace quillon

