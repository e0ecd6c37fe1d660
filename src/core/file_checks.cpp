#include "core/file_checks.h"

#include "core/text.h"

namespace quillon {
bool FileExists(Env& env, const std::string& utf8_path) {
  PathKind kind = env.KindOf(utf8_path);
  return kind == PathKind::kFile || kind == PathKind::kOther;
}

bool FileExists(Env& env, std::u16string_view path) {
  std::string utf8_path;
  if (!PathFromText(path, &utf8_path).ok()) return false;
  return FileExists(env, utf8_path);
}

bool PathTaken(Env& env, const std::string& utf8_path) {
  return FileExists(env, utf8_path) || env.IsLink(utf8_path);
}

void KillFile(Env& env, const std::string& utf8_path) {
  if (env.IsLink(utf8_path)) {
    (void)env.RemoveFile(utf8_path);
    return;
  }
  PathKind kind = env.KindOf(utf8_path);
  if (kind == PathKind::kMissing || kind == PathKind::kDirectory) return;
  // Failures are passed over: the removal below may still succeed, and if it does
  // not, the file simply stays.
  (void)env.MakeWritable(utf8_path);
  (void)env.RemoveFile(utf8_path);
}

void KillFile(Env& env, std::u16string_view path) {
  std::string utf8_path;
  if (!PathFromText(path, &utf8_path).ok()) return;
  KillFile(env, utf8_path);
}

}  // namespace quillon
