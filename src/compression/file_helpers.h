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

// Removes a file, clearing its read-only state first. A missing path, a folder or
// a refusal by the file system leaves things as they are.
void KillFile(Env& env, std::u16string_view path);
void KillFile(Env& env, const std::string& utf8_path);

// zlib is linked into the program, so there is no library file to write out:
// True when the zlib the program runs with is compatible with the headers it was
// built against.
bool ExtractZlib();

}  // namespace quillon
