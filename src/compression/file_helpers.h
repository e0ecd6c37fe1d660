// File helpers shared by the subsystems: a silent existence test, a silent
// deletion that does not stop at a read-only file, and the compression library
// check made whenever a FileOps object is created. None of them ever reports.
#pragma once

#include <string>
#include <string_view>

#include "host/env.h"

namespace quillon {

// True when the path names something that exists and is not a folder. A path
// that cannot be examined (or cannot be a file name at all) is False.
bool FileExists(Env& env, std::u16string_view path);
bool FileExists(Env& env, const std::string& utf8_path);

// The test of a save told never to replace anything: True when FileExists is,
// and for a symbolic link at the path itself, whatever it names (nothing, or a
// folder, included).
bool PathTaken(Env& env, const std::string& utf8_path);

// Removes a file, clearing its read-only state first. Both act on the path
// itself: a symbolic link is removed, and what it names is neither made
// writable nor removed. A missing path, a folder or a refusal by the file system
// leaves things as they are.
void KillFile(Env& env, std::u16string_view path);
void KillFile(Env& env, const std::string& utf8_path);

// zlib is linked into the program, so there is no library file to write out:
// True when the zlib the program runs with is compatible with the headers it was
// built against.
bool ExtractZlib();

}  // namespace quillon
