// File checks the classes share, over any Env: a silent existence test, the
// test of a save that must not replace anything, and a silent deletion that
// does not stop at a read-only file. None of them ever reports.
#pragma once

#include <string>
#include <string_view>

#include "core/env.h"

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

}  // namespace quillon
