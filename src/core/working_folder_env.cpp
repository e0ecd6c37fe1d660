#include "core/working_folder_env.h"

#include "core/path.h"

namespace quillon {

std::string WorkingFolderEnv::FullPath(const std::string& path) {
  if (folder_.empty() || path.empty() || IsAbsolutePath(path)) return target().FullPath(path);
  std::string full = folder_;
  if (!IsPathSeparator(static_cast<unsigned char>(full.back()))) full += '/';
  full += path;
  return target().FullPath(full);
}

}  // namespace quillon
