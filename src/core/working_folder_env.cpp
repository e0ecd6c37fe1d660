#include "core/working_folder_env.h"

namespace quillon {

std::string WorkingFolderEnv::FullPath(const std::string& path) {
  if (folder_.empty() || path.empty() || path.front() == '/') return target().FullPath(path);
  std::string full = folder_;
  if (full.back() != '/') full += '/';
  full += path;
  return target().FullPath(full);
}

}  // namespace quillon
